#pragma once
// The four services of the CPU service, created from their personalities and started on one
// platform device; vennixd serves them on its socket, the monitor embeds them in-process.
//
// Destroying the set terminates and releases the services in reverse order (their "free"
// lines), then the platform device. Connections to the services must be closed first.

#include "kext/platform/Clock.h"
#include "kext/platform/CPUHardware.h"

#include <memory>
#include <vector>

namespace vennix {

class ACPIPlatform;
class IOPlatformDevice;
class IOService;

class ServiceSet {
public:
    // Links and registers the service classes, then creates, initialises and starts each
    // personality's service on a platform device for these layers (not owned; they must
    // outlive the set). Null, with a log line, when a service cannot be created or started;
    // those already started are freed again.
    static std::unique_ptr<ServiceSet> start(CPUHardware* hardware, Clock* clock = &Clock::system(),
                                             ACPIPlatform* acpi = nullptr);

    ~ServiceSet();
    ServiceSet(const ServiceSet&) = delete;
    ServiceSet& operator=(const ServiceSet&) = delete;

    // The service created for that class name, not retained; null for any other name.
    IOService* service(const char* className) const;
    // The active service of this set published under name, retained for the caller; null
    // when there is none. Looks in this set only, never in the process's registry, so that two
    // sets in one process never answer each other's clients.
    IOService* copyService(const char* name) const;
    IOPlatformDevice* platformDevice() const { return fPlatform; }

private:
    ServiceSet() = default;

    IOPlatformDevice* fPlatform = nullptr;
    std::vector<IOService*> fServices; // in start order
};

} // namespace vennix
