#include "platform/EmbeddedServiceConnection.h"

namespace qarn {

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

IOReturn EmbeddedServiceConnection::perform(MethodCall& call)
{
    vennix::IOUserClient* client;
    {
        std::lock_guard<std::mutex> lock(fLock);
        client = fClient;
        if (client == nullptr) {
            call.scalarOutputCount = 0;
            call.structureOutputSize = 0;
            return vennix::kIOReturnNotOpen;
        }
        client->retain();
    }
    const IOReturn result = client->externalMethod(call.selector, &call);
    client->release();
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
