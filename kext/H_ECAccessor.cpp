#include "kext/H_ECAccessor.h"

namespace vennix {

i386_cpu_info_t* H_ECAccessor::record()
{
    static i386_cpu_info_t gRecord{};
    return &gRecord;
}

} // namespace vennix
