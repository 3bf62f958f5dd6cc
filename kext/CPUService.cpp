#include "kext/CPUService.h"

#include "kext/platform/IOLog.h"

namespace vennix {

bool CPUService::init(OSDictionary* dictionary)
{
    IOLog("%s/ init\n", getClassName());
    return IOService::init(dictionary);
}

void CPUService::free()
{
    IOLog("%s/ free\n", getClassName());
    IOService::free();
}

bool CPUService::start(IOService* provider)
{
    IOLog("%s/ start\n", startLogName());
    const bool started = IOService::start(provider);
    IOPlatformDevice* platform = IOPlatformDevice::of(this, provider);
    if (platform == nullptr)
        return false;
    cpuid_set_info(*platform, record());
    this->started(*platform);
    registerService(0);
    return started;
}

} // namespace vennix
