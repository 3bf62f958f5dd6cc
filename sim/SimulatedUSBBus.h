#pragma once
// The simulated USB bus: devices plugged and pulled by tests and by --simulate. Opening,
// claiming and transfers follow the kernel's rules (a claimed interface is busy for every other
// access, a pulled device answers NoDevice); the transfers themselves go to the device's
// protocol object.
//
// Arrivals and removals reach watchers on the thread that plugs or pulls, which stands for the
// bus's event thread: a device list created on another thread sees them through its queue.

#include "platform/USBBus.h"
#include "sim/SimulatedUSBDevice.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

class SimulatedUSBBus final : public qarn::USBBus {
public:
    SimulatedUSBBus();
    ~SimulatedUSBBus() override;

    // Attaches the devices together (one burst of arrivals, in order); answers their ids.
    std::vector<qarn::USBDeviceId> plug(std::vector<std::shared_ptr<SimulatedUSBDevice>> devices);
    qarn::USBDeviceId plug(std::shared_ptr<SimulatedUSBDevice> device);
    // Detaches a device: its accesses answer NoDevice from now on. Unknown ids change nothing.
    void pull(qarn::USBDeviceId id);

    const char* description() const override { return "simulated bus"; }
    bool isSimulated() const override { return true; }
    qarn::USBStatus availability() const override { return qarn::USBStatus::Success; }
    std::vector<qarn::USBDeviceId> deviceIds() override;
    std::unique_ptr<qarn::USBDeviceAccess> access(qarn::USBDeviceId id) override;
    std::unique_ptr<qarn::USBWatch> watch(EventHandler handler) override;

    struct State; // shared with accesses and watches, which may outlive the bus object

private:
    std::shared_ptr<State> fState;
};

} // namespace sim
