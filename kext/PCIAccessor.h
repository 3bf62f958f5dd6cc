#pragma once
// A service with no calls of its own: it identifies the processor into a record of its own at
// start, which shows in the log, and publishes itself. Its start line carries a marker.

#include "kext/CPUService.h"

namespace vennix {

class PCIAccessor : public CPUService {
    OSDeclareDefaultStructors(PCIAccessor)

protected:
    i386_cpu_info_t* record() override;
    const char* startLogName() const override { return "PCIAccessor --------------"; }
};

} // namespace vennix
