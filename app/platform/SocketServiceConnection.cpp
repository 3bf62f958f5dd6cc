#include "platform/SocketServiceConnection.h"

#include "protocol/Protocol.h"

#include <cstring>

namespace qarn {

namespace protocol = vennix::protocol;

SocketServiceConnection::SocketServiceConnection(std::unique_ptr<ServiceSocket> socket)
    : fSocket(std::move(socket))
{
}

SocketServiceConnection::~SocketServiceConnection()
{
    close();
}

IOReturn SocketServiceConnection::perform(MethodCall& call)
{
    const uint32_t scalarRoom = call.scalarOutputCount;
    const uint32_t structureRoom = call.structureOutputSize;
    call.scalarOutputCount = 0;
    call.structureOutputSize = 0;

    std::lock_guard<std::mutex> lock(fLock);
    if (!fSocket || !fSocket->isOpen())
        return vennix::kIOReturnNotOpen;
    protocol::encodeCallInto(fRequest, call.selector, call.scalarInput, call.scalarInputCount, call.structureInput,
                             call.structureInputSize, scalarRoom, call.structureOutput, structureRoom);
    std::span<const uint8_t> answer;
    const IOReturn sent = fSocket->exchange(fRequest, &answer);
    if (sent != vennix::kIOReturnSuccess)
        return sent;

    // Read in place in the socket's buffer, copied once into the caller's.
    const std::optional<protocol::CallReplyView> reply = protocol::decodeCallReplyView(answer);
    // An answer larger than the room we gave is not ours to copy.
    if (!reply || reply->scalarOutputCount > scalarRoom || reply->structureOutput.size() > structureRoom)
        return vennix::kIOReturnIPCError;

    for (uint32_t i = 0; i < reply->scalarOutputCount; ++i)
        call.scalarOutput[i] = reply->scalar(i);
    if (!reply->structureOutput.empty())
        std::memcpy(call.structureOutput, reply->structureOutput.data(), reply->structureOutput.size());
    call.scalarOutputCount = reply->scalarOutputCount;
    call.structureOutputSize = static_cast<uint32_t>(reply->structureOutput.size());
    return reply->result;
}

void SocketServiceConnection::close()
{
    std::lock_guard<std::mutex> lock(fLock);
    fSocket.reset();
}

bool SocketServiceConnection::isOpen() const
{
    std::lock_guard<std::mutex> lock(fLock);
    return fSocket && fSocket->isOpen();
}

} // namespace qarn
