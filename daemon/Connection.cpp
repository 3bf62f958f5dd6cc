#include "daemon/Connection.h"

#include "kext/platform/IOLog.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vennix {

using namespace protocol;

Connection::Connection(int socket, const AccessControl::Peer& peer, const AccessControl& access)
    : fSocket(socket)
    , fPeer(peer)
    , fAccess(access)
{
    fTask.pid = peer.pid;
    fTask.uid = peer.uid;
    fTask.gid = peer.gid;
}

Connection::~Connection()
{
    closeClient();
    OSSafeReleaseNULL(fService);
    if (fSocket >= 0)
        ::close(fSocket);
}

void Connection::run(std::chrono::milliseconds openTimeout)
{
    if (fSocket < 0)
        return;
    fBuffer.resize(kMaxPacketSize);
    size_t length = 0;
    bool truncated = false;
    const auto openDeadline = std::chrono::steady_clock::now() + openTimeout;
    while (receive(length, truncated, openDeadline)) {
        const Packet reply = handle(Bytes(fBuffer.data(), length), truncated);
        if (!send(reply))
            break;
    }
    // The client went away (or the daemon is stopping): nothing it opened outlives it.
    closeClient();
    OSSafeReleaseNULL(fService);
    fBuffer = Packet();
}

void Connection::shutdown()
{
    if (fSocket >= 0)
        ::shutdown(fSocket, SHUT_RDWR);
}

bool Connection::receive(size_t& length, bool& truncated, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        if (!isOpen()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd waiting{fSocket, POLLIN, 0};
            const int ready = left.count() > 0 ? ::poll(&waiting, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
        }
        // MSG_TRUNC: the packet's real length, even where it did not fit.
        const ssize_t got = ::recv(fSocket, fBuffer.data(), fBuffer.size(), MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0) {
            // An empty packet and the end of the connection both read as 0; only the end
            // leaves the socket hung up.
            pollfd state{fSocket, POLLRDHUP, 0};
            const int ready = ::poll(&state, 1, 0);
            if (ready < 0 || (ready > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))))
                return false;
        }
        truncated = static_cast<size_t>(got) > fBuffer.size();
        length = std::min(static_cast<size_t>(got), fBuffer.size());
        return true;
    }
}

bool Connection::send(const Packet& packet)
{
    for (;;) {
        // MSG_NOSIGNAL: a client that vanished costs its connection, not the daemon.
        const ssize_t sent = ::send(fSocket, packet.data(), packet.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        return sent == static_cast<ssize_t>(packet.size());
    }
}

Packet Connection::handle(Bytes packet, bool truncated)
{
    const uint32_t type = messageType(packet);
    if (truncated || packet.size() > kMaxPacketSize)
        return refusal(type);
    switch (type) {
    case kMatch:
        return match(packet);
    case kOpen:
        return open(packet);
    case kCall:
        return call(packet);
    default:
        return refusal(type);
    }
}

Packet Connection::refusal(uint32_t type)
{
    switch (type) {
    case kMatch:
        return encodeMatchReply(false);
    case kOpen:
        return encodeOpenReply(kIOReturnBadArgument);
    case kCall:
        return encodeCallReply(kIOReturnBadArgument, nullptr, 0, nullptr, 0);
    default:
        return encodeErrorReply(kIOReturnBadArgument);
    }
}

Packet Connection::match(Bytes packet)
{
    // One socket, one service: once a connection is open its service stays.
    if (fClient != nullptr)
        return encodeMatchReply(false);
    OSSafeReleaseNULL(fService);
    const std::optional<std::string> name = decodeMatch(packet);
    if (name)
        fService = IOService::copyMatchingService(name->c_str());
    return encodeMatchReply(fService != nullptr);
}

Packet Connection::open(Bytes packet)
{
    const std::optional<uint32_t> type = decodeOpen(packet);
    if (!type)
        return encodeOpenReply(kIOReturnBadArgument);

    const AccessControl::Rights rights = fAccess.rightsOf(fPeer);
    if (!rights.mayOpen) {
        IOLog("vennixd/ uid %u (pid %d) may not open a connection\n",
              static_cast<unsigned>(fPeer.uid), static_cast<int>(fPeer.pid));
        return encodeOpenReply(kIOReturnNotPermitted);
    }
    if (fService == nullptr)
        return encodeOpenReply(kIOReturnNotAttached);
    if (fClient != nullptr)
        return encodeOpenReply(kIOReturnBadArgument);

    IOUserClient* client = nullptr;
    const IOReturn result = fService->newUserClient(&fTask, &fTask, *type, nullptr, &client);
    if (result != kIOReturnSuccess) {
        OSSafeReleaseNULL(client);
        return encodeOpenReply(result);
    }
    fClient = client;
    fMayWrite = rights.mayWrite;
    return encodeOpenReply(kIOReturnSuccess);
}

Packet Connection::call(Bytes packet)
{
    if (fClient == nullptr)
        return encodeCallReply(kIOReturnNotAttached, nullptr, 0, nullptr, 0);
    std::optional<CallRequest> request = decodeCall(packet);
    if (!request)
        return refusal(kCall);
    if (AccessControl::isWriteSelector(request->selector) && !fMayWrite)
        return encodeCallReply(kIOReturnNotPrivileged, nullptr, 0, nullptr, 0);

    uint64_t scalarOutput[kMaxScalarCount] = {};
    const uint32_t scalarCapacity = request->scalarOutputCapacity; // at most kMaxScalarCount
    // The caller's buffer as it stands: what the call does not write goes back unchanged.
    std::vector<uint8_t>& output = request->structureOutput;
    IOExternalMethodArguments arguments = IOExternalMethodArguments::inlineCall(
        request->selector, request->scalarInput.data(), static_cast<uint32_t>(request->scalarInput.size()),
        request->structureInput.data(), request->structureInput.size(), scalarOutput, scalarCapacity,
        output.data(), output.size());
    const uint32_t outputCapacity = arguments.structureOutputSize;

    const IOReturn result = fClient->externalMethod(request->selector, &arguments);

    const uint32_t scalarCount = std::min(arguments.scalarOutputCount, scalarCapacity);
    const uint32_t outputSize = std::min(arguments.structureOutputSize, outputCapacity);
    return encodeCallReply(result, scalarOutput, scalarCount, output.data(), outputSize);
}

void Connection::closeClient()
{
    if (fClient == nullptr)
        return;
    fClient->clientClose();
    OSSafeReleaseNULL(fClient);
    fMayWrite = false;
}

} // namespace vennix
