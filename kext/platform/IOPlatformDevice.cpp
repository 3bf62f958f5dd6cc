#include "kext/platform/IOPlatformDevice.h"

#include "kext/platform/IOACPIPlatformDevice.h"
#include "kext/platform/IOLog.h"

namespace vennix {

OSDefineMetaClassAndStructors(IOPlatformDevice, IOService)

IOPlatformDevice* IOPlatformDevice::withHardware(CPUHardware* hardware, Clock* clock,
                                                ACPIPlatform* acpi)
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
    device->fACPI = acpi;
    return device;
}

OSObject* IOPlatformDevice::fromPath(const char* path) const
{
    if (fACPI == nullptr || path == nullptr || !fACPI->deviceExists(path))
        return nullptr;
    return IOACPIPlatformDevice::withPath(fACPI, path);
}

IOPlatformDevice* IOPlatformDevice::of(const IOService* service, IOService* provider)
{
    auto* platform = OSDynamicCast<IOPlatformDevice>(provider);
    if (platform == nullptr)
        IOLog("%s/ start: provider is not a platform device\n", service->getClassName());
    return platform;
}

} // namespace vennix
