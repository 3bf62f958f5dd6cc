#include "platform/SocketServiceDirectory.h"

#include "protocol/Protocol.h"
#include "platform/ServiceSocket.h"
#include "platform/SocketServiceConnection.h"

#include <cstdlib>

namespace qarn {

namespace protocol = vennix::protocol;

namespace {

class SocketMatchedService final : public MatchedService {
public:
    explicit SocketMatchedService(std::unique_ptr<ServiceSocket> socket) : fSocket(std::move(socket)) {}

    std::unique_ptr<ServiceConnection> open(uint32_t type, IOReturn* result) override
    {
        auto answer = [&](IOReturn value) {
            if (result)
                *result = value;
        };
        if (!fSocket) {
            answer(vennix::kIOReturnNotOpen); // already opened once
            return nullptr;
        }
        std::span<const uint8_t> reply;
        IOReturn sent = fSocket->exchange(protocol::encodeOpen(type), &reply);
        if (sent != vennix::kIOReturnSuccess) {
            answer(sent);
            return nullptr;
        }
        const std::optional<IOReturn> opened = protocol::decodeOpenReply(reply);
        if (!opened) {
            answer(vennix::kIOReturnIPCError);
            return nullptr;
        }
        answer(*opened);
        if (*opened != vennix::kIOReturnSuccess)
            return nullptr;
        return std::make_unique<SocketServiceConnection>(std::move(fSocket));
    }

private:
    std::unique_ptr<ServiceSocket> fSocket;
};

} // namespace

SocketServiceDirectory::SocketServiceDirectory(std::string path) : fPath(std::move(path)) {}

std::string SocketServiceDirectory::defaultPath()
{
    const char* fromEnvironment = std::getenv(protocol::kSocketPathVariable);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0')
        return fromEnvironment;
    return protocol::kDefaultSocketPath;
}

std::unique_ptr<MatchedService> SocketServiceDirectory::getMatchingService(const std::string& name,
                                                                           std::string* why)
{
    if (name.empty() || name.size() > protocol::kMaxServiceNameLength
        || name.find('\0') != std::string::npos) {
        if (why)
            *why = "bad service name";
        return nullptr;
    }
    std::unique_ptr<ServiceSocket> socket = ServiceSocket::connect(fPath, why);
    if (!socket)
        return nullptr;
    std::span<const uint8_t> reply;
    const IOReturn sent = socket->exchange(protocol::encodeMatch(name), &reply);
    if (sent != vennix::kIOReturnSuccess) {
        if (why)
            *why = "vennixd at " + fPath + ": " + describeIOReturn(sent);
        return nullptr;
    }
    const std::optional<bool> found = protocol::decodeMatchReply(reply);
    if (!found || !*found) {
        if (why)
            *why = found ? "vennixd at " + fPath + " has no service " + name
                         : "vennixd at " + fPath + " answered something unreadable";
        return nullptr;
    }
    return std::make_unique<SocketMatchedService>(std::move(socket));
}

std::string SocketServiceDirectory::description() const
{
    return "vennixd at " + fPath;
}

} // namespace qarn
