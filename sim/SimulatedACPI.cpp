#include "sim/SimulatedACPI.h"

#include "kext/platform/OSArray.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"

namespace sim {

using vennix::IOReturn;
using vennix::OSObject;

namespace {

IOReturn answer(OSObject* value, OSObject** result)
{
    *result = value;
    return value ? vennix::kIOReturnSuccess : vennix::kIOReturnNoMemory;
}

OSObject* package()
{
    vennix::OSArray* array = vennix::OSArray::withCapacity(2);
    OSObject* number = vennix::OSNumber::withNumber(SimulatedACPI::kPackageNumber, 64);
    OSObject* string = vennix::OSString::withCString(SimulatedACPI::kPackageString);
    const bool complete = array && number && string && array->setObject(number) && array->setObject(string);
    OSSafeReleaseNULL(number);
    OSSafeReleaseNULL(string);
    if (!complete)
        OSSafeReleaseNULL(array);
    return array;
}

} // namespace

SimulatedACPI::SimulatedACPI()
{
    addDevice(kECPath);
    defineMethod(kECPath, "_STA", 0, [](OSObject* const*, OSObject** result) {
        return answer(vennix::OSNumber::withNumber(kStatus, 64), result);
    });
    defineMethod(kECPath, "TEMP", 0, [this](OSObject* const*, OSObject** result) {
        return answer(vennix::OSNumber::withNumber(fTemperature.load(), 64), result);
    });
    defineMethod(kECPath, "NAME", 0, [](OSObject* const*, OSObject** result) {
        return answer(vennix::OSString::withCString(kName), result);
    });
    defineMethod(kECPath, "BUFF", 0, [](OSObject* const*, OSObject** result) {
        return answer(vennix::OSData::withBytes(kBuffer, sizeof kBuffer), result);
    });
    defineMethod(kECPath, "PKG0", 0, [](OSObject* const*, OSObject** result) {
        return answer(package(), result);
    });
    defineMethod(kECPath, "SETV", 1, [](OSObject* const* params, OSObject** result) {
        params[0]->retain();
        return answer(params[0], result);
    });
}

SimulatedACPI::~SimulatedACPI() = default;

const char* SimulatedACPI::description() const
{
    return "simulated";
}

bool SimulatedACPI::isSimulated() const
{
    return true;
}

SimulatedACPI::Device* SimulatedACPI::findLocked(const char* path)
{
    std::string key;
    if (!acpiPathOf(path, true, key))
        return nullptr;
    auto it = fDevices.find(key);
    return it == fDevices.end() ? nullptr : &it->second;
}

bool SimulatedACPI::deviceExists(const char* path)
{
    try {
        std::lock_guard<std::mutex> hold(fLock);
        return findLocked(path) != nullptr;
    } catch (...) {
        return false;
    }
}

IOReturn SimulatedACPI::evaluateObject(const char* path, const char* method, OSObject* const* params,
                                       vennix::IOItemCount paramCount, OSObject** result)
{
    OSObject* value = nullptr;
    const IOReturn status = evaluateMethod(path, method, params, paramCount, &value);
    if (result)
        *result = value;
    else
        OSSafeReleaseNULL(value);
    return status;
}

IOReturn SimulatedACPI::evaluateMethod(const char* path, const char* method, OSObject* const* params,
                                       vennix::IOItemCount paramCount, OSObject** result)
{
    try {
        std::string name;
        if (!paddedName(method, name) || paramCount > vennix::kACPIMaxArguments
            || (paramCount > 0 && params == nullptr))
            return vennix::kIOReturnBadArgument;
        for (vennix::IOItemCount i = 0; i < paramCount; ++i) {
            if (params[i] == nullptr)
                return vennix::kIOReturnBadArgument;
        }

        std::lock_guard<std::mutex> hold(fLock);
        Device* device = findLocked(path);
        if (device == nullptr)
            return vennix::kIOReturnNotFound;
        auto it = device->find(name);
        if (it == device->end())
            return vennix::kIOReturnNotFound;
        fEvaluations.fetch_add(1, std::memory_order_relaxed);
        if (paramCount != it->second.argumentCount)
            return vennix::kIOReturnBadArgument;
        const IOReturn status = it->second.method(params, result);
        if (status != vennix::kIOReturnSuccess)
            OSSafeReleaseNULL(*result);
        return status;
    } catch (...) {
        OSSafeReleaseNULL(*result);
        return vennix::kIOReturnError;
    }
}

bool SimulatedACPI::addDevice(const char* path)
{
    try {
        std::string key;
        if (!acpiPathOf(path, true, key))
            return false;
        std::lock_guard<std::mutex> hold(fLock);
        return fDevices.emplace(key, Device{}).second;
    } catch (...) {
        return false;
    }
}

bool SimulatedACPI::defineMethod(const char* path, const char* name, unsigned argumentCount,
                                 Method method)
{
    try {
        std::string padded;
        if (!method || !paddedName(name, padded) || argumentCount > vennix::kACPIMaxArguments)
            return false;
        std::lock_guard<std::mutex> hold(fLock);
        Device* device = findLocked(path);
        if (device == nullptr)
            return false;
        (*device)[padded] = MethodEntry{argumentCount, std::move(method)};
        return true;
    } catch (...) {
        return false;
    }
}

void SimulatedACPI::setTemperature(uint64_t tenthsOfKelvin)
{
    fTemperature.store(tenthsOfKelvin);
}

uint64_t SimulatedACPI::evaluationCount() const
{
    return fEvaluations.load();
}

} // namespace sim
