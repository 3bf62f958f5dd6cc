#include "exporter/CoolerWatch.h"

#include "cooler/CoolerController.h"
#include "cooler/CoolerEnvironment.h"
#include "prefs/CoolerSettings.h"

namespace qarn {

CoolerWatch::CoolerWatch(bool simulate, MainQueue& queue, Sources sources)
{
    // The CPU figures come from the exporter's cached reading, not from a connection of the
    // cooler's own as CoolerEnvironment::make() would open.
    fBus = CoolerEnvironment::makeBus(simulate, std::move(sources.heatWatts));
    // A simulated cooler's curves never reach the real one's (qarnctl --simulate's store).
    CoolerController::Options options;
    options.cpuTemperature = std::move(sources.cpuTemperature);
    options.readSettings(CoolerSettings::standard(simulate));
    fController = std::make_unique<CoolerController>(*fBus, queue, std::move(options));
}

CoolerWatch::~CoolerWatch() = default;

std::optional<CoolerReading> CoolerWatch::reading() const
{
    const CoolerStatus status = fController->status();
    if (!status.attached || status.cycles == 0)
        return std::nullopt;
    return CoolerReading{static_cast<double>(status.fanRPM), static_cast<double>(status.pumpRPM),
                         static_cast<double>(status.liquidTemperature)};
}

} // namespace qarn
