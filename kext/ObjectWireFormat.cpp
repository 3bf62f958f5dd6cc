#include "kext/ObjectWireFormat.h"

#include <algorithm>
#include <cstring>

#include "protocol/AccessorTypes.h"
#include "kext/platform/OSArray.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"

namespace vennix {

namespace {

constexpr int kTagSize = 4;
constexpr int kHeaderSize = 8;      // tag and a u32 count or length
constexpr int kNumberSize = 12;
constexpr int kSmallestItemRoom = 16;

int writeTag(unsigned char* out, uint32_t tag)
{
    writeU32(out, 0, tag);
    return kTagSize;
}

int writeItem(OSObject* object, unsigned char* out, int size, int depth)
{
    // Fewer than 16 bytes: no item but the no-room tag fits, not even a null.
    if (size < kSmallestItemRoom)
        return writeTagItem(out, size, kObjectTypeNoRoom);

    if (object == nullptr)
        return writeTag(out, kObjectTypeNull);
    if (const auto* string = OSDynamicCast<OSString>(object))
        return writeStringItem(out, size, string->getCStringNoCopy(), string->getLength());
    if (const auto* number = OSDynamicCast<OSNumber>(object))
        return writeNumberItem(out, size, number->unsigned64BitValue());
    if (const auto* data = OSDynamicCast<OSData>(object))
        return writeDataItem(out, size, data->getBytesNoCopy(), data->getLength());

    if (const auto* array = OSDynamicCast<OSArray>(object)) {
        if (depth >= kObjectMaxDepth)
            return writeTag(out, kObjectTypeUnsupported);
        const unsigned int count = array->getCount();
        writeTag(out, kObjectTypeArray);
        writeU32(out, kTagSize, count);
        int offset = kHeaderSize;
        for (unsigned int i = 0; i < count; ++i)
            offset += writeItem(array->getObject(i), out + offset, size - offset, depth + 1);
        return offset;
    }

    return writeTag(out, kObjectTypeUnsupported);
}

int readItem(const unsigned char* in, int length, OSObject** object, int depth)
{
    *object = nullptr;
    if (length < kTagSize)
        return 0;

    switch (readU32(in, 0)) {
    case kObjectTypeString: {
        const void* nul = std::memchr(in + kTagSize, '\0', static_cast<size_t>(length - kTagSize));
        if (nul == nullptr)
            return 0;
        const auto textLength = static_cast<const unsigned char*>(nul) - (in + kTagSize);
        *object = OSString::withCString(reinterpret_cast<const char*>(in + kTagSize), textLength);
        return *object ? kTagSize + static_cast<int>(textLength) + 1 : 0;
    }
    case kObjectTypeNumber:
        if (length < kNumberSize)
            return 0;
        *object = OSNumber::withNumber(readU64(in, kTagSize), 64);
        return *object ? kNumberSize : 0;
    case kObjectTypeData: {
        if (length < kHeaderSize)
            return 0;
        const uint32_t dataLength = readU32(in, kTagSize);
        if (dataLength > static_cast<uint32_t>(length - kHeaderSize))
            return 0;
        *object = OSData::withBytes(in + kHeaderSize, dataLength);
        return *object ? kHeaderSize + static_cast<int>(dataLength) : 0;
    }
    case kObjectTypeArray: {
        if (length < kHeaderSize || depth >= kObjectMaxDepth)
            return 0;
        const uint32_t count = readU32(in, kTagSize);
        OSArray* array = OSArray::withCapacity(count);
        if (array == nullptr)
            return 0;
        // Every element takes at least 4 bytes, so the loop ends with the input whatever
        // count claims.
        int offset = kHeaderSize;
        for (uint32_t i = 0; i < count; ++i) {
            OSObject* element = nullptr;
            const int consumed = readItem(in + offset, length - offset, &element, depth + 1);
            if (consumed == 0)
                break;
            const bool stored = array->setObject(element);
            element->release();
            if (!stored)
                break;
            offset += consumed;
        }
        *object = array;
        return offset;
    }
    default:
        return 0;
    }
}

} // namespace

int objectToMem(OSObject* object, void* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    return writeItem(object, static_cast<unsigned char*>(buffer), size, 0);
}

int memToObject(const void* buffer, int length, OSObject** object)
{
    if (object == nullptr)
        return 0;
    *object = nullptr;
    if (buffer == nullptr || length <= 0)
        return 0;
    return readItem(static_cast<const unsigned char*>(buffer), length, object, 0);
}

} // namespace vennix
