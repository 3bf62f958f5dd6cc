// The service life cycle as the daemon's personality table drives it, the registry of
// published services, user-client creation, and the recursive lock on one thread.

#include "kext/platform/IOLog.h"
#include "kext/platform/IORecursiveLock.h"
#include "kext/platform/IOService.h"
#include "kext/platform/IOUserClient.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace vennix {
namespace {

std::vector<std::string> gEvents;

// Writes what the platform does to it into gEvents; the personality may make init or start
// fail ("FailInit", "FailStart").
class LifeCycleService : public IOService {
    OSDeclareDefaultStructors(LifeCycleService)

public:
    bool init(OSDictionary* dictionary = nullptr) override
    {
        gEvents.push_back("init");
        if (dictionary && dictionary->getObject("FailInit") == kOSBooleanTrue)
            return false;
        return IOService::init(dictionary);
    }

    bool start(IOService* provider) override
    {
        gEvents.push_back("start");
        const bool started = IOService::start(provider);
        registerService();
        return started && getProperty("FailStart") != kOSBooleanTrue;
    }

    void stop(IOService* provider) override
    {
        gEvents.push_back(std::string("stop ") + (provider ? provider->getName() : "null"));
        IOService::stop(provider);
    }

protected:
    void free() override
    {
        gEvents.push_back("free");
        IOService::free();
    }
};

OSDefineMetaClassAndStructors(LifeCycleService, IOService)

// A user client that refuses tasks it is not given and providers that are not
// LifeCycleServices, and answers selector 7 through the base class's dispatch.
class TestUserClient : public IOUserClient {
    OSDeclareDefaultStructors(TestUserClient)

public:
    bool initWithTask(task* owningTask, void* securityToken, unsigned int type,
                      OSDictionary* properties) override
    {
        if (owningTask == nullptr || !IOUserClient::initWithTask(owningTask, securityToken,
                                                                 type, properties))
            return false;
        fTask = owningTask;
        fType = type;
        return true;
    }

    bool start(IOService* provider) override
    {
        if (!IOUserClient::start(provider))
            return false;
        if (OSDynamicCast<LifeCycleService>(provider) == nullptr) {
            IOUserClient::stop(provider);
            return false;
        }
        registerService();
        return true;
    }

    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch, OSObject* target,
                            void* reference) override
    {
        if (selector != 7)
            return kIOReturnBadArgument;
        IOExternalMethodDispatch seven{&TestUserClient::doubleIt, 1, 0, 1, 0};
        return IOUserClient::externalMethod(selector, arguments, &seven, nullptr, nullptr);
    }

    static IOReturn doubleIt(OSObject* target, void*, IOExternalMethodArguments* arguments)
    {
        if (OSDynamicCast<TestUserClient>(target) == nullptr)
            return kIOReturnError;
        arguments->scalarOutput[0] = arguments->scalarInput[0] * 2;
        return kIOReturnSuccess;
    }

    task* fTask = nullptr;
    unsigned int fType = 0;
};

OSDefineMetaClassAndStructors(TestUserClient, IOUserClient)

// Looks itself up while it is being freed, before the base class unpublishes it.
class DyingService : public IOService {
    OSDeclareDefaultStructors(DyingService)

public:
    static inline int gFoundWhileFreeing = -1;

protected:
    void free() override
    {
        IOService* found = copyMatchingService("DyingService");
        gFoundWhileFreeing = found != nullptr;
        OSSafeReleaseNULL(found);
        IOService::free();
    }
};

OSDefineMetaClassAndStructors(DyingService, IOService)

class IOServiceTest : public ::testing::Test {
protected:
    IOServiceTest()
    {
        gEvents.clear();
        provider = static_cast<IOService*>(OSMetaClass::allocClassWithName("IOService"));
        provider->init();
        provider->setName("TestRoot");
        personality = OSDictionary::withCapacity(4);
    }

    ~IOServiceTest() override
    {
        personality->release();
        EXPECT_EQ(provider->getRetainCount(), 1) << "a service kept its provider";
        provider->release();
    }

    // What the daemon does for one personality: create by name, init, start; release on
    // failure.
    IOService* startPersonality(const char* className)
    {
        OSObject* object = OSMetaClass::allocClassWithName(className);
        IOService* service = OSDynamicCast<IOService>(object);
        if (service == nullptr) {
            OSSafeReleaseNULL(object);
            return nullptr;
        }
        if (!service->init(personality) || !service->start(provider)) {
            service->release();
            return nullptr;
        }
        return service;
    }

    IOService* provider;
    OSDictionary* personality;
};

