#include "kext/platform/OSArray.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vennix {

OSDefineMetaClassAndStructors(OSArray, OSObject)

OSArray* OSArray::withCapacity(unsigned int capacity)
{
    OSArray* array = new (std::nothrow) OSArray;
    if (array &&
        !(array->init() && array->ensureCapacity(std::min(capacity, kMaxInitialCapacity)))) {
        array->release();
        return nullptr;
    }
    return array;
}

bool OSArray::ensureCapacity(unsigned int needed)
{
    if (needed <= fCapacity)
        return true;
    constexpr unsigned int kMost = UINT_MAX / sizeof(const OSObject*);
    if (needed > kMost)
        return false;
    unsigned int capacity = std::max({needed, fCapacity < kMost / 2 ? fCapacity * 2 : kMost, 8u});
    auto* objects =
        static_cast<const OSObject**>(std::realloc(fObjects, capacity * sizeof(const OSObject*)));
    if (objects == nullptr)
        return false;
    fObjects = objects;
    fCapacity = capacity;
    return true;
}

bool OSArray::setObject(const OSObject* object)
{
    if (object == nullptr || fCount == UINT_MAX || !ensureCapacity(fCount + 1))
        return false;
    object->retain();
    fObjects[fCount++] = object;
    return true;
}

void OSArray::removeObject(unsigned int index)
{
    if (index >= fCount)
        return;
    const OSObject* removed = fObjects[index];
    std::memmove(fObjects + index, fObjects + index + 1,
                 (fCount - index - 1) * sizeof(const OSObject*));
    --fCount;
    removed->release();
}

OSObject* OSArray::getObject(unsigned int index) const
{
    // The array hands out what it holds as callers stored it; constness is the caller's.
    return index < fCount ? const_cast<OSObject*>(fObjects[index]) : nullptr;
}

bool OSArray::isEqualTo(const OSArray* other) const
{
    if (other == nullptr || other->fCount != fCount)
        return false;
    for (unsigned int i = 0; i < fCount; ++i) {
        if (!fObjects[i]->isEqualTo(other->fObjects[i]))
            return false;
    }
    return true;
}

bool OSArray::isEqualTo(const OSObject* other) const
{
    return isEqualTo(OSDynamicCast<OSArray>(other));
}

void OSArray::free()
{
    // Detach the elements first: releasing one may end an object that looks at this array.
    const OSObject** objects = fObjects;
    const unsigned int count = fCount;
    fObjects = nullptr;
    fCount = fCapacity = 0;
    for (unsigned int i = 0; i < count; ++i)
        objects[i]->release();
    std::free(objects);
    OSObject::free();
}

} // namespace vennix
