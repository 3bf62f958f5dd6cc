#include "kext/platform/OSSymbol.h"

#include <cstdint>

namespace vennix {

OSDefineMetaClassAndStructors(OSSymbol, OSString)

const OSSymbol* OSSymbol::withCString(const char* cString)
{
    return withCString(cString, SIZE_MAX);
}

const OSSymbol* OSSymbol::withCString(const char* cString, size_t maxLength)
{
    if (cString == nullptr)
        return nullptr;
    OSSymbol* symbol = new (std::nothrow) OSSymbol;
    if (symbol && !symbol->initWithCString(cString, maxLength)) {
        symbol->release();
        return nullptr;
    }
    return symbol;
}

const OSSymbol* OSSymbol::withString(const OSString* string)
{
    if (const OSSymbol* symbol = OSDynamicCast<OSSymbol>(string)) {
        symbol->retain();
        return symbol;
    }
    return string ? withCString(string->getCStringNoCopy(), string->getLength()) : nullptr;
}

} // namespace vennix
