#pragma once
// An open connection to a service of vennixd: each call is one packet each way.

#include "platform/ServiceConnection.h"
#include "platform/ServiceSocket.h"

#include <memory>
#include <mutex>

namespace qarn {

class SocketServiceConnection final : public ServiceConnection {
public:
    explicit SocketServiceConnection(std::unique_ptr<ServiceSocket> socket);
    ~SocketServiceConnection() override;

    void close() override;
    bool isOpen() const override;

protected:
    IOReturn perform(MethodCall& call) override;

private:
    // Calls from several threads on one connection take turns: a request and its answer must
    // not interleave with another's on the socket.
    mutable std::mutex fLock;
    std::unique_ptr<ServiceSocket> fSocket;
    std::vector<uint8_t> fRequest;
};

} // namespace qarn
