#include "kext/PCIAccessor.h"

#include "kext/cpuid.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"

namespace vennix {

namespace {
i386_cpu_info_t gRecord{};
} // namespace

bool PCIAccessor::init(OSDictionary* dictionary)
{
    IOLog("%s/ init\n", getClassName());
    return IOService::init(dictionary);
}

void PCIAccessor::free()
{
    IOLog("%s/ free\n", getClassName());
    IOService::free();
}

bool PCIAccessor::start(IOService* provider)
{
    IOLog("%s/ start\n", "PCIAccessor --------------");
    const bool started = IOService::start(provider);
    IOPlatformDevice* platform = IOPlatformDevice::of(this, provider);
    if (platform == nullptr)
        return false;
    cpuid_set_info(*platform, &gRecord);
    registerService(0);
    return started;
}

} // namespace vennix
