#pragma once
// A client end of vennixd's socket for tests and the test client program: raw packets and the
// protocol's three exchanges. Every receive gives up after kReceiveTimeoutSeconds, so that a
// daemon that never answers fails a test instead of hanging it.

#include "protocol/Protocol.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace vennix::testing {

class TestSocket {
public:
    static constexpr int kReceiveTimeoutSeconds = 30;

    explicit TestSocket(const std::string& path)
    {
        fSocket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fSocket < 0)
            return;
        timeval timeout{kReceiveTimeoutSeconds, 0};
        setsockopt(fSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::connect(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            close();
    }

    ~TestSocket() { close(); }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    bool connected() const { return fSocket >= 0; }
    int fd() const { return fSocket; }

    void close()
    {
        if (fSocket >= 0)
            ::close(fSocket);
        fSocket = -1;
    }

    bool sendPacket(const void* bytes, size_t size)
    {
        if (fSocket < 0)
            return false;
        return ::send(fSocket, bytes, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
    }
    bool sendPacket(const protocol::Packet& packet) { return sendPacket(packet.data(), packet.size()); }

    // The next packet; nothing on end of connection, error or time-out.
    std::optional<protocol::Packet> receive()
    {
        if (fSocket < 0)
            return std::nullopt;
        protocol::Packet packet(protocol::kMaxPacketSize);
        ssize_t got;
        do
            got = ::recv(fSocket, packet.data(), packet.size(), 0);
        while (got < 0 && errno == EINTR);
        if (got <= 0)
            return std::nullopt;
        packet.resize(static_cast<size_t>(got));
        return packet;
    }

    std::optional<protocol::Packet> exchange(const protocol::Packet& packet)
    {
        if (!sendPacket(packet))
            return std::nullopt;
        return receive();
    }

    std::optional<bool> match(const std::string& name)
    {
        auto reply = exchange(protocol::encodeMatch(name));
        return reply ? protocol::decodeMatchReply(*reply) : std::nullopt;
    }

    std::optional<IOReturn> open(uint32_t type = 0)
    {
        auto reply = exchange(protocol::encodeOpen(type));
        return reply ? protocol::decodeOpenReply(*reply) : std::nullopt;
    }

    std::optional<protocol::CallReply> call(const protocol::CallRequest& request)
    {
        auto reply = exchange(protocol::encodeCall(request));
        return reply ? protocol::decodeCallReply(*reply) : std::nullopt;
    }

private:
    int fSocket = -1;
};

} // namespace vennix::testing