TEST_F(IOServiceTest, PersonalityStartsPublishesTerminatesAndFrees)
{
    IOService* service = startPersonality("LifeCycleService");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->getProvider(), provider);
    EXPECT_EQ(provider->getRetainCount(), 2);
    EXPECT_TRUE(service->isRegistered());

    IOService* found = IOService::copyMatchingService("LifeCycleService");
    EXPECT_EQ(found, service);
    EXPECT_EQ(service->getRetainCount(), 2);
    OSSafeReleaseNULL(found);

    EXPECT_TRUE(service->terminate());
    EXPECT_TRUE(service->isInactive());
    EXPECT_FALSE(service->isRegistered());
    EXPECT_EQ(service->getProvider(), nullptr);
    EXPECT_EQ(IOService::copyMatchingService("LifeCycleService"), nullptr);
    // Once only.
    EXPECT_FALSE(service->terminate());

    service->release();
    EXPECT_EQ(gEvents, (std::vector<std::string>{"init", "start", "stop TestRoot", "free"}));
}

TEST_F(IOServiceTest, FailedInitIsReleasedWithoutStart)
{
    personality->setObject("FailInit", kOSBooleanTrue);
    EXPECT_EQ(startPersonality("LifeCycleService"), nullptr);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"init", "free"}));
}

TEST_F(IOServiceTest, FailedStartIsUnpublishedWhenItIsReleased)
{
    // The service publishes itself even when its start fails; releasing it must not leave a
    // dangling entry behind.
    personality->setObject("FailStart", kOSBooleanTrue);
    EXPECT_EQ(startPersonality("LifeCycleService"), nullptr);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"init", "start", "free"}));
    EXPECT_EQ(IOService::copyMatchingService("LifeCycleService"), nullptr);
}

TEST_F(IOServiceTest, AServiceOnItsWayToFreeIsNotFound)
{
    // Between the last release and the unpublishing a lookup must not hand the dying
    // service out again.
    IOService* service = startPersonality("DyingService");
    ASSERT_NE(service, nullptr);
    service->registerService();
    ASSERT_TRUE(service->isRegistered());
    service->release();
    EXPECT_EQ(DyingService::gFoundWhileFreeing, 0);
    EXPECT_EQ(IOService::copyMatchingService("DyingService"), nullptr);
}

TEST_F(IOServiceTest, UnknownOrNonServiceClassesAreNotStarted)
{
    EXPECT_EQ(startPersonality("NoSuchService"), nullptr);
    EXPECT_EQ(startPersonality("OSString"), nullptr);
    EXPECT_TRUE(gEvents.empty());
}

TEST_F(IOServiceTest, PropertiesAreACopyOfThePersonality)
{
    OSString* className = OSString::withCString("TestUserClient");
    personality->setObject("IOUserClientClass", className);
    IOService* service = startPersonality("LifeCycleService");
    ASSERT_NE(service, nullptr);

    personality->removeObject("IOUserClientClass");
    EXPECT_EQ(service->getProperty("IOUserClientClass"), className);
    OSNumber* number = OSNumber::withNumber(4, 32);
    EXPECT_TRUE(service->setProperty("Count", number));
    EXPECT_EQ(personality->getObject("Count"), nullptr);
    OSObject* copy = service->copyProperty("Count");
    EXPECT_EQ(copy, number);
    EXPECT_EQ(number->getRetainCount(), 3);
    OSSafeReleaseNULL(copy);
    service->removeProperty("Count");
    EXPECT_EQ(service->getProperty("Count"), nullptr);
    EXPECT_EQ(service->copyProperty("Missing"), nullptr);

    service->terminate();
    service->release();
    EXPECT_EQ(className->getRetainCount(), 1);
    EXPECT_EQ(number->getRetainCount(), 1);
    className->release();
    number->release();
}

TEST_F(IOServiceTest, ServiceMadeWithoutADictionaryStillTakesProperties)
{
    IOService* bare = static_cast<IOService*>(OSMetaClass::allocClassWithName("IOService"));
    ASSERT_TRUE(bare->init());
    EXPECT_TRUE(bare->setProperty("Key", kOSBooleanFalse));
    EXPECT_EQ(bare->getProperty("Key"), kOSBooleanFalse);
    bare->release();
}

