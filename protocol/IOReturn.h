#pragma once
// Return codes of the CPU service's calls, with the values user space already knows.

#include <cstdint>

namespace vennix {

using IOReturn = int32_t;
using kern_return_t = int;
using IOOptionBits = uint32_t;
using IOItemCount = uint32_t;

inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = int32_t(0xE00002BC);         // general error
inline constexpr IOReturn kIOReturnNoMemory = int32_t(0xE00002BD);      // cannot allocate
inline constexpr IOReturn kIOReturnIPCError = int32_t(0xE00002BF);      // error in communication
inline constexpr IOReturn kIOReturnNoDevice = int32_t(0xE00002C0);      // no such service
inline constexpr IOReturn kIOReturnNotPrivileged = int32_t(0xE00002C1); // needs privilege
inline constexpr IOReturn kIOReturnBadArgument = int32_t(0xE00002C2);   // invalid argument
inline constexpr IOReturn kIOReturnUnsupported = int32_t(0xE00002C7);   // not supported
inline constexpr IOReturn kIOReturnIOError = int32_t(0xE00002CA);       // I/O failed
inline constexpr IOReturn kIOReturnNotOpen = int32_t(0xE00002CD);       // device not open
inline constexpr IOReturn kIOReturnTimeout = int32_t(0xE00002D6);       // no answer in time
inline constexpr IOReturn kIOReturnNotAttached = int32_t(0xE00002D9);   // no provider
inline constexpr IOReturn kIOReturnNotPermitted = int32_t(0xE00002E2);  // not permitted
inline constexpr IOReturn kIOReturnNotFound = int32_t(0xE00002F0);      // no such object

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_FAILURE = 5;

} // namespace vennix
