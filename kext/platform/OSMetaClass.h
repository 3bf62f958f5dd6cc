#pragma once
// The run-time type system of the CPU service's objects: one OSMetaClass per class, holding
// its registered name and its superclass's metaclass.
//
// A metaclass registers itself in a global table when it is constructed (at static
// construction, as a kernel extension's classes register at load) and unregisters when it is
// destroyed (at static destruction, as at unload). Classes are then created by name
// (allocClassWithName) and checked casts walk the superclass chain (OSDynamicCast, OSObject.h).
//
// A class declares its metaclass with one line in its body and defines it with one line in its
// source file, inside the class's namespace:
//
//     class Vennix : public IOService {
//         OSDeclareDefaultStructors(Vennix)
//     public:
//         ...
//     };
//
//     OSDefineMetaClassAndStructors(Vennix, IOService)      // in Vennix.cpp
//
// The Default/Structors pair declares and defines the class's default constructor and its
// protected destructor: such classes set themselves up in init(), not in a constructor. The
// Abstract pair does the same for classes that cannot be created by name.

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace vennix {

class OSObject;

class OSMetaClass {
public:
    // Creates an instance with a reference count of 1, not yet initialised; null on failure.
    using Allocator = OSObject* (*)();

    // Registers the class. superClass may be an object that is not constructed yet (only its
    // address is kept). allocator is null for abstract classes. A name that is already
    // registered is refused with a log line and the first registration stays.
    OSMetaClass(const char* className, const OSMetaClass* superClass, Allocator allocator);
    ~OSMetaClass();
    OSMetaClass(const OSMetaClass&) = delete;
    OSMetaClass& operator=(const OSMetaClass&) = delete;

    const char* getClassName() const { return fClassName; }
    const OSMetaClass* getSuperClass() const { return fSuperClass; }
    bool isAbstract() const { return fAllocator == nullptr; }
    // Whether this metaclass is the one the table answers for its name.
    bool isRegistered() const;

    // A new instance (count 1, not initialised), or null for abstract classes and on failure.
    OSObject* alloc() const;

    // True when this class is other or derives from it.
    bool isSubclassOf(const OSMetaClass* other) const;

    // object when it is an instance of this class or of a subclass, else null. Null-safe.
    OSObject* checkMetaCast(const OSObject* object) const;

    // The registered metaclass of that name, or null.
    static const OSMetaClass* getMetaClassWithName(const char* name);
    // A new instance (count 1, not initialised) of the class registered under name; null for
    // unknown names, abstract classes and on failure.
    static OSObject* allocClassWithName(const char* name);
    // object cast to the class registered under name, or null.
    static OSObject* checkMetaCastWithName(const char* name, const OSObject* object);
    // The names of the registered classes, in the order they registered.
    static std::vector<std::string> getRegisteredClassNames();

private:
    const char* fClassName;
    const OSMetaClass* fSuperClass;
    Allocator fAllocator;
};

} // namespace vennix

// Declarations shared by every class with a metaclass.
#define OSDeclareCommonStructors(className)                                     \
public:                                                                         \
    static const ::vennix::OSMetaClass gMetaClass;                              \
    const ::vennix::OSMetaClass* getMetaClass() const override;                 \
                                                                                \
private:

// A class that can be created by name: public default constructor, protected destructor
// (objects end through release()).
#define OSDeclareDefaultStructors(className)                                    \
    OSDeclareCommonStructors(className)                                         \
public:                                                                         \
    className();                                                                \
                                                                                \
protected:                                                                      \
    ~className() override;                                                      \
                                                                                \
private:

// A class that cannot be created by name (allocClassWithName answers null).
#define OSDeclareAbstractStructors(className)                                   \
    OSDeclareCommonStructors(className)                                         \
protected:                                                                      \
    className();                                                                \
    ~className() override;                                                      \
                                                                                \
private:

// Defines the metaclass only; for classes that write their own constructors. allocator is
// null for a class that cannot be created by name.
#define OSDefineMetaClass(className, superclassName, allocator)                 \
    const ::vennix::OSMetaClass className::gMetaClass(                          \
        #className, &superclassName::gMetaClass, allocator);                    \
    const ::vennix::OSMetaClass* className::getMetaClass() const                \
    {                                                                           \
        return &gMetaClass;                                                     \
    }

#define OSDefineMetaClassAndStructors(className, superclassName)                \
    OSDefineMetaClass(className, superclassName,                                \
                      []() -> ::vennix::OSObject* {                             \
                          return new (std::nothrow) className;                  \
                      })                                                        \
    className::className() = default;                                           \
    className::~className() = default;

#define OSDefineMetaClassAndAbstractStructors(className, superclassName)        \
    OSDefineMetaClass(className, superclassName, nullptr)                       \
    className::className() = default;                                           \
    className::~className() = default;
