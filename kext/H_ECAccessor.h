#pragma once
// A service with no calls of its own: it identifies the processor into a record of its own at
// start, which shows in the log, and publishes itself.

#include "kext/CPUService.h"

namespace vennix {

class H_ECAccessor : public CPUService {
    OSDeclareDefaultStructors(H_ECAccessor)

protected:
    i386_cpu_info_t* record() override;
};

} // namespace vennix
