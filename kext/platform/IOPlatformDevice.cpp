#include "kext/platform/IOPlatformDevice.h"

#include "kext/platform/IOLog.h"

namespace vennix {

OSDefineMetaClassAndStructors(IOPlatformDevice, IOService)

IOPlatformDevice* IOPlatformDevice::withHardware(CPUHardware* hardware, Clock* clock)
{
    if (hardware == nullptr || clock == nullptr)
        return nullptr;
    auto* device = new (std::nothrow) IOPlatformDevice;
    if (device == nullptr)
        return nullptr;
    if (!device->init()) {
        device->release();
        return nullptr;
    }
    device->fHardware = hardware;
    device->fClock = clock;
    return device;
}

IOPlatformDevice* IOPlatformDevice::of(const IOService* service, IOService* provider)
{
    auto* platform = OSDynamicCast<IOPlatformDevice>(provider);
    if (platform == nullptr)
        IOLog("%s/ start: provider is not a platform device\n", service->getClassName());
    return platform;
}

} // namespace vennix
