#include "daemon/Connection.h"

#include "protocol/AccessorTypes.h"

#include <algorithm>
#include <cstring>

namespace vennix {

using namespace protocol;

Connection::Connection(const AccessControl::Peer& peer, AccessControl::Rights rights, ReaderPolicy& policy)
    : fPeer(peer)
    , fRights(rights)
    , fPolicy(policy)
{
    fTask.pid = peer.pid;
    fTask.uid = peer.uid;
    fTask.gid = peer.gid;
}

Connection::~Connection()
{
    closeClient();
    OSSafeReleaseNULL(fService);
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
    const std::optional<std::string> name = decodeMatch(packet);
    // Whether a service (or a user client, while a session is open) exists is nothing a peer
    // that may not open needs to know: one answer for every name.
    if (!fRights.mayOpen)
        return encodeMatchReply(name.has_value());
    // One socket, one service: once a connection is open its service stays.
    if (fClient != nullptr)
        return encodeMatchReply(false);
    OSSafeReleaseNULL(fService);
    if (name)
        fService = IOService::copyMatchingService(name->c_str());
    return encodeMatchReply(fService != nullptr);
}

Packet Connection::open(Bytes packet)
{
    const std::optional<uint32_t> type = decodeOpen(packet);
    if (!type)
        return encodeOpenReply(kIOReturnBadArgument);
    if (!fRights.mayOpen) {
        fRefused = true;
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
    return encodeOpenReply(kIOReturnSuccess);
}

IOReturn Connection::readerCheck(const CallView& request)
{
    // Root, and everyone when the daemon allows writes, may read what they like.
    if (fRights.mayWrite)
        return kIOReturnSuccess;
    const Bytes input = request.structureInput;
    if (request.selector == kAccessorMethodGetMSRs && input.size() >= MSRBatchRequest::kHeaderSize
        && input.size() <= kMaxStructureSize) {
        const uint32_t count = readU32(input.data(), 0);
        // A request that does not hold its MSRs is the user client's to refuse.
        if (input.size() < MSRBatchRequest::size(count))
            return kIOReturnSuccess;
        for (uint32_t i = 0; i < count; ++i) {
            if (!fPolicy.mayReadMSR(MSRBatchRequest::msrAt(input.data(), i)))
                return kIOReturnNotPrivileged;
        }
    }
    if ((request.selector == kAccessorMethodGetValueOnDevice || request.selector == kAccessorMethodCheckValueOnDevice)
        && !input.empty() && input.size() <= kMaxStructureSize) {
        const auto* text = reinterpret_cast<const char*>(input.data());
        const auto* keyEnd = static_cast<const char*>(std::memchr(text, '\0', input.size()));
        if (keyEnd == nullptr)
            return kIOReturnSuccess;
        const char* path = keyEnd + 1;
        const size_t rest = input.size() - static_cast<size_t>(path - text);
        const auto* pathEnd = static_cast<const char*>(std::memchr(path, '\0', rest));
        if (pathEnd == nullptr)
            return kIOReturnSuccess;
        if (!fPolicy.mayEvaluate(std::string_view(path, static_cast<size_t>(pathEnd - path)),
                                 std::string_view(text, static_cast<size_t>(keyEnd - text))))
            return kIOReturnNotPrivileged;
    }
    return kIOReturnSuccess;
}

Packet Connection::call(Bytes packet)
{
    if (fClient == nullptr)
        return encodeCallReply(kIOReturnNotAttached, nullptr, 0, nullptr, 0);
    // Read in place: the request's structures stay in the packet they came in.
    const std::optional<CallView> request = decodeCallView(packet);
    if (!request)
        return refusal(kCall);
    if (AccessControl::isWriteSelector(request->selector) && !fRights.mayWrite)
        return encodeCallReply(kIOReturnNotPrivileged, nullptr, 0, nullptr, 0);
    if (readerCheck(*request) != kIOReturnSuccess)
        return encodeCallReply(kIOReturnNotPrivileged, nullptr, 0, nullptr, 0);

    uint64_t scalarInput[kMaxScalarCount];
    for (uint32_t i = 0; i < request->scalarInputCount; ++i)
        scalarInput[i] = request->scalar(i);
    uint64_t scalarOutput[kMaxScalarCount] = {};
    const uint32_t scalarCapacity = request->scalarOutputCapacity; // at most kMaxScalarCount

    // The reply is built around the call: the caller's output buffer, as it stands, is copied
    // once to where the reply carries it, and the method writes there; what it does not write
    // goes back unchanged.
    const size_t outputAt = kCallReplyHeaderSize + 8 * size_t{scalarCapacity};
    Packet reply(outputAt + request->structureOutput.size());
    std::memcpy(reply.data() + outputAt, request->structureOutput.data(), request->structureOutput.size());
    IOExternalMethodArguments arguments = IOExternalMethodArguments::inlineCall(
        request->selector, scalarInput, request->scalarInputCount, request->structureInput.data(),
        request->structureInput.size(), scalarOutput, scalarCapacity, reply.data() + outputAt,
        request->structureOutput.size());
    const uint32_t outputCapacity = arguments.structureOutputSize;

    const IOReturn result = fClient->externalMethod(request->selector, &arguments);

    const uint32_t scalarCount = std::min(arguments.scalarOutputCount, scalarCapacity);
    const uint32_t outputSize = std::min(arguments.structureOutputSize, outputCapacity);
    uint8_t* output = reply.data() + outputAt;
    if (result == kIOReturnSuccess && request->selector == kAccessorMethodGetMSRs && fPeer.uid != 0
        && outputSize >= MSRBatchResult::kHeaderSize) {
        const uint32_t count = readU32(output, 0);
        const uint32_t rows = readU32(output, 4);
        const Bytes input = request->structureInput;
        if (MSRBatchResult::size(count, rows) <= outputSize && MSRBatchRequest::size(count) <= input.size()) {
            std::vector<uint32_t> msrs(count);
            for (uint32_t i = 0; i < count; ++i)
                msrs[i] = MSRBatchRequest::msrAt(input.data(), i);
            fPolicy.limitEnergy(fPeer.uid, msrs, output + MSRBatchResult::kHeaderSize, rows);
        }
    }
    // The header, the scalars the method produced, and the output moved up behind them.
    writeU32(reply.data(), 0, kCall);
    writeU32(reply.data(), 4, static_cast<uint32_t>(result));
    writeU32(reply.data(), 8, scalarCount);
    writeU32(reply.data(), 12, outputSize);
    for (uint32_t i = 0; i < scalarCount; ++i)
        writeU64(reply.data(), kCallReplyHeaderSize + 8 * size_t{i}, scalarOutput[i]);
    const size_t outputTo = kCallReplyHeaderSize + 8 * size_t{scalarCount};
    if (outputTo != outputAt)
        std::memmove(reply.data() + outputTo, output, outputSize);
    reply.resize(outputTo + outputSize);
    return reply;
}

void Connection::closeClient()
{
    if (fClient == nullptr)
        return;
    fClient->clientClose();
    OSSafeReleaseNULL(fClient);
}

} // namespace vennix
