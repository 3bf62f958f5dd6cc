// The object model (reference counts, the metaclass table, checked casts, the containers) and
// the service life cycle as the daemon's personality table drives it, with the registry of
// published services and user clients.

#include "kext/platform/IOLog.h"
#include "kext/platform/IOUserClient.h"
#include "kext/platform/OSArray.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSSymbol.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace vennix {
namespace {

// Publishes itself when it starts and notes its stop. While it is freed it looks itself up: a
// service on its way to free must not be found. Its metaclass registers before its base's: only
// the base's address is needed then.
std::vector<std::string> gEvents;
class Base : public IOService {
    OSDeclareDefaultStructors(Base)
};
class LifeCycleService : public Base {
    OSDeclareDefaultStructors(LifeCycleService)
public:
    bool start(IOService* provider) override { return IOService::start(provider) && (registerService(), true); }
    void stop(IOService* provider) override { gEvents.push_back(std::string("stop ") + provider->getName()); }

protected:
    void free() override
    {
        IOService* found = copyMatchingService(getName());
        gEvents.push_back(found == this ? "free, found" : "free");
        if (found != this)
            OSSafeReleaseNULL(found);
        IOService::free();
    }
};
OSDefineMetaClassAndStructors(LifeCycleService, Base)
OSDefineMetaClassAndStructors(Base, IOService)

// Releases what a test made when it ends.
struct Owned : std::vector<const OSObject*> {
    template <class T>
    T* operator()(T* object) { return push_back(object), object; }
    ~Owned() { std::for_each(begin(), end(), [](const OSObject* object) { object->release(); }); }
};

TEST(OSObjectTest, ReferencesCastsAndTheClassTable)
{
    OSObject* object = OSMetaClass::allocClassWithName("LifeCycleService");
    object->retain(), object->release();
    EXPECT_EQ(object->getRetainCount(), 1);
    EXPECT_TRUE(OSDynamicCast<IOService>(object) == object && OSDynamicCast<Base>(object) == object);
    EXPECT_FALSE(OSDynamicCast<OSString>(object) || Base::gMetaClass.isSubclassOf(&LifeCycleService::gMetaClass));
    gEvents.clear();
    OSSafeReleaseNULL(object);
    OSSafeReleaseNULL(object); // null now: nothing
    EXPECT_TRUE(gEvents == std::vector<std::string>{"free"} && OSDynamicCast<Base>(object) == nullptr);
    for (const char* name : {"OSString", "IOService"}) {
        object = OSMetaClass::allocClassWithName(name);
        EXPECT_TRUE(object->init() && object->getRetainCount() == 1 && !strcmp(object->getClassName(), name));
        object->release();
    }
    for (const char* name : {"NoSuchClass", "", "osstring", "IOUserClient", "OSObject", "OSBoolean"})
        EXPECT_EQ(OSMetaClass::allocClassWithName(name), nullptr) << name;
    EXPECT_TRUE(!OSMetaClass::allocClassWithName(nullptr) && OSMetaClass::getMetaClassWithName("IOUserClient"));

    const std::vector<std::string> names = OSMetaClass::getRegisteredClassNames();
    const auto derived = std::find(names.begin(), names.end(), "LifeCycleService");
    ASSERT_NE(derived, names.end());
    EXPECT_TRUE(derived[1] == "Base" && std::count(names.begin(), names.end(), "OSObject") == 1);
    IOLogCapture log;
    {
        OSMetaClass duplicate("OSString", &OSObject::gMetaClass, nullptr);
        EXPECT_FALSE(duplicate.isRegistered());
    }
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("OSString"), &OSString::gMetaClass); // the duplicate took nothing
    EXPECT_EQ(log.lines(), std::vector<std::string>{"OSMetaClass/ OSString is already registered\n"});
    EXPECT_EQ(OSMetaClass::getRegisteredClassNames(), names);
}

