#pragma once
// The base of the CPU service's services, with the life cycle the service classes expect:
//
//   alloc (count 1) -> init(dictionary) -> start(provider) -> registerService() ...
//   ... -> terminate() (unpublished, stop(provider)) -> release() -> free()
//
// A failed init or start is answered by releasing the object; a service that is freed is
// unpublished on the way, even when nobody terminated it.
//
// Published services are found by name with copyMatchingService. The registry does not own
// them: it answers a service only while someone else holds a reference, and never one that is
// already on its way to free(). Registry operations are thread-safe.

#include "protocol/IOReturn.h"
#include "kext/platform/OSObject.h"

#include <atomic>
#include <mutex>

namespace vennix {

class IOUserClient;
class OSDictionary;
class OSSymbol;
struct task;

// The property of a service's personality that names the class of its user clients.
inline constexpr const char* kIOUserClientClassKey = "IOUserClientClass";

class IOService : public OSObject {
    OSDeclareDefaultStructors(IOService)

public:
    // Sets the service up with a copy of dictionary (the personality) as its properties; the
    // caller keeps its dictionary. False when memory runs out.
    virtual bool init(OSDictionary* dictionary = nullptr);

    // Attaches the service to provider (null for a service at the root), retaining it until
    // the service terminates or is freed. False once the service has terminated. Subclasses
    // call their base's start first.
    virtual bool start(IOService* provider);
    // Undoes start; called by terminate. The base does nothing.
    virtual void stop(IOService* provider);

    // Publishes the service in the registry under its name. Repeated calls, and calls after
    // terminate, change nothing.
    void registerService(IOOptionBits options = 0);
    bool isRegistered() const;

    // Unpublishes the service, stops it (if it started) and lets its provider go. True on the
    // first call, false when it had already terminated. The caller's reference stays its own.
    bool terminate(IOOptionBits options = 0);
    bool isInactive() const { return fInactive.load(std::memory_order_acquire); }

    // The name the service is published and matched under: the class's registered name unless
    // setName gave another. Set the name before publishing; the text returned stays valid
    // until the next setName.
    const char* getName() const;
    void setName(const char* name);

    // The provider given to start, not retained for the caller; null before start and after
    // terminate.
    IOService* getProvider() const;

    // Properties. getProperty's answer is not retained: use copyProperty (a retained
    // reference, or null) where another thread may change the property.
    OSObject* getProperty(const char* key) const;
    OSObject* copyProperty(const char* key) const;
    bool setProperty(const char* key, const OSObject* value);
    void removeProperty(const char* key);

    // Opens a connection: creates the user client named by the property kIOUserClientClassKey,
    // initialises it with initWithTask and starts it on this service. On success *handler
    // holds the client (one reference, the caller's). Answers kIOReturnUnsupported when the
    // service names no user-client class, kIOReturnNotAttached after terminate,
    // kIOReturnBadArgument when initWithTask refuses, kIOReturnError when start does.
    virtual IOReturn newUserClient(task* owningTask, void* securityID, uint32_t type,
                                   OSDictionary* properties, IOUserClient** handler);

    // The oldest published, active service of that name, retained for the caller; null when
    // there is none.
    static IOService* copyMatchingService(const char* name);

protected:
    // Unpublishes the service and drops its provider, properties and name.
    void free() override;

private:
    // Caller holds the registry's lock.
    void unpublishLocked();

    mutable std::mutex fLock; // guards fProvider, fStarted, fProperties
    IOService* fProvider = nullptr;
    bool fStarted = false;
    OSDictionary* fProperties = nullptr;
    const OSSymbol* fName = nullptr; // guarded by the registry's lock once set
    bool fPublished = false;         // guarded by the registry's lock
    std::atomic<bool> fInactive{false};
};

} // namespace vennix
