#pragma once
// The liquid cooler's figures for the exporter: the monitor's own cooler owner (CoolerController)
// on the real USB bus, or on the simulated one with a simulated Kraken X31. Reading a Kraken
// takes a control cycle, so the cooler is driven as the monitor and qarnctl drive it, from the
// curves stored in the monitor's preferences; while the monitor holds it, it counts as absent.

#include "exporter/Sampler.h"
#include "platform/MainQueue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace qarn {

class CoolerController;
class USBBus;

class CoolerWatch {
public:
    struct Sources {
        // The package temperature in whole °C the curves act on, and (simulated) the power the
        // processor puts into the loop, in W.
        std::function<std::optional<int64_t>()> cpuTemperature;
        std::function<double()> heatWatts;
    };

    // queue: run by the creating thread, which hears of arrivals and removals through it.
    CoolerWatch(bool simulate, MainQueue& queue, Sources sources);
    ~CoolerWatch();

    // The figures of the last control cycle; nothing while no cooler is driven. Any thread.
    std::optional<CoolerReading> reading() const;

private:
    std::shared_ptr<USBBus> fBus;
    std::unique_ptr<CoolerController> fController;
};

} // namespace qarn
