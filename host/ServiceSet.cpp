#include "host/ServiceSet.h"

#include "host/Personalities.h"
#include "kext/VennixModule.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSDictionary.h"

#include <cstring>

namespace vennix {

std::unique_ptr<ServiceSet> ServiceSet::start(CPUHardware* hardware, Clock* clock, ACPIPlatform* acpi)
{
    // Also what keeps the module's class registrations in the program.
    Vennix_start(nullptr, nullptr);

    std::unique_ptr<ServiceSet> set(new (std::nothrow) ServiceSet);
    if (!set)
        return nullptr;
    set->fPlatform = IOPlatformDevice::withHardware(hardware, clock, acpi);
    if (set->fPlatform == nullptr) {
        IOLog("vennixd/ no platform device for the hardware\n");
        return nullptr;
    }

    for (const Personality& personality : Personalities::table()) {
        OSObject* object = OSMetaClass::allocClassWithName(personality.className);
        IOService* service = OSDynamicCast<IOService>(object);
        if (service == nullptr) {
            OSSafeReleaseNULL(object);
            IOLog("vennixd/ cannot create a %s service\n", personality.className);
            return nullptr; // the destructor frees the ones already started
        }
        OSDictionary* dictionary = Personalities::dictionary(personality);
        const bool initialised = dictionary != nullptr && service->init(dictionary);
        OSSafeReleaseNULL(dictionary);
        if (!initialised) {
            service->release();
            IOLog("vennixd/ cannot initialise the %s service\n", personality.className);
            return nullptr;
        }
        set->fServices.push_back(service);
        if (!service->start(set->fPlatform)) {
            IOLog("vennixd/ the %s service did not start\n", personality.className);
            return nullptr;
        }
    }
    return set;
}

ServiceSet::~ServiceSet()
{
    for (auto it = fServices.rbegin(); it != fServices.rend(); ++it) {
        (*it)->terminate();
        (*it)->release();
    }
    fServices.clear();
    OSSafeReleaseNULL(fPlatform);
}

IOService* ServiceSet::copyService(const char* name) const
{
    if (name == nullptr)
        return nullptr;
    for (IOService* candidate : fServices) {
        if (!candidate->isInactive() && candidate->isRegistered() && std::strcmp(candidate->getName(), name) == 0) {
            candidate->retain();
            return candidate;
        }
    }
    return nullptr;
}

IOService* ServiceSet::service(const char* className) const
{
    if (className == nullptr)
        return nullptr;
    const auto table = Personalities::table();
    for (size_t i = 0; i < fServices.size() && i < table.size(); ++i) {
        if (std::strcmp(table[i].className, className) == 0)
            return fServices[i];
    }
    return nullptr;
}

} // namespace vennix
