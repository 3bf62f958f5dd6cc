#include "platform/EmbeddedServiceConnection.h"

#include "daemon/Protocol.h"

namespace qarn {

namespace protocol = vennix::protocol;

EmbeddedServiceConnection::EmbeddedServiceConnection(vennix::IOUserClient* client,
                                                     std::unique_ptr<vennix::task> task,
                                                     std::shared_ptr<void> owner)
    : fClient(client)
    , fTask(std::move(task))
    , fOwner(std::move(owner))
{
}

EmbeddedServiceConnection::~EmbeddedServiceConnection()
{
    close();
}

IOReturn EmbeddedServiceConnection::callMethod(uint32_t selector, const uint64_t* scalarInput,
                                               uint32_t scalarInputCount,
                                               const void* structureInput,
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

    vennix::IOExternalMethodArguments arguments;
    arguments.selector = selector;
    arguments.scalarInput = scalarInputCount ? scalarInput : nullptr;
    arguments.scalarInputCount = scalarInputCount;
    if (structureInputSize > 0 && structureInputSize <= protocol::kMaxStructureSize) {
        arguments.structureInput = structureInput;
        arguments.structureInputSize = static_cast<uint32_t>(structureInputSize);
    }
    arguments.scalarOutput = scalarCapacity ? scalarOutput : nullptr;
    arguments.scalarOutputCount = scalarCapacity;
    if (structureCapacity > 0 && structureCapacity <= protocol::kMaxStructureSize) {
        arguments.structureOutput = structureOutput;
        arguments.structureOutputSize = static_cast<uint32_t>(structureCapacity);
    }

    vennix::IOUserClient* client;
    {
        std::lock_guard<std::mutex> lock(fLock);
        client = fClient;
        if (client == nullptr)
            return refuse(vennix::kIOReturnNotOpen);
        client->retain();
    }
    const IOReturn result = client->externalMethod(selector, &arguments);
    client->release();

    // Never report more than the room the caller gave.
    if (scalarOutputCount)
        *scalarOutputCount = std::min(arguments.scalarOutputCount, scalarCapacity);
    if (structureOutputSize)
        *structureOutputSize = std::min<size_t>(arguments.structureOutputSize,
                                                arguments.structureOutput ? structureCapacity : 0);
    return result;
}

void EmbeddedServiceConnection::close()
{
    vennix::IOUserClient* client;
    {
        std::lock_guard<std::mutex> lock(fLock);
        client = fClient;
        fClient = nullptr;
    }
    if (client != nullptr) {
        client->clientClose();
        client->release();
    }
}

bool EmbeddedServiceConnection::isOpen() const
{
    std::lock_guard<std::mutex> lock(fLock);
    return fClient != nullptr;
}

} // namespace qarn
