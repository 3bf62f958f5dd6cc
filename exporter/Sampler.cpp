#include "exporter/Sampler.h"

#include "telemetry/MSRFields.h"

#include <algorithm>
#include <cmath>

namespace qarn {

namespace {

using msr::bits;

// The bus clock the ratios multiply: MPERF counts at base ratio x 100 MHz while a CPU runs.
constexpr double kBusHertz = 100e6;

} // namespace

Sampler::Sampler(Opener open) : fOpen(std::move(open)) {}

Sample Sampler::read()
{
    if (!fCPU && fOpen)
        fCPU = fOpen();
    if (!fCPU)
        return {};
    const bool simulated = fCPU->isSimulated();
    fReadings.read(*fCPU, static_cast<uint32_t>(std::max(fCPU->numberOfCPUs(), 0)));
    Sample sample;
    if (fReadings.state() == CPUReadings::State::kRead)
        sample = take(fReadings.local(), fReadings.each());
    else if (fReadings.state() == CPUReadings::State::kFailed)
        fCPU.reset(); // a dead connection (vennixd restarted) is opened afresh next time
    sample.simulated = simulated;
    return sample;
}

Sample Sampler::take(const MSRBatch& local, const MSRBatch& each)
{
    Sample sample;
    if (local.cpus() != 1)
        return sample;
    const CPUReadings::Figures figures = CPUReadings::figures(local, each, fMetrics);
    sample.packageCelsius = figures.packageCelsius;
    sample.coreVolts = figures.coreVolts;

    const uint32_t cpus = std::min(each.cpus(), kMaxCPUs);
    if (cpus == 0)
        return sample;
    for (uint32_t n = 0; n < cpus; ++n) {
        if (const auto celsius = fMetrics.coreTemperature(n))
            sample.coreCelsius.push_back({n, *celsius});
    }

    // The interval figures compare with the previous round; the first has none.
    const bool interval = fHavePrevious && cpus == fPreviousCPUs;
    if (interval && figures.packageWatts) {
        sample.packageWatts = figures.packageWatts;
        fJoules += fMetrics.lastJoules();
    }
    if (interval) {
        const double base = static_cast<double>(bits(local.value(0, CPUReadings::kPlatformInfo), 15, 8));
        const double seconds = each.time() - fPreviousTime;
        for (uint32_t n = 0; n < cpus && base > 0; ++n) {
            const auto [aDelta, mDelta] = fMetrics.counterSteps(n);
            sample.multiplier.push_back({n, msr::ranRatio(base, aDelta, mDelta)});
            if (seconds > 0)
                sample.busy.push_back({n, std::clamp(mDelta / (seconds * base * kBusHertz), 0.0, 1.0)});
        }
    }
    // No energy unit (bits 12:8 read 0): the processor gives no energy figures at all.
    if (figures.packageWatts)
        sample.packageJoules = fJoules;

    fHavePrevious = true;
    fPreviousCPUs = cpus;
    fPreviousTime = each.time();
    return sample;
}

} // namespace qarn
