#include "kext/platform/OSDictionary.h"

#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vennix {

OSDefineMetaClassAndStructors(OSDictionary, OSObject)

OSDictionary* OSDictionary::withCapacity(unsigned int capacity)
{
    OSDictionary* dictionary = new (std::nothrow) OSDictionary;
    if (dictionary && !(dictionary->init() &&
                        dictionary->ensureCapacity(std::min(capacity, kMaxInitialCapacity)))) {
        dictionary->release();
        return nullptr;
    }
    return dictionary;
}

OSDictionary* OSDictionary::withDictionary(const OSDictionary* dictionary)
{
    if (dictionary == nullptr)
        return nullptr;
    OSDictionary* copy = withCapacity(dictionary->fCount);
    if (copy == nullptr)
        return nullptr;
    for (unsigned int i = 0; i < dictionary->fCount; ++i) {
        if (!copy->setObject(dictionary->fEntries[i].key, dictionary->fEntries[i].value)) {
            copy->release();
            return nullptr;
        }
    }
    return copy;
}

bool OSDictionary::ensureCapacity(unsigned int needed)
{
    if (needed <= fCapacity)
        return true;
    constexpr unsigned int kMost = UINT_MAX / sizeof(Entry);
    if (needed > kMost)
        return false;
    unsigned int capacity = std::max({needed, fCapacity < kMost / 2 ? fCapacity * 2 : kMost, 8u});
    auto* entries = static_cast<Entry*>(std::realloc(fEntries, capacity * sizeof(Entry)));
    if (entries == nullptr)
        return false;
    fEntries = entries;
    fCapacity = capacity;
    return true;
}

int OSDictionary::indexOf(const char* key, unsigned int length) const
{
    for (unsigned int i = 0; i < fCount; ++i) {
        const OSString* candidate = fEntries[i].key;
        if (candidate->getLength() == length &&
            std::memcmp(candidate->getCStringNoCopy(), key, length) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

bool OSDictionary::setObject(const OSString* key, const OSObject* object)
{
    if (key == nullptr || object == nullptr)
        return false;
    const int index = indexOf(key->getCStringNoCopy(), key->getLength());
    if (index >= 0) {
        // Retain before releasing: the new value may be the old one.
        object->retain();
        const OSObject* old = fEntries[index].value;
        fEntries[index].value = object;
        old->release();
        return true;
    }
    if (fCount == UINT_MAX || !ensureCapacity(fCount + 1))
        return false;
    key->retain();
    object->retain();
    fEntries[fCount++] = Entry{key, object};
    return true;
}

bool OSDictionary::setObject(const char* key, const OSObject* object)
{
    if (key == nullptr || object == nullptr)
        return false;
    const OSSymbol* symbol = OSSymbol::withCString(key);
    if (symbol == nullptr)
        return false;
    const bool stored = setObject(symbol, object);
    symbol->release();
    return stored;
}

OSObject* OSDictionary::getObject(const OSString* key) const
{
    if (key == nullptr)
        return nullptr;
    const int index = indexOf(key->getCStringNoCopy(), key->getLength());
    return index >= 0 ? const_cast<OSObject*>(fEntries[index].value) : nullptr;
}

OSObject* OSDictionary::getObject(const char* key) const
{
    if (key == nullptr)
        return nullptr;
    const size_t length = std::strlen(key);
    if (length >= UINT_MAX)
        return nullptr;
    const int index = indexOf(key, static_cast<unsigned int>(length));
    return index >= 0 ? const_cast<OSObject*>(fEntries[index].value) : nullptr;
}

void OSDictionary::removeAt(unsigned int index)
{
    const Entry removed = fEntries[index];
    std::memmove(fEntries + index, fEntries + index + 1, (fCount - index - 1) * sizeof(Entry));
    --fCount;
    removed.key->release();
    removed.value->release();
}

void OSDictionary::removeObject(const OSString* key)
{
    if (key == nullptr)
        return;
    const int index = indexOf(key->getCStringNoCopy(), key->getLength());
    if (index >= 0)
        removeAt(static_cast<unsigned int>(index));
}

void OSDictionary::removeObject(const char* key)
{
    if (key == nullptr)
        return;
    const size_t length = std::strlen(key);
    if (length >= UINT_MAX)
        return;
    const int index = indexOf(key, static_cast<unsigned int>(length));
    if (index >= 0)
        removeAt(static_cast<unsigned int>(index));
}

bool OSDictionary::isEqualTo(const OSDictionary* other) const
{
    if (other == nullptr || other->fCount != fCount)
        return false;
    for (unsigned int i = 0; i < fCount; ++i) {
        const OSObject* theirs = other->getObject(fEntries[i].key);
        if (theirs == nullptr || !fEntries[i].value->isEqualTo(theirs))
            return false;
    }
    return true;
}

bool OSDictionary::isEqualTo(const OSObject* other) const
{
    return isEqualTo(OSDynamicCast<OSDictionary>(other));
}

void OSDictionary::free()
{
    Entry* entries = fEntries;
    const unsigned int count = fCount;
    fEntries = nullptr;
    fCount = fCapacity = 0;
    for (unsigned int i = 0; i < count; ++i) {
        entries[i].key->release();
        entries[i].value->release();
    }
    std::free(entries);
    OSObject::free();
}

} // namespace vennix