TEST(OSContainerTest, ContainersHoldCopiesAndAReferencePerEntry)
{
    Owned own;
    char buffer[] = "Vennix";
    OSString* string = own(OSString::withCString(buffer));
    buffer[0] = 'X';
    EXPECT_TRUE(
        !strcmp(string->getCStringNoCopy(), "Vennix") && string->getLength() == 6 && !OSString::withCString(nullptr));
    EXPECT_STREQ(own(OSString::withCString("abcd", 3))->getCStringNoCopy(), "abc");
    EXPECT_EQ(own(OSSymbol::withCString("ab\0cd", 5))->getLength(), 2u);
    EXPECT_STREQ(own(OSDynamicCast<OSString>(OSString::gMetaClass.alloc()))->getCStringNoCopy(), "");
    EXPECT_TRUE(own(OSNumber::withNumber(0x1FF, 8))->unsigned64BitValue() == 0xFF && !OSNumber::withNumber(1, 65));
    EXPECT_TRUE(own(OSNumber::withNumber(~0ull, 64))->unsigned64BitValue() == ~0ull && !OSNumber::withNumber(1, 0));
    std::vector<unsigned char> bytes(1000, 0x5A);
    OSData* data = own(OSData::withBytes("\x01\x02", 2));
    ASSERT_TRUE(data->appendBytes(bytes.data(), 1000) && data->appendBytes(nullptr, 0));
    EXPECT_FALSE(data->appendBytes(nullptr, 1) || OSData::withBytes(nullptr, 3) || OSData::withData(nullptr));
    const auto* all = static_cast<const unsigned char*>(data->getBytesNoCopy());
    EXPECT_TRUE(data->getLength() == 1002 && all[1] == 2 && all[2] == 0x5A && all[1001] == 0x5A);
    EXPECT_TRUE(data->getBytesNoCopy(1001, 1) == all + 1001 && !data->getBytesNoCopy(1001, 2)
        && !data->getBytesNoCopy(1, UINT_MAX));
    EXPECT_NE(own(OSData::withBytes(nullptr, 0))->getBytesNoCopy(), nullptr); // safe for memcpy with 0
    OSData* hinted = own(OSData::withCapacity(UINT_MAX)); // a capacity from outside is a hint
    EXPECT_TRUE(hinted->getCapacity() <= OSData::kMaxInitialCapacity && hinted->appendBytes("ok", 2));

    OSArray* array = own(OSArray::withCapacity(UINT_MAX)); // a hint, bounded
    OSDictionary* dictionary = own(OSDictionary::withCapacity(0));
    EXPECT_LE(array->getCapacity(), OSArray::kMaxInitialCapacity);
    std::vector<OSNumber*> numbers;
    for (unsigned i = 0; i < 12; ++i) {
        numbers.push_back(own(OSNumber::withNumber(i, 64)));
        ASSERT_TRUE(
            array->setObject(numbers[i]) && dictionary->setObject(("n" + std::to_string(i)).c_str(), numbers[i]));
    }
    EXPECT_FALSE(array->setObject(nullptr) || dictionary->setObject("k", nullptr));
    EXPECT_TRUE(array->setObject(numbers[5])); // twice: two references
    array->removeObject(0), array->removeObject(11), array->removeObject(11); // the first, the last, then nothing
    EXPECT_TRUE(array->getCount() == 11 && array->getObject(10) == numbers[11] && !array->getObject(11));
    OSDictionary* copy = own(OSDictionary::withDictionary(dictionary));
    EXPECT_EQ(numbers[5]->getRetainCount(), 4); // ours, the array's and the two dictionaries'
    EXPECT_TRUE(copy->getObject(own(OSSymbol::withCString("n3"))) == numbers[3] && !copy->getObject("n"));
    EXPECT_TRUE(copy->setObject("n3", numbers[4]) && copy->setObject("n4", numbers[4])); // replaced, kept alive
    EXPECT_TRUE(numbers[3]->getRetainCount() == 3 && numbers[4]->getRetainCount() == 5);
    copy->removeObject("n11"), copy->removeObject("missing"), copy->removeObject(own(OSString::withCString("n0")));
    EXPECT_TRUE(copy->getCount() == 10 && copy->getObject("n10") == numbers[10] && !copy->getObject("n0"));
    EXPECT_EQ(numbers[0]->getRetainCount(), 2);
    EXPECT_FALSE(
        copy->setObject(static_cast<const char*>(nullptr), numbers[0]) || OSDictionary::withDictionary(nullptr));
    const int count = kOSBooleanTrue->getRetainCount(); // the booleans never end
    kOSBooleanTrue->release();
    EXPECT_TRUE(kOSBooleanTrue->getRetainCount() == count && OSBoolean::withBoolean(false)->isFalse());
}

