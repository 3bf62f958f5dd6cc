#include "platform/SocketServiceConnection.h"

#include "daemon/Protocol.h"

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

IOReturn SocketServiceConnection::callMethod(uint32_t selector, const uint64_t* scalarInput,
                                             uint32_t scalarInputCount, const void* structureInput,
                                             size_t structureInputSize, uint64_t* scalarOutput,
                                             uint32_t* scalarOutputCount, void* structureOutput,
                                             size_t* structureOutputSize)
{
    const uint32_t scalarCapacity = scalarOutputCount ? *scalarOutputCount : 0;
    const size_t structureCapacity = structureOutputSize ? *structureOutputSize : 0;
    auto refuse = [&](IOReturn result) {
        if (scalarOutputCount)
            *scalarOutputCount = 0;
        if (structureOutputSize)
            *structureOutputSize = 0;
        return result;
    };
    if (scalarInputCount > protocol::kMaxScalarCount || scalarCapacity > protocol::kMaxScalarCount
        || (scalarInputCount > 0 && scalarInput == nullptr)
        || (scalarCapacity > 0 && scalarOutput == nullptr)
        || (structureInputSize > 0 && structureInput == nullptr)
        || (structureCapacity > 0 && structureOutput == nullptr))
        return refuse(vennix::kIOReturnBadArgument);
    // The daemon would treat them as missing anyway; sending them would only cost time.
    if (structureInputSize > protocol::kMaxStructureSize)
        structureInputSize = 0;
    const size_t sentCapacity = structureCapacity > protocol::kMaxStructureSize ? 0 : structureCapacity;

    std::lock_guard<std::mutex> lock(fLock);
    if (!fSocket || !fSocket->isOpen())
        return refuse(vennix::kIOReturnNotOpen);
    fRequest = protocol::encodeCall(selector, scalarInput, scalarInputCount, structureInput,
                                    structureInputSize, scalarCapacity, structureOutput, sentCapacity);
    const IOReturn sent = fSocket->exchange(fRequest, &fAnswer);
    if (sent != vennix::kIOReturnSuccess)
        return refuse(sent);

    std::optional<protocol::CallReply> reply = protocol::decodeCallReply(fAnswer);
    // An answer larger than the room we gave is not ours to copy.
    if (!reply || reply->scalarOutput.size() > scalarCapacity
        || reply->structureOutput.size() > sentCapacity)
        return refuse(vennix::kIOReturnIPCError);

    if (!reply->scalarOutput.empty())
        std::memcpy(scalarOutput, reply->scalarOutput.data(), 8 * reply->scalarOutput.size());
    if (scalarOutputCount)
        *scalarOutputCount = static_cast<uint32_t>(reply->scalarOutput.size());
    if (!reply->structureOutput.empty())
        std::memcpy(structureOutput, reply->structureOutput.data(), reply->structureOutput.size());
    if (structureOutputSize)
        *structureOutputSize = reply->structureOutput.size();
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