TEST_F(IOServiceTest, NamesDefaultToTheClassAndCanBeChanged)
{
    IOService* service = startPersonality("LifeCycleService");
    ASSERT_NE(service, nullptr);
    EXPECT_STREQ(service->getName(), "LifeCycleService");

    service->setName("Renamed");
    EXPECT_STREQ(service->getName(), "Renamed");
    EXPECT_STREQ(service->getClassName(), "LifeCycleService");
    EXPECT_EQ(IOService::copyMatchingService("LifeCycleService"), nullptr);
    IOService* found = IOService::copyMatchingService("Renamed");
    EXPECT_EQ(found, service);
    OSSafeReleaseNULL(found);
    EXPECT_EQ(IOService::copyMatchingService(nullptr), nullptr);

    service->terminate();
    service->release();
}

TEST_F(IOServiceTest, MatchingAnswersTheOldestActiveServiceOfAName)
{
    IOService* first = startPersonality("LifeCycleService");
    IOService* second = startPersonality("LifeCycleService");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    IOService* found = IOService::copyMatchingService("LifeCycleService");
    EXPECT_EQ(found, first);
    OSSafeReleaseNULL(found);

    first->terminate();
    found = IOService::copyMatchingService("LifeCycleService");
    EXPECT_EQ(found, second);
    OSSafeReleaseNULL(found);

    // A published service that its owner lets go without terminating leaves the registry.
    second->release();
    EXPECT_EQ(IOService::copyMatchingService("LifeCycleService"), nullptr);
    first->release();
}

TEST_F(IOServiceTest, NothingIsPublishedOrStoppedAfterTerminate)
{
    IOService* service = static_cast<IOService*>(
        OSMetaClass::allocClassWithName("LifeCycleService"));
    ASSERT_TRUE(service->init(nullptr));
    // Never started: terminate does not stop it.
    EXPECT_TRUE(service->terminate());
    service->registerService();
    EXPECT_FALSE(service->isRegistered());
    EXPECT_FALSE(service->start(provider));
    EXPECT_EQ(service->getProvider(), nullptr);
    service->release();
    EXPECT_EQ(gEvents, (std::vector<std::string>{"init", "start", "free"}));
}

TEST_F(IOServiceTest, NewUserClientCreatesTheClassThePersonalityNames)
{
    OSString* className = OSString::withCString("TestUserClient");
    personality->setObject("IOUserClientClass", className);
    className->release();
    IOService* service = startPersonality("LifeCycleService");
    ASSERT_NE(service, nullptr);

    task caller{1234, 1000, 1000};
    IOUserClient* client = nullptr;
    ASSERT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, &client), kIOReturnSuccess);
    ASSERT_NE(client, nullptr);
    auto* testClient = OSDynamicCast<TestUserClient>(client);
    ASSERT_NE(testClient, nullptr);
    EXPECT_EQ(testClient->fTask, &caller);
    EXPECT_EQ(client->getProvider(), service);
    EXPECT_EQ(client->getRetainCount(), 1);
    IOService* published = IOService::copyMatchingService("TestUserClient");
    EXPECT_EQ(published, client);
    OSSafeReleaseNULL(published);

    // A call through the base class's dispatch.
    uint64_t in = 21;
    uint64_t out = 0;
    IOExternalMethodArguments arguments;
    arguments.selector = 7;
    arguments.scalarInput = &in;
    arguments.scalarInputCount = 1;
    arguments.scalarOutput = &out;
    arguments.scalarOutputCount = 1;
    EXPECT_EQ(client->externalMethod(7, &arguments, nullptr, nullptr, nullptr), kIOReturnSuccess);
    EXPECT_EQ(out, 42u);

    // Closing terminates the client; the opener then releases it.
    EXPECT_EQ(client->clientClose(), kIOReturnSuccess);
    EXPECT_TRUE(client->isInactive());
    EXPECT_EQ(IOService::copyMatchingService("TestUserClient"), nullptr);
    client->release();

    service->terminate();
    service->release();
}

TEST_F(IOServiceTest, NewUserClientRefusals)
{
    IOService* service = startPersonality("LifeCycleService");
    ASSERT_NE(service, nullptr);
    task caller;
    // Stale contents of the caller's variable must not survive a refusal.
    TestUserClient* stale = static_cast<TestUserClient*>(
        OSMetaClass::allocClassWithName("TestUserClient"));
    IOUserClient* client = stale;

    // No user-client class named.
    EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, &client),
              kIOReturnUnsupported);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, nullptr),
              kIOReturnBadArgument);
    stale->release();

    // A class that exists but is no user client.
    OSString* notAClient = OSString::withCString("OSString");
    service->setProperty("IOUserClientClass", notAClient);
    notAClient->release();
    EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, &client),
              kIOReturnUnsupported);

    // The client refuses the task.
    const OSSymbol* testClient = OSSymbol::withCString("TestUserClient");
    service->setProperty("IOUserClientClass", testClient);
    testClient->release();
    EXPECT_EQ(service->newUserClient(nullptr, nullptr, 0, nullptr, &client),
              kIOReturnBadArgument);
    EXPECT_EQ(client, nullptr);

    // The client refuses the provider: it is freed and nothing stays published.
    IOService* plain = static_cast<IOService*>(OSMetaClass::allocClassWithName("IOService"));
    plain->init();
    plain->setProperty("IOUserClientClass", testClient);
    EXPECT_EQ(plain->newUserClient(&caller, nullptr, 0, nullptr, &client), kIOReturnError);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(plain->getRetainCount(), 1);
    EXPECT_EQ(IOService::copyMatchingService("TestUserClient"), nullptr);
    plain->release();

    // A terminated service opens nothing.
    service->terminate();
    EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, &client), kIOReturnNotAttached);
    service->release();
}

