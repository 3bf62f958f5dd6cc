#include "host/Personalities.h"

#include "kext/platform/IOService.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSString.h"

namespace vennix {

namespace {

constexpr const char* kUserClient = "AccessorUserClient";

constexpr Personality kTable[] = {
    {"Vennix", kUserClient},
    {"ACPIAccessor", kUserClient},
    {"H_ECAccessor", nullptr},
    {"PCIAccessor", nullptr},
};

bool setString(OSDictionary* dictionary, const char* key, const char* value)
{
    OSString* string = OSString::withCString(value);
    const bool stored = string != nullptr && dictionary->setObject(key, string);
    OSSafeReleaseNULL(string);
    return stored;
}

} // namespace

std::span<const Personality> Personalities::table()
{
    return kTable;
}

OSDictionary* Personalities::dictionary(const Personality& personality)
{
    OSDictionary* dictionary = OSDictionary::withCapacity(3);
    if (dictionary == nullptr)
        return nullptr;
    bool complete = setString(dictionary, "IOClass", personality.className)
        && setString(dictionary, "IOProviderClass", "IOPlatformDevice");
    if (complete && personality.userClientClass != nullptr)
        complete = setString(dictionary, kIOUserClientClassKey, personality.userClientClass);
    if (!complete)
        OSSafeReleaseNULL(dictionary);
    return dictionary;
}

} // namespace vennix