class IOServiceTest : public ::testing::Test {
protected:
    IOServiceTest() { gEvents.clear(), provider->setName("TestRoot"); }
    ~IOServiceTest() override
    {
        EXPECT_EQ(provider->getRetainCount(), 1) << "a service kept its provider";
        provider->release();
    }
    // What the daemon does for one personality: create by name, init, start; release on failure.
    IOService* startPersonality(const char* className)
    {
        OSObject* object = OSMetaClass::allocClassWithName(className);
        auto* service = OSDynamicCast<IOService>(object);
        if (service && service->init(personality) && service->start(provider))
            return service;
        OSSafeReleaseNULL(object);
        return nullptr;
    }
    static IOService* match(const char* name) // not retained: the caller holds another reference
    {
        IOService* service = IOService::copyMatchingService(name);
        return service ? service->release(), service : nullptr;
    }

    Owned own;
    IOService* provider = static_cast<IOService*>(OSMetaClass::allocClassWithName("IOService"));
    OSDictionary* personality = own(OSDictionary::withCapacity(4));
    task caller{1234, 1000, 1000};
};

TEST_F(IOServiceTest, PersonalitiesStartPublishTerminateFreeAndOpenUserClients)
{
    IOService* service = startPersonality("LifeCycleService");
    EXPECT_TRUE(service->isRegistered() && service->getProvider() == provider && provider->getRetainCount() == 2);
    IOService* found = IOService::copyMatchingService("LifeCycleService");
    EXPECT_TRUE(found == service && service->getRetainCount() == 2);
    OSSafeReleaseNULL(found);
    EXPECT_TRUE(service->terminate() && service->isInactive());
    EXPECT_FALSE(service->isRegistered() || service->getProvider() || match("LifeCycleService"));
    EXPECT_FALSE(service->terminate());
    service->registerService(); // nothing after terminate
    EXPECT_FALSE(service->isRegistered() || service->start(provider) || service->getProvider());
    service->release();
    IOService* idle = static_cast<IOService*>(OSMetaClass::allocClassWithName("LifeCycleService"));
    EXPECT_TRUE(idle->terminate()); // never started: not stopped
    idle->release();
    EXPECT_FALSE(startPersonality("NoSuchService") || startPersonality("OSString"));

    // The registry answers the oldest active service of a name; properties are a copy of the personality.
    const OSObject* value = own(OSSymbol::withCString("value"));
    personality->setObject("Key", value);
    IOService* first = startPersonality("LifeCycleService");
    IOService* second = startPersonality("LifeCycleService");
    personality->removeObject("Key");
    EXPECT_EQ(match("LifeCycleService"), first);
    first->terminate();
    EXPECT_TRUE(match("LifeCycleService") == second && match(nullptr) == nullptr);
    OSObject* copy = second->copyProperty("Key");
    EXPECT_TRUE(copy == value && second->getProperty("Key") == value && value->getRetainCount() == 4);
    OSSafeReleaseNULL(copy);
    EXPECT_FALSE(second->copyProperty("Missing"));
    second->release(); // let go while published: it leaves the registry, unfound on its way
    first->release();
    EXPECT_TRUE(match("LifeCycleService") == nullptr && value->getRetainCount() == 1);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"stop TestRoot", "free", "free", "stop TestRoot", "free", "free"}));

    service = startPersonality("LifeCycleService"); // refusals to open a user client
    for (const char* className : {"", "OSString", "IOUserClient"}) { // named none, no user client, abstract
        service->setProperty(kIOUserClientClassKey, own(OSSymbol::withCString(className)));
        IOUserClient* client = reinterpret_cast<IOUserClient*>(&caller); // stale: must be cleared
        EXPECT_TRUE(service->newUserClient(&caller, nullptr, 0, nullptr, &client) == kIOReturnUnsupported && !client);
    }
    EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, nullptr), kIOReturnBadArgument);
    service->terminate();
    IOUserClient* client = nullptr;
    EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, &client), kIOReturnNotAttached);
    service->release();
}

} // namespace
} // namespace vennix
