#pragma once
// The CPU service's module: its version and the start and stop entry points. Its classes
// register with the run-time type system when the module loads, in the order
// ACPIAccessor, AccessorUserClient, Vennix, H_ECAccessor, PCIAccessor.

#include "protocol/IOReturn.h"

namespace vennix {

inline constexpr const char* kVennixVersion = "1.0.0d1";

// The module has no set-up or tear-down of its own; both answer success. A program that
// creates the services by name calls Vennix_start: that links this module's file, and with it
// the class registrations, out of the static library.
kern_return_t Vennix_start(void* info, void* data);
kern_return_t Vennix_stop(void* info, void* data);

} // namespace vennix
