#include "kext/platform/OSString.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace vennix {

OSDefineMetaClassAndStructors(OSString, OSObject)

OSString* OSString::withCString(const char* cString)
{
    return withCString(cString, SIZE_MAX);
}

OSString* OSString::withCString(const char* cString, size_t maxLength)
{
    if (cString == nullptr)
        return nullptr;
    OSString* string = new (std::nothrow) OSString;
    if (string && !string->initWithCString(cString, maxLength)) {
        string->release();
        return nullptr;
    }
    return string;
}

OSString* OSString::withString(const OSString* string)
{
    return string ? withCString(string->getCStringNoCopy(), string->getLength()) : nullptr;
}

bool OSString::initWithCString(const char* cString, size_t maxLength)
{
    if (cString == nullptr || !OSObject::init())
        return false;
    const size_t length = strnlen(cString, maxLength);
    if (length >= UINT_MAX)
        return false;
    std::unique_ptr<char[]> text(new (std::nothrow) char[length + 1]);
    if (!text)
        return false;
    std::memcpy(text.get(), cString, length);
    text[length] = '\0';
    fText = std::move(text);
    fLength = static_cast<unsigned int>(length);
    return true;
}

const char* OSString::getCStringNoCopy() const
{
    return fText ? fText.get() : "";
}

bool OSString::isEqualTo(const char* cString) const
{
    return cString && std::strcmp(getCStringNoCopy(), cString) == 0;
}

bool OSString::isEqualTo(const OSString* other) const
{
    if (other == nullptr)
        return false;
    return other == this ||
           (other->fLength == fLength &&
            std::memcmp(other->getCStringNoCopy(), getCStringNoCopy(), fLength) == 0);
}

bool OSString::isEqualTo(const OSObject* other) const
{
    return isEqualTo(OSDynamicCast<OSString>(other));
}

} // namespace vennix
