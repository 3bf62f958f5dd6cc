#include "kext/platform/OSNumber.h"

namespace vennix {

OSDefineMetaClassAndStructors(OSNumber, OSObject)

OSNumber* OSNumber::withNumber(uint64_t value, unsigned int numberOfBits)
{
    OSNumber* number = new (std::nothrow) OSNumber;
    if (number && !number->init(value, numberOfBits)) {
        number->release();
        return nullptr;
    }
    return number;
}

bool OSNumber::init(uint64_t value, unsigned int numberOfBits)
{
    if (numberOfBits == 0 || numberOfBits > 64 || !OSObject::init())
        return false;
    fBits = numberOfBits;
    fValue = numberOfBits == 64 ? value : value & ((uint64_t(1) << numberOfBits) - 1);
    return true;
}

bool OSNumber::isEqualTo(const OSNumber* other) const
{
    return other && other->fValue == fValue;
}

bool OSNumber::isEqualTo(const OSObject* other) const
{
    return isEqualTo(OSDynamicCast<OSNumber>(other));
}

} // namespace vennix
