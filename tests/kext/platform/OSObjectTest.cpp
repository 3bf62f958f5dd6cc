// Reference counts, the metaclass table and checked casts.

#include "kext/platform/IOLog.h"
#include "kext/platform/IOService.h"
#include "kext/platform/IOUserClient.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSObject.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace vennix {
namespace {

// Counts its own free() so that tests see exactly when the last reference went.
class Tracked : public OSObject {
    OSDeclareDefaultStructors(Tracked)

public:
    static Tracked* create(int* frees)
    {
        auto* object = static_cast<Tracked*>(gMetaClass.alloc());
        object->fFrees = frees;
        return object;
    }

protected:
    void free() override
    {
        if (fFrees)
            ++*fFrees;
        OSObject::free();
    }

private:
    int* fFrees = nullptr;
};

OSDefineMetaClassAndStructors(Tracked, OSObject)

// A derived class whose metaclass is defined before its base's: only the base's address is
// needed while the derived class registers.
class LateBase : public OSObject {
    OSDeclareDefaultStructors(LateBase)
};

class EarlyDerived : public LateBase {
    OSDeclareDefaultStructors(EarlyDerived)
};

OSDefineMetaClassAndStructors(EarlyDerived, LateBase)
OSDefineMetaClassAndStructors(LateBase, OSObject)

// Three classes registered by this file's static constructors, in this order.
class OrderFirst : public OSObject {
    OSDeclareDefaultStructors(OrderFirst)
};
class OrderSecond : public OSObject {
    OSDeclareDefaultStructors(OrderSecond)
};
class OrderThird : public OSObject {
    OSDeclareDefaultStructors(OrderThird)
};
OSDefineMetaClassAndStructors(OrderFirst, OSObject)
OSDefineMetaClassAndStructors(OrderSecond, OSObject)
OSDefineMetaClassAndStructors(OrderThird, OSObject)

long positionOf(const std::vector<std::string>& names, const std::string& name)
{
    auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : it - names.begin();
}

TEST(OSObjectTest, StartsWithOneReferenceAndIsFreedWhenTheLastGoes)
{
    int frees = 0;
    Tracked* object = Tracked::create(&frees);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->getRetainCount(), 1);

    object->retain();
    object->retain();
    EXPECT_EQ(object->getRetainCount(), 3);
    object->release();
    object->release();
    EXPECT_EQ(object->getRetainCount(), 1);
    EXPECT_EQ(frees, 0);

    object->release();
    EXPECT_EQ(frees, 1);
}

TEST(OSObjectTest, SafeReleaseClearsThePointerAndToleratesNull)
{
    int frees = 0;
    Tracked* object = Tracked::create(&frees);
    OSSafeReleaseNULL(object);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(frees, 1);
    OSSafeReleaseNULL(object);
    EXPECT_EQ(frees, 1);
}

TEST(OSObjectTest, ClassNamesAreTheRegisteredNames)
{
    OSString* string = OSString::withCString("x");
    const OSSymbol* symbol = OSSymbol::withCString("y");
    OSNumber* number = OSNumber::withNumber(1, 8);
    int frees = 0;
    Tracked* tracked = Tracked::create(&frees);

    EXPECT_STREQ(string->getClassName(), "OSString");
    EXPECT_STREQ(symbol->getClassName(), "OSSymbol");
    EXPECT_STREQ(number->getClassName(), "OSNumber");
    EXPECT_STREQ(kOSBooleanTrue->getClassName(), "OSBoolean");
    EXPECT_STREQ(tracked->getClassName(), "Tracked");
    EXPECT_EQ(symbol->getMetaClass()->getSuperClass(), &OSString::gMetaClass);
    EXPECT_EQ(OSObject::gMetaClass.getSuperClass(), nullptr);

    string->release();
    symbol->release();
    number->release();
    tracked->release();
}

TEST(OSObjectTest, CheckedCastsFollowTheHierarchyBothWays)
{
    const OSSymbol* symbol = OSSymbol::withCString("name");
    OSString* string = OSString::withCString("text");
    OSNumber* number = OSNumber::withNumber(5, 32);
    OSObject* asObject = string;

    // Up: a symbol is a string and an object.
    EXPECT_EQ(OSDynamicCast<OSString>(symbol), symbol);
    EXPECT_EQ(OSDynamicCast<OSObject>(symbol), symbol);
    // Down: from an OSObject* to what it really is, and not further.
    EXPECT_EQ(OSDynamicCast<OSString>(asObject), string);
    EXPECT_EQ(OSDynamicCast<OSSymbol>(asObject), nullptr);
    // Across.
    EXPECT_EQ(OSDynamicCast<OSString>(number), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(static_cast<OSObject*>(number)), number);
    EXPECT_EQ(OSDynamicCast<IOService>(asObject), nullptr);
    // Null-safe, and constness is kept.
    EXPECT_EQ(OSDynamicCast<OSString>(nullptr), nullptr);
    EXPECT_EQ(OSDynamicCast<OSString>(static_cast<OSObject*>(nullptr)), nullptr);
    static_assert(std::is_same_v<decltype(OSDynamicCast<OSString>(symbol)), const OSString*>);
    static_assert(std::is_same_v<decltype(OSDynamicCast<OSString>(asObject)), OSString*>);

    // By metaclass and by name.
    EXPECT_EQ(symbol->metaCast(&OSString::gMetaClass), symbol);
    EXPECT_EQ(symbol->metaCast("OSString"), symbol);
    EXPECT_EQ(string->metaCast("OSSymbol"), nullptr);
    EXPECT_EQ(string->metaCast("NoSuchClass"), nullptr);
    EXPECT_EQ(string->metaCast(static_cast<const OSMetaClass*>(nullptr)), nullptr);

    symbol->release();
    string->release();
    number->release();
}

