#include "protocol/WireFormat.h"

#include "protocol/AccessorTypes.h"

#include <algorithm>
#include <cstring>

namespace vennix {

namespace {

constexpr int kTagSize = 4;
constexpr int kHeaderSize = 8; // tag and a u32 count or length
constexpr int kSmallestItemRoom = 16;

} // namespace

int writeTagItem(uint8_t* out, int size, uint32_t tag)
{
    if (size < kTagSize)
        return 0;
    writeU32(out, 0, size < kSmallestItemRoom ? kObjectTypeNoRoom : tag);
    return kTagSize;
}

int writeStringItem(uint8_t* out, int size, const char* text, size_t length)
{
    if (size < kSmallestItemRoom)
        return writeTagItem(out, size, kObjectTypeNoRoom);
    // With its NUL when that fits; otherwise cut, leaving 4 bytes of the space unused.
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(length) + 1, size - kHeaderSize);
    writeU32(out, 0, kObjectTypeString);
    if (length > 0)
        std::memcpy(out + kTagSize, text, static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(length))));
    if (n > static_cast<int64_t>(length))
        out[kTagSize + length] = '\0';
    return static_cast<int>(n) + kTagSize;
}

int writeNumberItem(uint8_t* out, int size, uint64_t value)
{
    if (size < kSmallestItemRoom)
        return writeTagItem(out, size, kObjectTypeNoRoom);
    writeU32(out, 0, kObjectTypeNumber);
    writeU64(out, kTagSize, value);
    return static_cast<int>(numberItemSize());
}

int writeDataItem(uint8_t* out, int size, const void* bytes, size_t length)
{
    if (size < kSmallestItemRoom)
        return writeTagItem(out, size, kObjectTypeNoRoom);
    const int64_t total = std::min<int64_t>(static_cast<int64_t>(length) + 4, size - kHeaderSize);
    const int64_t n = total - 4;
    writeU32(out, 0, n < static_cast<int64_t>(length) ? kObjectTypeDataTruncated : kObjectTypeData);
    writeU32(out, kTagSize, static_cast<uint32_t>(n));
    if (n > 0)
        std::memcpy(out + kHeaderSize, bytes, static_cast<size_t>(n));
    return static_cast<int>(n) + kHeaderSize;
}

} // namespace vennix
