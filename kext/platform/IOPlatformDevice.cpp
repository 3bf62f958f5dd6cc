#include "kext/platform/IOPlatformDevice.h"

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

} // namespace vennix
