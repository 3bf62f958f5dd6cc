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
// Both functions stay within the size they are given and never fail loudly.

#include "kext/platform/OSObject.h"

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

// Arrays nested deeper than this are neither written (an array below this depth becomes an
// unsupported item) nor read (it is unreadable), so that neither a cyclic array nor a
// hostile request can exhaust the stack.
inline constexpr int kObjectMaxDepth = 64;

// Writes object into buffer using at most size bytes and answers how many it wrote (0 to
// size). Below 16 bytes only a no-room tag is written (or nothing, below 4). Strings and byte
// buffers are cut to leave 4 bytes of the space unused; an array always records its full
// count, even when later elements came out as no-room items or as nothing.
int objectToMem(OSObject* object, void* buffer, int size);

// Reads one item from the first length bytes of buffer. On success *object is a new object
// (the caller's reference) and the answer is the number of bytes the item took. Null, no
// room, unsupported, cut data, unknown tags and every item that would run past length
// give *object null and 0. An array stops at its first unreadable element and is answered
// with the elements before it; the bytes consumed then end where that element began.
int memToObject(const void* buffer, int length, OSObject** object);

} // namespace vennix
