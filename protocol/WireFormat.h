#pragma once
// The tagged binary format in which ACPI requests' arguments and results cross between the
// monitor and the CPU service. An item is a u32 tag and the fields behind it, little-endian,
// unaligned, with no padding; the items of an array follow each other directly:
//
//   0 unsupported   tag only (an object the format does not carry: dictionary, boolean)
//   1 null          tag only
//   2 string        tag, the characters and their NUL (the NUL is missing when cut)
//   3 number        tag, u64
//   4 array         tag, u32 element count, the elements
//   5 data          tag, u32 byte count L, L bytes
//   6 cut data      as 5, holding only the first L bytes of a longer buffer
//   7 no room       tag only: the item did not fit
//
// The writers of the flat items below are the only ones: the service's object writer
// (kext/ObjectWireFormat.h) and the monitor's requests both use them. Each stays within the
// size it is given: below 16 bytes only a no-room tag is written (or nothing, below 4), and
// strings and byte buffers are cut to leave 4 bytes of the space unused.

#include <cstddef>
#include <cstdint>

namespace vennix {

enum : uint32_t {
    kObjectTypeUnsupported = 0,
    kObjectTypeNull = 1,
    kObjectTypeString = 2,
    kObjectTypeNumber = 3,
    kObjectTypeArray = 4,
    kObjectTypeData = 5,
    kObjectTypeDataTruncated = 6,
    kObjectTypeNoRoom = 7,
};

// Arrays nested deeper than this are neither written nor read, so that neither a cyclic array
// nor a hostile request can exhaust the stack.
inline constexpr int kObjectMaxDepth = 64;

// Each answers the bytes written (0 to size).
int writeTagItem(uint8_t* out, int size, uint32_t tag);
int writeStringItem(uint8_t* out, int size, const char* text, size_t length);
int writeNumberItem(uint8_t* out, int size, uint64_t value);
int writeDataItem(uint8_t* out, int size, const void* bytes, size_t length);

// The size of a string, number or data item written whole.
constexpr size_t stringItemSize(size_t length) { return 4 + length + 1; }
constexpr size_t numberItemSize() { return 12; }
constexpr size_t dataItemSize(size_t length) { return 8 + length; }
// Room a writer needs to write an item of itemSize bytes whole.
constexpr size_t roomForWholeItem(size_t itemSize) { return itemSize + 4 < 16 ? 16 : itemSize + 4; }

} // namespace vennix
