#pragma once
// An open connection to a service in this process: calls go straight to its user client's
// externalMethod, with the same limits as the socket.

#include "platform/ServiceConnection.h"

#include "kext/platform/IOUserClient.h"

#include <memory>
#include <mutex>

namespace qarn {

class EmbeddedServiceConnection final : public ServiceConnection {
public:
    // Takes over the caller's reference to client; owner keeps the services alive.
    EmbeddedServiceConnection(vennix::IOUserClient* client, std::unique_ptr<vennix::task> task,
                              std::shared_ptr<void> owner);
    ~EmbeddedServiceConnection() override;

    void close() override;
    bool isOpen() const override;

protected:
    IOReturn perform(MethodCall& call) override;

private:
    mutable std::mutex fLock; // guards fClient against a close during a call
    vennix::IOUserClient* fClient;
    std::unique_ptr<vennix::task> fTask;
    std::shared_ptr<void> fOwner;
};

} // namespace qarn
