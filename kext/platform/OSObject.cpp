#include "kext/platform/OSObject.h"

#include <cstring>

namespace vennix {

// The root class: no superclass, never created by name.
const OSMetaClass OSObject::gMetaClass("OSObject", nullptr, nullptr);

const OSMetaClass* OSObject::getMetaClass() const
{
    return &gMetaClass;
}

OSObject::~OSObject() = default;

bool OSObject::init()
{
    return true;
}

void OSObject::free()
{
    delete this;
}

void OSObject::retain() const
{
    // Relaxed: taking another reference needs no ordering; the caller already holds one.
    if (fRetainCount.load(std::memory_order_relaxed) == kPermanentCount)
        return;
    fRetainCount.fetch_add(1, std::memory_order_relaxed);
}

void OSObject::release() const
{
    if (fRetainCount.load(std::memory_order_relaxed) == kPermanentCount)
        return;
    // Release/acquire so that every owner's writes happen before free() runs.
    if (fRetainCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        const_cast<OSObject*>(this)->free();
}

bool OSObject::tryRetain() const
{
    int count = fRetainCount.load(std::memory_order_relaxed);
    if (count == kPermanentCount)
        return true;
    while (count > 0) {
        if (fRetainCount.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed))
            return true;
    }
    return false;
}

int OSObject::getRetainCount() const
{
    return fRetainCount.load(std::memory_order_relaxed);
}

bool OSObject::isEqualTo(const OSObject* other) const
{
    return other == this;
}

OSObject* OSObject::metaCast(const OSMetaClass* toMeta) const
{
    return toMeta ? toMeta->checkMetaCast(this) : nullptr;
}

OSObject* OSObject::metaCast(const char* toClassName) const
{
    return OSMetaClass::checkMetaCastWithName(toClassName, this);
}

} // namespace vennix
