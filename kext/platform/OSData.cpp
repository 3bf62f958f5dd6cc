#include "kext/platform/OSData.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vennix {

OSDefineMetaClassAndStructors(OSData, OSObject)

namespace {
// What getBytesNoCopy answers for an empty buffer, so callers may pass it to memcpy with 0.
const unsigned char kNoBytes[1] = {0};
} // namespace

OSData* OSData::withBytes(const void* bytes, unsigned int length)
{
    if (bytes == nullptr && length != 0)
        return nullptr;
    OSData* data = new (std::nothrow) OSData;
    if (data && !(data->init() && data->appendBytes(bytes, length))) {
        data->release();
        return nullptr;
    }
    return data;
}

OSData* OSData::withCapacity(unsigned int capacity)
{
    OSData* data = new (std::nothrow) OSData;
    if (data && !(data->init() && data->ensureCapacity(std::min(capacity, kMaxInitialCapacity)))) {
        data->release();
        return nullptr;
    }
    return data;
}

OSData* OSData::withData(const OSData* data)
{
    return data ? withBytes(data->getBytesNoCopy(), data->getLength()) : nullptr;
}

bool OSData::ensureCapacity(unsigned int needed)
{
    if (needed <= fCapacity)
        return true;
    // Grow geometrically so that a run of small appends stays linear.
    unsigned int capacity = fCapacity < UINT_MAX / 2 ? std::max(needed, fCapacity * 2) : needed;
    capacity = std::max(capacity, 16u);
    auto* bytes = static_cast<unsigned char*>(std::realloc(fBytes, capacity));
    if (bytes == nullptr)
        return false;
    fBytes = bytes;
    fCapacity = capacity;
    return true;
}

bool OSData::appendBytes(const void* bytes, unsigned int length)
{
    if (length == 0)
        return true;
    if (bytes == nullptr || length > UINT_MAX - fLength || !ensureCapacity(fLength + length))
        return false;
    std::memcpy(fBytes + fLength, bytes, length);
    fLength += length;
    return true;
}

const void* OSData::getBytesNoCopy() const
{
    return fBytes ? fBytes : kNoBytes;
}

const void* OSData::getBytesNoCopy(unsigned int offset, unsigned int length) const
{
    if (offset > fLength || length > fLength - offset)
        return nullptr;
    return static_cast<const unsigned char*>(getBytesNoCopy()) + offset;
}

bool OSData::isEqualTo(const void* bytes, unsigned int length) const
{
    if (length != fLength)
        return false;
    return length == 0 || (bytes && std::memcmp(fBytes, bytes, length) == 0);
}

bool OSData::isEqualTo(const OSData* other) const
{
    return other && isEqualTo(other->getBytesNoCopy(), other->getLength());
}

bool OSData::isEqualTo(const OSObject* other) const
{
    return isEqualTo(OSDynamicCast<OSData>(other));
}

void OSData::free()
{
    std::free(fBytes);
    fBytes = nullptr;
    fLength = fCapacity = 0;
    OSObject::free();
}

} // namespace vennix
