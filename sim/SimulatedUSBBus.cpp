#include "sim/SimulatedUSBBus.h"

#include <algorithm>

namespace sim {

using qarn::USBControlSetup;
using qarn::USBDeviceId;
using qarn::USBEvent;
using qarn::USBStatus;

struct SimulatedUSBBus::State {
    struct Attached {
        std::shared_ptr<SimulatedUSBDevice> device;
        std::map<uint8_t, const void*> claims; // interface number -> the access that holds it
    };

    std::mutex mutex;
    USBDeviceId nextId = 1;
    std::map<USBDeviceId, Attached> attached;
    uint64_t nextWatch = 1;
    std::map<uint64_t, EventHandler> handlers;

    // Held while handlers run: one call at a time, and a watch that ends waits for its call.
    std::mutex deliveryMutex;

    void deliver(USBEvent event, const std::vector<USBDeviceId>& ids)
    {
        std::lock_guard delivery(deliveryMutex);
        std::map<uint64_t, EventHandler> current;
        {
            std::lock_guard lock(mutex);
            current = handlers;
        }
        for (USBDeviceId id : ids)
            for (auto& [key, handler] : current)
                handler(event, id);
    }
};

namespace {

class Watch final : public qarn::USBWatch {
public:
    Watch(std::shared_ptr<SimulatedUSBBus::State> state, uint64_t key) : fState(std::move(state)), fKey(key) {}
    ~Watch() override
    {
        std::lock_guard delivery(fState->deliveryMutex);
        std::lock_guard lock(fState->mutex);
        fState->handlers.erase(fKey);
    }

private:
    std::shared_ptr<SimulatedUSBBus::State> fState;
    uint64_t fKey;
};

class Access final : public qarn::USBDeviceAccess {
public:
    Access(std::shared_ptr<SimulatedUSBBus::State> state, USBDeviceId id, std::shared_ptr<SimulatedUSBDevice> device)
        : fState(std::move(state)), fId(id), fDevice(std::move(device))
    {
        fDescription.vendorId = fDevice->vendorId();
        fDescription.productId = fDevice->productId();
        fDescription.numberOfConfigurations = 1;
        fDescription.busNumber = 1;
        fDescription.address = static_cast<uint8_t>(id);
        fDescription.node = "simulated bus";
    }
    ~Access() override { close(); }

    USBDeviceId id() const override { return fId; }
    const qarn::USBDeviceDescription& description() const override { return fDescription; }
    std::string productString() override { return fDevice->product(); }

    USBStatus open() override
    {
        if (!present())
            return USBStatus::NoDevice;
        const USBStatus status = fDevice->openStatus();
        if (status == USBStatus::Success)
            fOpen = true;
        return status;
    }

    void close() override
    {
        if (!fOpen)
            return;
        std::lock_guard lock(fState->mutex);
        if (auto it = fState->attached.find(fId); it != fState->attached.end())
            std::erase_if(it->second.claims, [this](const auto& claim) { return claim.second == this; });
        fOpen = false;
    }

    bool isOpen() const override { return fOpen; }

    std::vector<qarn::USBInterfaceDescription> interfaces() override
    {
        return present() ? fDevice->interfaces() : std::vector<qarn::USBInterfaceDescription>{};
    }

    USBStatus control(const USBControlSetup& setup, uint8_t* data, unsigned, uint32_t* transferred) override
    {
        if (transferred)
            *transferred = 0;
        if (const USBStatus status = usable(); status != USBStatus::Success)
            return status;
        std::lock_guard lock(fDevice->lock());
        return fDevice->control(setup, data, transferred);
    }

    USBStatus claimInterface(uint8_t number) override
    {
        if (const USBStatus status = usable(); status != USBStatus::Success)
            return status;
        const auto& interfaces = fDevice->interfaces();
        if (std::none_of(interfaces.begin(), interfaces.end(), [number](const auto& i) { return i.number == number; }))
            return USBStatus::NotFound;
        std::lock_guard lock(fState->mutex);
        auto& claims = fState->attached.at(fId).claims;
        auto [it, added] = claims.emplace(number, this);
        return added || it->second == this ? USBStatus::Success : USBStatus::Busy;
    }

