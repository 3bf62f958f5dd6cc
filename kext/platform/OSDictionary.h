#pragma once
// Objects stored under string keys, in insertion order. The dictionary owns one reference to
// each key and each value. Not synchronised: share a dictionary between threads only under a
// lock. Lookups are linear; the dictionaries of the service are small (personalities,
// properties).

#include "kext/platform/OSObject.h"

namespace vennix {

class OSString;

class OSDictionary : public OSObject {
    OSDeclareDefaultStructors(OSDictionary)

public:
    // A new empty dictionary; the capacity is a hint (see OSArray::withCapacity).
    static OSDictionary* withCapacity(unsigned int capacity);
    // A new dictionary holding the same keys and values (the values are shared, not copied);
    // null when dictionary is null.
    static OSDictionary* withDictionary(const OSDictionary* dictionary);

    // Stores object under key, retaining both; an earlier value under an equal key is
    // released. False (nothing changed) for a null key or object, or when memory runs out.
    bool setObject(const OSString* key, const OSObject* object);
    bool setObject(const char* key, const OSObject* object);

    // The value under key, not retained; null when there is none.
    OSObject* getObject(const OSString* key) const;
    OSObject* getObject(const char* key) const;

    // Removes the value under key, if any, releasing it and its key.
    void removeObject(const OSString* key);
    void removeObject(const char* key);

    unsigned int getCount() const { return fCount; }

    // Same keys with equal values.
    bool isEqualTo(const OSDictionary* other) const;
    bool isEqualTo(const OSObject* other) const override;

    static constexpr unsigned int kMaxInitialCapacity = 4096;

protected:
    void free() override;

private:
    struct Entry {
        const OSString* key;
        const OSObject* value;
    };

    bool ensureCapacity(unsigned int needed);
    int indexOf(const char* key, unsigned int length) const;
    void removeAt(unsigned int index);

    Entry* fEntries = nullptr;
    unsigned int fCount = 0;
    unsigned int fCapacity = 0;
};

} // namespace vennix
