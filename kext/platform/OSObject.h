#pragma once
// The root of the CPU service's objects: an intrusive, thread-safe reference count and the
// link to the run-time type system.
//
// An object starts with a count of 1, owned by whoever created it (a static factory such as
// OSString::withCString, or OSMetaClass::alloc). retain() adds an owner, release() drops one;
// when the last owner lets go, free() runs and deletes the object. Subclasses that hold
// references override free(), drop them and call their base's free() last.

#include "kext/platform/OSMetaClass.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vennix {

class OSObject {
public:
    static const OSMetaClass gMetaClass;

    OSObject(const OSObject&) = delete;
    OSObject& operator=(const OSObject&) = delete;

    // Sets the object up after alloc(); false when it cannot be used (the caller releases it).
    virtual bool init();

    void retain() const;
    void release() const;
    int getRetainCount() const;

    virtual const OSMetaClass* getMetaClass() const;
    // The registered name of the object's class ("OSNumber", "Vennix", ...).
    const char* getClassName() const { return getMetaClass()->getClassName(); }

    // Equal contents; the base compares identity.
    virtual bool isEqualTo(const OSObject* other) const;

    // This object when it is an instance of toMeta (or of a subclass), else null.
    OSObject* metaCast(const OSMetaClass* toMeta) const;
    OSObject* metaCast(const char* toClassName) const;

protected:
    // The count of an object that is never freed (OSBoolean's two values).
    static constexpr int kPermanentCount = 0x3fffffff;
    struct Permanent {};

    constexpr OSObject() : fRetainCount(1) {}
    constexpr explicit OSObject(Permanent) : fRetainCount(kPermanentCount) {}
    virtual ~OSObject();

    // Runs when the count reaches 0; deletes the object.
    virtual void free();

    // retain() unless the count has already reached 0 (the object is on its way to free()).
    // For tables that hold objects without owning them.
    bool tryRetain() const;

private:
    mutable std::atomic<int> fRetainCount;
};

// obj as a T* when it is a T or an instance of a subclass of T, else null. Null-safe; keeps
// the constness of obj.
template <class T, class U>
auto OSDynamicCast(U* obj) -> std::conditional_t<std::is_const_v<U>, const T*, T*>
{
    static_assert(std::is_base_of_v<OSObject, T>, "OSDynamicCast casts between OSObjects");
    static_assert(std::is_base_of_v<OSObject, std::remove_cv_t<U>>,
                  "OSDynamicCast casts between OSObjects");
    using Base = std::conditional_t<std::is_const_v<U>, const OSObject*, OSObject*>;
    using Result = std::conditional_t<std::is_const_v<U>, const T*, T*>;
    if (obj == nullptr || !obj->getMetaClass()->isSubclassOf(&T::gMetaClass))
        return nullptr;
    // Through OSObject, so that casts across the hierarchy compile and answer null above.
    return static_cast<Result>(static_cast<Base>(obj));
}

template <class T>
T* OSDynamicCast(std::nullptr_t)
{
    return nullptr;
}

} // namespace vennix

// Releases the object a pointer holds, if any, and clears the pointer.
#define OSSafeReleaseNULL(pointer)                                                          \
    do {                                                                                    \
        if (pointer)                                                                        \
            (pointer)->release();                                                           \
        (pointer) = nullptr;                                                                \
    } while (0)
