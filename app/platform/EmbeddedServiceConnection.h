#pragma once
// An open connection to a service in this process: calls go straight to its user client's
// externalMethod, with the same limits as the socket (structures above 4096 bytes count as
// missing, at most 16 scalars each way).

#include "platform/ServiceConnection.h"

#include "kext/platform/IOUserClient.h"

#include <memory>
#include <mutex>

namespace qarn {

class EmbeddedServiceConnection final : public ServiceConnection {
public:
    // Takes over the caller's reference to client; owner keeps the services alive.
    EmbeddedServiceConnection(vennix::IOUserClient* client, std::unique_ptr<vennix::task> task,
                              std::shared_ptr<void> owner);
    ~EmbeddedServiceConnection() override;

    IOReturn callMethod(uint32_t selector, const uint64_t* scalarInput, uint32_t scalarInputCount,
                        const void* structureInput, size_t structureInputSize,
                        uint64_t* scalarOutput, uint32_t* scalarOutputCount,
                        void* structureOutput, size_t* structureOutputSize) override;
    void close() override;
    bool isOpen() const override;

private:
    mutable std::mutex fLock; // guards fClient against a close during a call
    vennix::IOUserClient* fClient;
    std::unique_ptr<vennix::task> fTask;
    std::shared_ptr<void> fOwner;
};

} // namespace qarn
