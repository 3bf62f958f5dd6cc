#include "kext/ACPIAccessor.h"

#include "kext/platform/IOLog.h"

namespace vennix {

bool ACPIAccessor::init(OSDictionary* dictionary)
{
    IOLog("%s/ init\n", getClassName());
    return IOService::init(dictionary);
}

void ACPIAccessor::free()
{
    IOLog("%s/ free\n", getClassName());
    IOService::free();
}

bool ACPIAccessor::start(IOService* provider)
{
    IOLog("%s/ start\n", getClassName());
    const bool started = IOService::start(provider);
    registerService(0);
    return started;
}

} // namespace vennix