TEST(OSObjectTest, SuperclassDefinedLaterInTheSameFileStillCasts)
{
    OSObject* object = OSMetaClass::allocClassWithName("EarlyDerived");
    ASSERT_NE(object, nullptr);
    EXPECT_NE(OSDynamicCast<LateBase>(object), nullptr);
    EXPECT_NE(OSDynamicCast<EarlyDerived>(object), nullptr);
    EXPECT_TRUE(EarlyDerived::gMetaClass.isSubclassOf(&OSObject::gMetaClass));
    EXPECT_FALSE(LateBase::gMetaClass.isSubclassOf(&EarlyDerived::gMetaClass));
    object->release();
}

TEST(OSObjectTest, AllocatesKnownClassesByName)
{
    OSObject* object = OSMetaClass::allocClassWithName("OSString");
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->getRetainCount(), 1);
    EXPECT_STREQ(object->getClassName(), "OSString");
    ASSERT_TRUE(object->init());
    // Created but never given text: an empty string, not a null pointer.
    EXPECT_STREQ(OSDynamicCast<OSString>(object)->getCStringNoCopy(), "");
    object->release();

    OSObject* service = OSMetaClass::allocClassWithName("IOService");
    ASSERT_NE(service, nullptr);
    EXPECT_NE(OSDynamicCast<IOService>(service), nullptr);
    service->release();
}

TEST(OSObjectTest, AllocByNameAnswersNullForUnknownAndAbstractClasses)
{
    EXPECT_EQ(OSMetaClass::allocClassWithName("NoSuchClass"), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName(""), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName(nullptr), nullptr);
    // Names are case-sensitive, as registered.
    EXPECT_EQ(OSMetaClass::allocClassWithName("osstring"), nullptr);
    // Registered, but not creatable by name.
    EXPECT_NE(OSMetaClass::getMetaClassWithName("IOUserClient"), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName("IOUserClient"), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName("OSObject"), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName("OSBoolean"), nullptr);
}

TEST(OSObjectTest, StaticConstructorsRegisterInDefinitionOrder)
{
    const std::vector<std::string> names = OSMetaClass::getRegisteredClassNames();
    const long first = positionOf(names, "OrderFirst");
    const long second = positionOf(names, "OrderSecond");
    const long third = positionOf(names, "OrderThird");
    ASSERT_GE(first, 0);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    // The platform's own classes are there too, each once.
    EXPECT_EQ(std::count(names.begin(), names.end(), "OSObject"), 1);
    EXPECT_GE(positionOf(names, "IOService"), 0);
}

TEST(OSObjectTest, LoadRegistersInOrderAndUnloadUnregisters)
{
    // What loading and unloading a module does to the table, with metaclasses whose lifetime
    // the test controls.
    auto makeTracked = []() -> OSObject* { return Tracked::create(nullptr); };
    const char* loaded[] = {"ModuleA", "ModuleUserClient", "ModuleC"};
    std::vector<std::unique_ptr<OSMetaClass>> module;
    for (const char* name : loaded)
        module.push_back(std::make_unique<OSMetaClass>(name, &OSObject::gMetaClass, makeTracked));

    std::vector<std::string> names = OSMetaClass::getRegisteredClassNames();
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
              (std::vector<std::string>{"ModuleA", "ModuleUserClient", "ModuleC"}));
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("ModuleUserClient"), module[1].get());
    EXPECT_TRUE(module[1]->isRegistered());

    OSObject* object = OSMetaClass::allocClassWithName("ModuleC");
    ASSERT_NE(object, nullptr);
    object->release();

    module.clear();
    names = OSMetaClass::getRegisteredClassNames();
    for (const char* name : loaded) {
        EXPECT_EQ(positionOf(names, name), -1) << name;
        EXPECT_EQ(OSMetaClass::getMetaClassWithName(name), nullptr) << name;
        EXPECT_EQ(OSMetaClass::allocClassWithName(name), nullptr) << name;
    }
    EXPECT_GE(positionOf(names, "OrderFirst"), 0);
}

TEST(OSObjectTest, ADuplicateNameIsRefusedAndTheFirstRegistrationStays)
{
    IOLogCapture log;
    {
        OSMetaClass duplicate("OSString", &OSObject::gMetaClass, nullptr);
        EXPECT_FALSE(duplicate.isRegistered());
        EXPECT_EQ(OSMetaClass::getMetaClassWithName("OSString"), &OSString::gMetaClass);
    }
    // Its end does not take the original's registration with it.
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("OSString"), &OSString::gMetaClass);
    EXPECT_TRUE(OSString::gMetaClass.isRegistered());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"OSMetaClass/ OSString is already registered\n"}));
}

} // namespace
} // namespace vennix
