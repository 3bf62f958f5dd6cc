#pragma once
// A string used as a name (method names, registry paths, dictionary keys). Symbols are not
// interned: compare them with isEqualTo, not by address.

#include "kext/platform/OSString.h"

namespace vennix {

class OSSymbol : public OSString {
    OSDeclareDefaultStructors(OSSymbol)

public:
    // A new symbol with a copy of cString; null when cString is null.
    static const OSSymbol* withCString(const char* cString);
    // As above, reading at most maxLength bytes.
    static const OSSymbol* withCString(const char* cString, size_t maxLength);
    // A symbol with the text of string: string itself (retained) when it is a symbol.
    static const OSSymbol* withString(const OSString* string);
};

} // namespace vennix