TEST_F(IOServiceTest, BaseDispatchChecksCountsAndSizes)
{
    TestUserClient* client = static_cast<TestUserClient*>(
        OSMetaClass::allocClassWithName("TestUserClient"));
    task caller;
    ASSERT_TRUE(client->initWithTask(&caller, nullptr, 0, nullptr));

    uint64_t in[2] = {1, 2};
    uint64_t out = 0;
    IOExternalMethodArguments arguments;
    arguments.scalarInput = in;
    arguments.scalarInputCount = 2;
    arguments.scalarOutput = &out;
    arguments.scalarOutputCount = 1;
    EXPECT_EQ(client->externalMethod(7, &arguments, nullptr, nullptr, nullptr),
              kIOReturnBadArgument);
    EXPECT_EQ(client->externalMethod(8, &arguments, nullptr, nullptr, nullptr),
              kIOReturnBadArgument);
    EXPECT_EQ(out, 0u);

    // Straight to the base: no dispatch, or no arguments.
    EXPECT_EQ(client->IOUserClient::externalMethod(0, &arguments), kIOReturnUnsupported);
    EXPECT_EQ(client->IOUserClient::externalMethod(0, nullptr), kIOReturnBadArgument);
    char structure[12] = {};
    arguments.scalarInputCount = 0;
    arguments.scalarOutputCount = 0;
    arguments.structureOutput = structure;
    arguments.structureOutputSize = sizeof structure;
    auto fill = [](OSObject*, void* reference, IOExternalMethodArguments* a) -> IOReturn {
        std::memset(a->structureOutput, *static_cast<char*>(reference), a->structureOutputSize);
        return kIOReturnSuccess;
    };
    char marker = 'v';
    IOExternalMethodDispatch anySize{fill, 0, 0, 0, kIOUCVariableStructureSize};
    EXPECT_EQ(client->IOUserClient::externalMethod(0, &arguments, &anySize, nullptr, &marker),
              kIOReturnSuccess);
    EXPECT_EQ(structure[11], 'v');
    IOExternalMethodDispatch exactly8{fill, 0, 0, 0, 8};
    EXPECT_EQ(client->IOUserClient::externalMethod(0, &arguments, &exactly8, nullptr, &marker),
              kIOReturnBadArgument);
    client->release();
}

TEST(IORecursiveLockTest, TheHolderMayTakeItAgain)
{
    IORecursiveLock* lock = IORecursiveLockAlloc();
    ASSERT_NE(lock, nullptr);
    EXPECT_FALSE(IORecursiveLockHaveLock(lock));
    IORecursiveLockLock(lock);
    EXPECT_TRUE(IORecursiveLockTryLock(lock));
    IORecursiveLockLock(lock);
    EXPECT_TRUE(IORecursiveLockHaveLock(lock));
    IORecursiveLockUnlock(lock);
    IORecursiveLockUnlock(lock);
    EXPECT_TRUE(IORecursiveLockHaveLock(lock));
    IORecursiveLockUnlock(lock);
    EXPECT_FALSE(IORecursiveLockHaveLock(lock));
    // One unlock too many is ignored rather than corrupting the lock.
    IORecursiveLockUnlock(lock);
    EXPECT_TRUE(IORecursiveLockTryLock(lock));
    IORecursiveLockUnlock(lock);
    IORecursiveLockFree(lock);

    // A null lock is never taken.
    IORecursiveLockLock(nullptr);
    EXPECT_FALSE(IORecursiveLockTryLock(nullptr));
    EXPECT_FALSE(IORecursiveLockHaveLock(nullptr));
    IORecursiveLockUnlock(nullptr);
    IORecursiveLockFree(nullptr);
}

} // namespace
} // namespace vennix