    USBStatus releaseInterface(uint8_t number) override
    {
        if (const USBStatus status = usable(); status != USBStatus::Success)
            return status;
        std::lock_guard lock(fState->mutex);
        auto& claims = fState->attached.at(fId).claims;
        auto it = claims.find(number);
        if (it == claims.end() || it->second != this)
            return USBStatus::NotFound;
        claims.erase(it);
        return USBStatus::Success;
    }

    USBStatus transfer(const qarn::USBEndpointDescription& endpoint, uint8_t* data, uint32_t length, unsigned,
                       unsigned, uint32_t* transferred) override
    {
        uint32_t moved = 0;
        USBStatus status = usable();
        if (status == USBStatus::Success)
            status = claimedInterfaceHas(endpoint.address) ? USBStatus::Success : USBStatus::NotOpen;
        if (status == USBStatus::Success) {
            std::lock_guard lock(fDevice->lock());
            status = fDevice->transfer(endpoint, data, length, &moved);
        }
        if (transferred)
            *transferred = moved;
        return status;
    }

private:
    bool present() const
    {
        std::lock_guard lock(fState->mutex);
        return fState->attached.count(fId) > 0;
    }

    USBStatus usable() const
    {
        if (!fOpen)
            return USBStatus::NotOpen;
        return present() ? USBStatus::Success : USBStatus::NoDevice;
    }

    // Transfers go to endpoints of an interface this access claimed, as the kernel insists.
    bool claimedInterfaceHas(uint8_t address) const
    {
        std::lock_guard lock(fState->mutex);
        const auto& claims = fState->attached.at(fId).claims;
        for (const auto& interface : fDevice->interfaces()) {
            auto claim = claims.find(interface.number);
            if (claim == claims.end() || claim->second != this)
                continue;
            for (const auto& endpoint : interface.endpoints)
                if (endpoint.address == address)
                    return true;
        }
        return false;
    }

    std::shared_ptr<SimulatedUSBBus::State> fState;
    USBDeviceId fId;
    std::shared_ptr<SimulatedUSBDevice> fDevice;
    qarn::USBDeviceDescription fDescription;
    bool fOpen = false;
};

} // namespace

SimulatedUSBBus::SimulatedUSBBus() : fState(std::make_shared<State>()) {}

SimulatedUSBBus::~SimulatedUSBBus() = default;

std::vector<USBDeviceId> SimulatedUSBBus::plug(std::vector<std::shared_ptr<SimulatedUSBDevice>> devices)
{
    std::vector<USBDeviceId> ids;
    {
        std::lock_guard lock(fState->mutex);
        for (auto& device : devices) {
            const USBDeviceId id = fState->nextId++;
            fState->attached[id] = State::Attached{std::move(device), {}};
            ids.push_back(id);
        }
    }
    fState->deliver(USBEvent::Arrived, ids);
    return ids;
}

USBDeviceId SimulatedUSBBus::plug(std::shared_ptr<SimulatedUSBDevice> device)
{
    return plug(std::vector<std::shared_ptr<SimulatedUSBDevice>>{std::move(device)}).front();
}

void SimulatedUSBBus::pull(USBDeviceId id)
{
    {
        std::lock_guard lock(fState->mutex);
        if (fState->attached.erase(id) == 0)
            return;
    }
    fState->deliver(USBEvent::Left, {id});
}

std::vector<USBDeviceId> SimulatedUSBBus::deviceIds()
{
    std::lock_guard lock(fState->mutex);
    std::vector<USBDeviceId> ids;
    for (const auto& [id, attached] : fState->attached)
        ids.push_back(id);
    return ids;
}

std::unique_ptr<qarn::USBDeviceAccess> SimulatedUSBBus::access(USBDeviceId id)
{
    std::lock_guard lock(fState->mutex);
    auto it = fState->attached.find(id);
    if (it == fState->attached.end())
        return nullptr;
    return std::make_unique<Access>(fState, id, it->second.device);
}

std::unique_ptr<qarn::USBWatch> SimulatedUSBBus::watch(EventHandler handler)
{
    std::lock_guard lock(fState->mutex);
    const uint64_t key = fState->nextWatch++;
    fState->handlers.emplace(key, std::move(handler));
    return std::make_unique<Watch>(fState, key);
}

} // namespace sim
