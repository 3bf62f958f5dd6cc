// The module's classes are defined here together, so that they register in one fixed order at
// load (static construction within one file follows the order of definition) and unregister in
// the reverse order at unload.

#include "kext/VennixModule.h"

#include "kext/ACPIAccessor.h"
#include "kext/AccessorUserClient.h"
#include "kext/CPUService.h"
#include "kext/H_ECAccessor.h"
#include "kext/PCIAccessor.h"
#include "kext/Vennix.h"

namespace vennix {

OSDefineMetaClassAndStructors(ACPIAccessor, IOService)
OSDefineMetaClassAndStructors(AccessorUserClient, IOUserClient)
OSDefineMetaClassAndAbstractStructors(CPUService, IOService)
OSDefineMetaClassAndStructors(Vennix, CPUService)
OSDefineMetaClassAndStructors(H_ECAccessor, CPUService)
OSDefineMetaClassAndStructors(PCIAccessor, CPUService)

kern_return_t Vennix_start(void*, void*)
{
    return KERN_SUCCESS;
}

kern_return_t Vennix_stop(void*, void*)
{
    return KERN_SUCCESS;
}

} // namespace vennix
