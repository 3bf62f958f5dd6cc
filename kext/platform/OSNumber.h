#pragma once
// An unsigned integer of 1 to 64 bits.

#include "kext/platform/OSObject.h"

#include <cstdint>

namespace vennix {

class OSNumber : public OSObject {
    OSDeclareDefaultStructors(OSNumber)

public:
    // A new number holding the low numberOfBits bits of value; null unless 1 <= numberOfBits
    // <= 64.
    static OSNumber* withNumber(uint64_t value, unsigned int numberOfBits);

    bool init(uint64_t value, unsigned int numberOfBits);
    using OSObject::init;

    unsigned int numberOfBits() const { return fBits; }
    unsigned int numberOfBytes() const { return (fBits + 7) / 8; }

    uint8_t unsigned8BitValue() const { return static_cast<uint8_t>(fValue); }
    uint16_t unsigned16BitValue() const { return static_cast<uint16_t>(fValue); }
    uint32_t unsigned32BitValue() const { return static_cast<uint32_t>(fValue); }
    uint64_t unsigned64BitValue() const { return fValue; }

    bool isEqualTo(const OSNumber* other) const;
    // Equal to a number of the same value, whatever its width.
    bool isEqualTo(const OSObject* other) const override;

private:
    uint64_t fValue = 0;
    unsigned int fBits = 64;
};

} // namespace vennix
