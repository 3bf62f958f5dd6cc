#pragma once
// The object side of the tagged wire format of protocol/WireFormat.h: the service's containers
// written as items and read back from them.

#include "kext/platform/OSObject.h"
#include "protocol/WireFormat.h"

#include <cstdint>

namespace vennix {

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
