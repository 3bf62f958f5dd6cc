#pragma once
// How the monitor reaches the CPU service's services: over vennixd's socket, or to services
// embedded in this process (the simulated demo). Chosen once at start-up; the code above it
// finds a service by name, opens it and calls its methods the same way on either.
//
//   auto service = directory.getMatchingService("Vennix");   // IOServiceGetMatchingService
//   auto connection = service->open(0, &result);              // IOServiceOpen
//   connection->callStructMethod(...);                         // IOConnectCallStructMethod

#include "platform/ServiceConnection.h"

#include <memory>
#include <string>

namespace qarn {

// A service found by name, not yet opened. One service opens at most one connection.
class MatchedService {
public:
    virtual ~MatchedService() = default;
    // Opens a user-client connection of the given type; null with *result saying why
    // (kIOReturnNotPermitted for a user the service refuses, kIOReturnNoDevice when the
    // service went away, kIOReturnIPCError when the daemon cannot be reached).
    virtual std::unique_ptr<ServiceConnection> open(uint32_t type, IOReturn* result = nullptr) = 0;
};

class ServiceDirectory {
public:
    virtual ~ServiceDirectory() = default;

    // The published service of that name; null when there is none or the services cannot be
    // reached. *why (when given) says which, in words for a user.
    virtual std::unique_ptr<MatchedService> getMatchingService(const std::string& name,
                                                               std::string* why = nullptr) = 0;

    // Finds the service of that name and opens a connection of the given type to it: null when
    // either fails, with *result the open's IOReturn (kIOReturnNoDevice when there is no such
    // service) and *why the reason in words.
    std::unique_ptr<ServiceConnection> openService(const std::string& name, uint32_t type = 0,
                                                   IOReturn* result = nullptr, std::string* why = nullptr);

    // Why the service of that name cannot be opened, in words for a user; empty when it can
    // (the connection it opens to find out is closed again).
    std::string explainUnavailable(const std::string& name);

    // Where the services live, for users ("vennixd at /run/vennix/vennix.sock", "embedded,
    // simulated").
    virtual std::string description() const = 0;

};

// Says what an IOReturn of a service call means, for messages to users.
std::string describeIOReturn(IOReturn result);

} // namespace qarn
