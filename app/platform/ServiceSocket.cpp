#include "platform/ServiceSocket.h"

#include "protocol/Protocol.h"

#include <cerrno>
#include <cstring>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qarn {

std::unique_ptr<ServiceSocket> ServiceSocket::connect(const std::string& path, std::string* why)
{
    auto fail = [&](const std::string& text) {
        if (why)
            *why = text;
        return nullptr;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return fail("bad socket path '" + path + "'");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int descriptor = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return fail(std::string("cannot create a socket: ") + std::strerror(errno));
    int result;
    do
        result = ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
    while (result < 0 && errno == EINTR);
    if (result < 0) {
        const int error = errno;
        ::close(descriptor);
        std::string text = "cannot connect to " + path + ": " + std::strerror(error);
        if (error == ENOENT || error == ECONNREFUSED)
            text += " (is vennixd running?)";
        return fail(text);
    }
    // Answers are awaited in recv itself, so a call costs two system calls, not three.
    const timeval timeout{static_cast<time_t>(kAnswerTimeout.count() / 1000),
                          static_cast<suseconds_t>(kAnswerTimeout.count() % 1000 * 1000)};
    if (setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        const int error = errno;
        ::close(descriptor);
        return fail(std::string("cannot set the answer time-out: ") + std::strerror(error));
    }
    return std::unique_ptr<ServiceSocket>(new ServiceSocket(descriptor));
}

ServiceSocket::~ServiceSocket()
{
    close();
}

void ServiceSocket::close()
{
    if (fDescriptor >= 0)
        ::close(fDescriptor);
    fDescriptor = -1;
}

vennix::IOReturn ServiceSocket::exchange(const std::vector<uint8_t>& request,
                                         std::span<const uint8_t>* answer)
{
    if (fDescriptor < 0)
        return vennix::kIOReturnNotOpen;
    ssize_t sent;
    do
        sent = ::send(fDescriptor, request.data(), request.size(), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) {
        close();
        return vennix::kIOReturnIPCError;
    }

    // One byte more than the largest packet, so that an over-long answer shows as truncated.
    fBuffer.resize(vennix::protocol::kMaxPacketSize + 1);
    ssize_t received;
    do
        received = ::recv(fDescriptor, fBuffer.data(), fBuffer.size(), 0);
    while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        close();
        return vennix::kIOReturnTimeout;
    }
    if (received <= 0 || static_cast<size_t>(received) > vennix::protocol::kMaxPacketSize) {
        *answer = {};
        close();
        return vennix::kIOReturnIPCError;
    }
    *answer = std::span<const uint8_t>(fBuffer.data(), static_cast<size_t>(received));
    return vennix::kIOReturnSuccess;
}

} // namespace qarn
