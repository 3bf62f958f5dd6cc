#pragma once
// An ordered list of objects. The array owns one reference to each element: setObject retains,
// removal and the array's end release. Not synchronised: share an array between threads only
// under a lock.

#include "kext/platform/OSObject.h"

namespace vennix {

class OSArray : public OSObject {
    OSDeclareDefaultStructors(OSArray)

public:
    // A new empty array. The capacity is a hint (see OSData::withCapacity): an element count
    // read from outside input cannot make it allocate beyond a bounded amount up front.
    static OSArray* withCapacity(unsigned int capacity);

    // Appends object and retains it; false (nothing changed) for null or when memory runs out.
    bool setObject(const OSObject* object);
    // Removes the element at index and releases it; later elements move down one.
    void removeObject(unsigned int index);

    // The element at index, not retained; null past the end.
    OSObject* getObject(unsigned int index) const;
    unsigned int getCount() const { return fCount; }
    unsigned int getCapacity() const { return fCapacity; }

    // Same count and pairwise equal elements.
    bool isEqualTo(const OSArray* other) const;
    bool isEqualTo(const OSObject* other) const override;

    static constexpr unsigned int kMaxInitialCapacity = 4096;

protected:
    void free() override;

private:
    bool ensureCapacity(unsigned int needed);

    const OSObject** fObjects = nullptr;
    unsigned int fCount = 0;
    unsigned int fCapacity = 0;
};

} // namespace vennix
