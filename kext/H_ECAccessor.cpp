#include "kext/H_ECAccessor.h"

#include "kext/cpuid.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"

namespace vennix {

namespace {
i386_cpu_info_t gRecord{};
} // namespace

bool H_ECAccessor::init(OSDictionary* dictionary)
{
    IOLog("%s/ init\n", getClassName());
    return IOService::init(dictionary);
}

void H_ECAccessor::free()
{
    IOLog("%s/ free\n", getClassName());
    IOService::free();
}

bool H_ECAccessor::start(IOService* provider)
{
    IOLog("%s/ start\n", getClassName());
    const bool started = IOService::start(provider);
    IOPlatformDevice* platform = IOPlatformDevice::of(this, provider);
    if (platform == nullptr)
        return false;
    cpuid_set_info(*platform, &gRecord);
    registerService(0);
    return started;
}

} // namespace vennix
