#include "kext/platform/IOACPIPlatformDevice.h"

#include "kext/platform/ACPIPlatform.h"
#include "kext/platform/OSSymbol.h"

namespace vennix {

OSDefineMetaClassAndStructors(IOACPIPlatformDevice, OSObject)

IOACPIPlatformDevice* IOACPIPlatformDevice::withPath(ACPIPlatform* acpi, const char* path)
{
    if (acpi == nullptr || path == nullptr)
        return nullptr;
    auto* device = new (std::nothrow) IOACPIPlatformDevice;
    if (device == nullptr)
        return nullptr;
    device->fACPI = acpi;
    device->fPath = OSString::withCString(path);
    if (!device->init() || device->fPath == nullptr) {
        device->release();
        return nullptr;
    }
    return device;
}

IOReturn IOACPIPlatformDevice::evaluateObject(const OSSymbol* objectName, OSObject** result,
                                              OSObject** params, IOItemCount paramCount,
                                              IOOptionBits options)
{
    if (result)
        *result = nullptr;
    if (objectName == nullptr || paramCount > kACPIMaxArguments || (paramCount > 0 && params == nullptr))
        return kIOReturnBadArgument;
    for (IOItemCount i = 0; i < paramCount; ++i) {
        if (params[i] == nullptr)
            return kIOReturnBadArgument;
    }
    OSObject* value = nullptr;
    const IOReturn status = fACPI->evaluateObject(getPath(), objectName->getCStringNoCopy(),
                                                  params, paramCount, &value);
    if (status != kIOReturnSuccess) {
        OSSafeReleaseNULL(value);
        return status;
    }
    if (result)
        *result = value;
    else
        OSSafeReleaseNULL(value);
    return kIOReturnSuccess;
}

const char* IOACPIPlatformDevice::getPath() const
{
    return fPath ? fPath->getCStringNoCopy() : "";
}

void IOACPIPlatformDevice::free()
{
    OSSafeReleaseNULL(fPath);
    OSObject::free();
}

} // namespace vennix
