#include "cooler/CoolerEnvironment.h"

#include "platform/LibusbBus.h"
#include "sim/SimulatedKrakenX31.h"
#include "sim/SimulatedUSBBus.h"
#include "telemetry/IntelCPU.h"

#include <cmath>
#include <mutex>

namespace qarn {

namespace {

// A connection to the CPU service made when first needed and again after a failure, so that a
// service started later is found.
class CPUSource {
public:
    explicit CPUSource(std::function<std::shared_ptr<ServiceDirectory>()> directory) : fFind(std::move(directory)) {}

    // The processor, when the service runs and reads Intel MSRs; callers hold fMutex.
    IntelCPU* cpu()
    {
        if (!fDirectory && fFind)
            fDirectory = fFind();
        if (!fCPU && fDirectory) {
            fCPU = IntelCPU::create(*fDirectory);
            fIntel = fCPU && fCPU->isIntel();
        }
        return fIntel ? fCPU.get() : nullptr;
    }

    std::mutex fMutex;

private:
    std::function<std::shared_ptr<ServiceDirectory>()> fFind;
    std::shared_ptr<ServiceDirectory> fDirectory;
    std::shared_ptr<IntelCPU> fCPU;
    bool fIntel = false;
};

} // namespace

CoolerEnvironment CoolerEnvironment::make(bool simulate, std::function<std::shared_ptr<ServiceDirectory>()> directory)
{
    CoolerEnvironment environment;
    // One directory for both sources: --simulate's embedded services start once.
    auto shared = std::make_shared<std::pair<std::mutex, std::shared_ptr<ServiceDirectory>>>();
    directory = [shared, find = std::move(directory)] {
        std::lock_guard lock(shared->first);
        if (!shared->second && find)
            shared->second = find();
        return shared->second;
    };
    auto temperatures = std::make_shared<CPUSource>(directory);
    environment.cpuTemperature = [temperatures]() -> std::optional<int64_t> {
        std::lock_guard lock(temperatures->fMutex);
        IntelCPU* cpu = temperatures->cpu();
        if (!cpu)
            return std::nullopt;
        return static_cast<int64_t>(std::lround(cpu->packageTemperature()));
    };
    std::function<double()> heat;
    if (simulate) {
        auto power = std::make_shared<CPUSource>(directory);
        heat = [power] {
            std::lock_guard lock(power->fMutex);
            IntelCPU* cpu = power->cpu();
            return cpu ? std::max(0.0, cpu->powerConsumption()) : 0.0;
        };
    }
    environment.bus = makeBus(simulate, std::move(heat));
    return environment;
}

std::shared_ptr<USBBus> CoolerEnvironment::makeBus(bool simulate, std::function<double()> heatWatts)
{
    if (!simulate)
        return LibusbBus::create();
    auto bus = std::make_shared<sim::SimulatedUSBBus>();
    bus->plug(std::make_shared<sim::SimulatedKrakenX31>(vennix::Clock::system(), std::move(heatWatts)));
    return bus;
}

} // namespace qarn
