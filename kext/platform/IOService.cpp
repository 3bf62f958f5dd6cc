#include "kext/platform/IOService.h"

#include "kext/platform/IOUserClient.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace vennix {

OSDefineMetaClassAndStructors(IOService, OSObject)

namespace {

// Published services, oldest first. The entries are not references: a service leaves the
// table in terminate() or, at the latest, in free(). Never destroyed, so that services may
// still end during the program's exit.
struct ServiceRegistry {
    std::mutex lock;
    std::vector<IOService*> services;
};

ServiceRegistry& registry()
{
    static ServiceRegistry* const table = new ServiceRegistry;
    return *table;
}

} // namespace

bool IOService::init(OSDictionary* dictionary)
{
    if (!OSObject::init())
        return false;
    OSDictionary* properties =
        dictionary ? OSDictionary::withDictionary(dictionary) : OSDictionary::withCapacity(4);
    if (properties == nullptr)
        return false;
    std::lock_guard<std::mutex> hold(fLock);
    if (fProperties)
        fProperties->release();
    fProperties = properties;
    return true;
}

bool IOService::start(IOService* provider)
{
    if (isInactive())
        return false;
    std::lock_guard<std::mutex> hold(fLock);
    if (fProvider == nullptr && provider != nullptr) {
        provider->retain();
        fProvider = provider;
    }
    fStarted = true;
    return true;
}

void IOService::stop(IOService* provider) {}

void IOService::registerService(IOOptionBits options)
{
    ServiceRegistry& table = registry();
    std::lock_guard<std::mutex> hold(table.lock);
    // Checked under the registry's lock so that a terminate on another thread either sees the
    // entry and removes it, or keeps it from being made.
    if (fPublished || isInactive())
        return;
    try {
        table.services.push_back(this);
    } catch (...) {
        return;
    }
    fPublished = true;
}

bool IOService::isRegistered() const
{
    std::lock_guard<std::mutex> hold(registry().lock);
    return fPublished;
}

void IOService::unpublishLocked()
{
    if (!fPublished)
        return;
    std::vector<IOService*>& services = registry().services;
    auto it = std::find(services.begin(), services.end(), this);
    if (it != services.end())
        services.erase(it);
    fPublished = false;
}

bool IOService::terminate(IOOptionBits options)
{
    {
        // Marked inactive and unpublished in one step: registerService cannot slip in between.
        std::lock_guard<std::mutex> hold(registry().lock);
        if (fInactive.exchange(true, std::memory_order_acq_rel))
            return false;
        unpublishLocked();
    }

    IOService* provider;
    bool started;
    {
        std::lock_guard<std::mutex> hold(fLock);
        provider = fProvider;
        started = fStarted;
        fProvider = nullptr;
        fStarted = false;
    }
    if (started)
        stop(provider);
    if (provider)
        provider->release();
    return true;
}

const char* IOService::getName() const
{
    return fName ? fName->getCStringNoCopy() : getClassName();
}

void IOService::setName(const char* name)
{
    const OSSymbol* symbol = OSSymbol::withCString(name);
    const OSSymbol* old;
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        old = fName;
        fName = symbol;
    }
    if (old)
        old->release();
}

IOService* IOService::getProvider() const
{
    std::lock_guard<std::mutex> hold(fLock);
    return fProvider;
}

OSObject* IOService::getProperty(const char* key) const
{
    std::lock_guard<std::mutex> hold(fLock);
    return fProperties ? fProperties->getObject(key) : nullptr;
}

OSObject* IOService::copyProperty(const char* key) const
{
    std::lock_guard<std::mutex> hold(fLock);
    OSObject* value = fProperties ? fProperties->getObject(key) : nullptr;
    if (value)
        value->retain();
    return value;
}

bool IOService::setProperty(const char* key, const OSObject* value)
{
    std::lock_guard<std::mutex> hold(fLock);
    // A service set up with OSObject::init() alone gets its table on first use.
    if (fProperties == nullptr && (fProperties = OSDictionary::withCapacity(4)) == nullptr)
        return false;
    return fProperties->setObject(key, value);
}

void IOService::removeProperty(const char* key)
{
    std::lock_guard<std::mutex> hold(fLock);
    if (fProperties)
        fProperties->removeObject(key);
}

IOReturn IOService::newUserClient(task* owningTask, void* securityID, uint32_t type,
                                  OSDictionary* properties, IOUserClient** handler)
{
    if (handler == nullptr)
        return kIOReturnBadArgument;
    *handler = nullptr;
    if (isInactive())
        return kIOReturnNotAttached;

    OSObject* classProperty = copyProperty(kIOUserClientClassKey);
    const OSString* className = OSDynamicCast<OSString>(classProperty);
    OSObject* object =
        className ? OSMetaClass::allocClassWithName(className->getCStringNoCopy()) : nullptr;
    OSSafeReleaseNULL(classProperty);

    IOUserClient* client = OSDynamicCast<IOUserClient>(object);
    if (client == nullptr) {
        OSSafeReleaseNULL(object);
        return kIOReturnUnsupported;
    }
    if (!client->initWithTask(owningTask, securityID, type, properties)) {
        client->release();
        return kIOReturnBadArgument;
    }
    if (!client->start(this)) {
        client->release();
        return kIOReturnError;
    }
    *handler = client;
    return kIOReturnSuccess;
}

IOService* IOService::copyMatchingService(const char* name)
{
    if (name == nullptr)
        return nullptr;
    ServiceRegistry& table = registry();
    std::lock_guard<std::mutex> hold(table.lock);
    for (IOService* service : table.services) {
        const char* serviceName =
            service->fName ? service->fName->getCStringNoCopy() : service->getClassName();
        if (std::strcmp(serviceName, name) != 0 || service->isInactive())
            continue;
        // A service whose count already reached 0 is being freed: it is not there any more.
        if (service->tryRetain())
            return service;
    }
    return nullptr;
}

void IOService::free()
{
    const OSSymbol* name;
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        unpublishLocked();
        name = fName;
        fName = nullptr;
    }
    IOService* provider;
    OSDictionary* properties;
    {
        std::lock_guard<std::mutex> hold(fLock);
        provider = fProvider;
        properties = fProperties;
        fProvider = nullptr;
        fProperties = nullptr;
    }
    OSSafeReleaseNULL(provider);
    OSSafeReleaseNULL(properties);
    OSSafeReleaseNULL(name);
    OSObject::free();
}

} // namespace vennix
