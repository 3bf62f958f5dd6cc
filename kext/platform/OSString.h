#pragma once
// An immutable string of the CPU service's object model.

#include "kext/platform/OSObject.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vennix {

class OSString : public OSObject {
    OSDeclareDefaultStructors(OSString)

public:
    // A new string holding a copy of cString; null when cString is null.
    static OSString* withCString(const char* cString);
    // As above, but reads at most maxLength bytes of cString (for text that may lack its NUL).
    static OSString* withCString(const char* cString, size_t maxLength);
    // A new string with the same text; null when string is null.
    static OSString* withString(const OSString* string);

    bool initWithCString(const char* cString, size_t maxLength = SIZE_MAX);

    // The text, NUL-terminated; valid while the string lives. Never null.
    const char* getCStringNoCopy() const;
    // Number of characters, without the NUL.
    unsigned int getLength() const { return fLength; }

    bool isEqualTo(const char* cString) const;
    bool isEqualTo(const OSString* other) const;
    // Equal to any string of the same text, OSSymbols included.
    bool isEqualTo(const OSObject* other) const override;

private:
    std::unique_ptr<char[]> fText;
    unsigned int fLength = 0;
};

} // namespace vennix
