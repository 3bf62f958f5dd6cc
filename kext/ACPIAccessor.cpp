#include "kext/ACPIAccessor.h"

#include "kext/platform/IOACPIPlatformDevice.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

namespace vennix {

namespace {

// The first %s of every line of the ACPI operations, whichever service runs them.
constexpr const char* kLogName = "ACPIAccessor";

// The device a path names: fromPath, then the cast. entry keeps the reference that the
// caller releases when the operation ends, whatever the outcome.
IOACPIPlatformDevice* findDevice(const IOPlatformDevice* registry, const OSSymbol* path,
                                 OSObject*& entry)
{
    entry = (registry && path) ? registry->fromPath(path->getCStringNoCopy()) : nullptr;
    return OSDynamicCast<IOACPIPlatformDevice>(entry);
}

// A path or key as the client sent it, safe for a log line.
std::string textOf(const OSSymbol* symbol)
{
    return escapeForLog(symbol ? symbol->getCStringNoCopy() : "");
}

} // namespace

bool ACPIAccessor::init(OSDictionary* dictionary)
{
    IOLog("%s/ init\n", getClassName());
    return IOService::init(dictionary);
}

void ACPIAccessor::free()
{
    IOLog("%s/ free\n", getClassName());
    OSSafeReleaseNULL(fRegistry);
    IOService::free();
}

bool ACPIAccessor::start(IOService* provider)
{
    IOLog("%s/ start\n", getClassName());
    const bool started = IOService::start(provider);
    if (fRegistry == nullptr) {
        fRegistry = OSDynamicCast<IOPlatformDevice>(provider);
        if (fRegistry)
            fRegistry->retain();
    }
    registerService(0);
    return started;
}

OSObject* ACPIAccessor::checkValueOnDevice(const OSSymbol* key, const OSSymbol* path)
{
    return checkValueOnDevice(fRegistry, key, path);
}

OSObject* ACPIAccessor::getValueOnDevice(const OSSymbol* key, const OSSymbol* path)
{
    return getValueOnDevice(fRegistry, key, path);
}

OSObject* ACPIAccessor::setValueOnDevice(const OSSymbol* key, const OSSymbol* path, OSObject* value)
{
    return setValueOnDevice(fRegistry, key, path, value);
}

OSObject* ACPIAccessor::checkValueOnDevice(const IOPlatformDevice* registry, const OSSymbol* key,
                                           const OSSymbol* path)
{
    OSObject* entry = nullptr;
    IOACPIPlatformDevice* device = findDevice(registry, path, entry);
    IOLog("%s/ %s Device %p\n", kLogName, textOf(path).c_str(), static_cast<void*>(device));

    OSObject* answer;
    if (device == nullptr) {
        answer = OSString::withCString(path ? path->getCStringNoCopy() : "");
    } else {
        OSObject* result = nullptr;
        const IOReturn status = key ? device->evaluateObject(key, &result) : kIOReturnBadArgument;
        if (status == kIOReturnSuccess && result != nullptr) {
            answer = OSString::withCString(result->getClassName());
        } else {
            IOLog("%s/ %s Object error %d\n", kLogName, textOf(key).c_str(), static_cast<int>(status));
            answer = OSString::withCString("Falscher Key");
        }
        OSSafeReleaseNULL(result);
    }
    OSSafeReleaseNULL(entry);
    return answer;
}

OSObject* ACPIAccessor::getValueOnDevice(const IOPlatformDevice* registry, const OSSymbol* key,
                                         const OSSymbol* path)
{
    OSObject* entry = nullptr;
    IOACPIPlatformDevice* device = findDevice(registry, path, entry);
    OSObject* result = nullptr;
    if (device != nullptr) {
        const IOReturn status = key ? device->evaluateObject(key, &result) : kIOReturnBadArgument;
        if (status != kIOReturnSuccess || result == nullptr) {
            IOLog("%s/ %s Object error %d\n", kLogName, textOf(key).c_str(), static_cast<int>(status));
            OSSafeReleaseNULL(result);
        }
    }
    OSSafeReleaseNULL(entry);
    return result;
}

OSObject* ACPIAccessor::setValueOnDevice(const IOPlatformDevice* registry, const OSSymbol* key,
                                         const OSSymbol* path, OSObject* value)
{
    OSObject* entry = nullptr;
    IOACPIPlatformDevice* device = findDevice(registry, path, entry);
    IOLog("%s/ %s Device %p\n", kLogName, textOf(path).c_str(), static_cast<void*>(device));

    OSObject* result = nullptr;
    if (device != nullptr) {
        OSObject* params[1] = {value};
        const IOReturn status = (key && value) ? device->evaluateObject(key, &result, params, 1, 0)
                                               : kIOReturnBadArgument;
        if (status != kIOReturnSuccess) {
            IOLog("%s/ %s Object error %d\n", kLogName, textOf(key).c_str(), static_cast<int>(status));
            OSSafeReleaseNULL(result);
        } else if (result != nullptr) {
            IOLog("%s/ %s Object ist ein %s\n", kLogName, textOf(key).c_str(), result->getClassName());
        }
    }
    OSSafeReleaseNULL(entry);
    return result;
}

} // namespace vennix
