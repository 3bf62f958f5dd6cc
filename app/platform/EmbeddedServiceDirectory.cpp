#include "platform/EmbeddedServiceDirectory.h"

#include "platform/EmbeddedServiceConnection.h"

#include "host/PlatformBackends.h"
#include "host/ServiceSet.h"
#include "kext/platform/IOService.h"
#include "kext/platform/IOUserClient.h"

#include <unistd.h>

namespace qarn {

namespace {

class EmbeddedMatchedService final : public MatchedService {
public:
    EmbeddedMatchedService(vennix::IOService* service, std::shared_ptr<void> owner)
        : fService(service)
        , fOwner(std::move(owner))
    {
    }

    ~EmbeddedMatchedService() override
    {
        if (fService)
            fService->release();
    }

    std::unique_ptr<ServiceConnection> open(uint32_t type, IOReturn* result) override
    {
        auto answer = [&](IOReturn value) {
            if (result)
                *result = value;
        };
        if (fService == nullptr) {
            answer(vennix::kIOReturnNotOpen); // already opened once
            return nullptr;
        }
        auto task = std::make_unique<vennix::task>();
        task->pid = getpid();
        task->uid = getuid();
        task->gid = getgid();
        vennix::IOUserClient* client = nullptr;
        const IOReturn opened = fService->newUserClient(task.get(), nullptr, type, nullptr, &client);
        answer(opened);
        if (opened != vennix::kIOReturnSuccess || client == nullptr)
            return nullptr;
        fService->release();
        fService = nullptr;
        return std::make_unique<EmbeddedServiceConnection>(client, std::move(task), fOwner);
    }

private:
    vennix::IOService* fService;
    std::shared_ptr<void> fOwner;
};

} // namespace

namespace {

// The simulated layers and the services started on them; the services go first.
struct SimulatedServices {
    std::unique_ptr<vennix::PlatformBackends> backends;
    std::unique_ptr<vennix::ServiceSet> services;
};

} // namespace

std::shared_ptr<EmbeddedServiceDirectory> EmbeddedServiceDirectory::simulated(std::string* why)
{
    auto owner = std::make_shared<SimulatedServices>();
    owner->backends = vennix::PlatformBackends::simulated();
    if (owner->backends)
        owner->services = vennix::ServiceSet::start(owner->backends->hardware(), owner->backends->clock(),
                                                    owner->backends->acpi());
    if (!owner->services) {
        if (why)
            *why = "the simulated CPU service could not be started";
        return nullptr;
    }
    const vennix::ServiceSet& set = *owner->services;
    return std::make_shared<EmbeddedServiceDirectory>(owner, set, "simulated processor, served in this process");
}

EmbeddedServiceDirectory::EmbeddedServiceDirectory(std::shared_ptr<void> owner, const vennix::ServiceSet& set,
                                                   std::string description)
    : fOwner(std::move(owner))
    , fSet(set)
    , fDescription(std::move(description))
{
}

std::unique_ptr<MatchedService> EmbeddedServiceDirectory::getMatchingService(const std::string& name,
                                                                             std::string* why)
{
    vennix::IOService* service = fSet.copyService(name.c_str());
    if (service == nullptr) {
        if (why)
            *why = "no service " + name + " in this process";
        return nullptr;
    }
    return std::make_unique<EmbeddedMatchedService>(service, fOwner);
}

std::string EmbeddedServiceDirectory::description() const
{
    return fDescription;
}

} // namespace qarn
