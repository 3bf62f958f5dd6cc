#pragma once
// A client end of vennixd's socket for tests: raw packets and the protocol's three exchanges.
// Every receive gives up after kReceiveTimeoutSeconds, so that a daemon that never answers
// fails a test instead of hanging it.

#include "protocol/Protocol.h"

#include <cstdio>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vennix::testing {

class TestSocket {
public:
    static constexpr int kReceiveTimeoutSeconds = 30;

    // An unconnected one fails every exchange.
    explicit TestSocket(const std::string& path)
    {
        const timeval timeout{kReceiveTimeoutSeconds, 0};
        sockaddr_un address{AF_UNIX, {}};
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        setsockopt(fSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::connect(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~TestSocket() { ::close(fSocket); }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    int fd() const { return fSocket; }
    bool sendPacket(const void* data, size_t size) { return send(fSocket, data, size, MSG_NOSIGNAL) == ssize_t(size); }
    bool sendPacket(const protocol::Packet& packet) { return sendPacket(packet.data(), packet.size()); }
    // The next packet; nothing on end of connection, error or time-out.
    std::optional<protocol::Packet> receive()
    {
        protocol::Packet packet(protocol::kMaxPacketSize);
        const ssize_t got = recv(fSocket, packet.data(), packet.size(), 0);
        packet.resize(static_cast<size_t>(std::max<ssize_t>(got, 0)));
        return got > 0 ? std::optional(std::move(packet)) : std::nullopt;
    }
    std::optional<protocol::Packet> exchange(const protocol::Packet& packet)
    {
        return sendPacket(packet) ? receive() : std::nullopt;
    }
    std::optional<bool> match(const std::string& name)
    {
        const auto reply = exchange(protocol::encodeMatch(name));
        return reply ? protocol::decodeMatchReply(*reply) : std::nullopt;
    }
    std::optional<IOReturn> open(uint32_t type = 0)
    {
        const auto reply = exchange(protocol::encodeOpen(type));
        return reply ? protocol::decodeOpenReply(*reply) : std::nullopt;
    }
    std::optional<protocol::CallReply> call(const protocol::CallRequest& request)
    {
        const auto reply = exchange(protocol::encodeCall(request));
        return reply ? protocol::decodeCallReply(*reply) : std::nullopt;
    }

private:
    int fSocket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
};

} // namespace vennix::testing
