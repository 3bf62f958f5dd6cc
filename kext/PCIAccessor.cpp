#include "kext/PCIAccessor.h"

namespace vennix {

i386_cpu_info_t* PCIAccessor::record()
{
    static i386_cpu_info_t gRecord{};
    return &gRecord;
}

} // namespace vennix
