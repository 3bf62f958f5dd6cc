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
    if (const auto celsius = fMetrics.packageTemperature(local.value(0, CPUReadings::kTemperatureTarget),
                                                         local.value(0, CPUReadings::kPackageThermStatus)))
        sample.packageCelsius = *celsius;

    const uint32_t cpus = std::min(each.cpus(), kMaxCPUs);
    if (cpus == 0)
        return sample;

    for (uint32_t n = 0; n < cpus; ++n) {
        const uint64_t status = each.value(n, CPUReadings::kThermStatus);
        if (CPUMetrics::readingValid(status))
            fCoreCelsius[n] = static_cast<double>(
                CPUMetrics::temperature(each.value(n, CPUReadings::kCPUTemperatureTarget), status));
        if (fCoreCelsius[n])
            sample.coreCelsius.push_back({n, *fCoreCelsius[n]});
    }

    // Parts that report no voltage in IA32_PERF_STATUS read 0 there.
    if (const auto volts = CPUMetrics::coreVoltage(each, CPUReadings::kCPUPerfStatus); volts && *volts > 0)
        sample.coreVolts = *volts;

    // Called every round so that its baseline stays the previous round; the first has none.
    const auto watts = fMetrics.packagePower(each, CPUReadings::kRaplPowerUnit, CPUReadings::kPackageEnergy);
    const bool interval = fHavePrevious && cpus == fPreviousCPUs;
    if (watts && interval)
        sample.packageWatts = *watts;

    if (interval && watts) {
        // Like the power: the mean over the CPUs' readings of the package counter, each step
        // 2^-ESU J, modulo 2^32 as the counter wraps.
        double joules = 0;
        for (uint32_t n = 0; n < cpus; ++n) {
            const auto counter = static_cast<uint32_t>(bits(each.value(n, CPUReadings::kPackageEnergy), 31, 0));
            const auto esu = static_cast<int>(bits(each.value(n, CPUReadings::kRaplPowerUnit), 12, 8));
            joules += std::ldexp(static_cast<double>(static_cast<uint32_t>(counter - fEnergy[n])), -esu);
        }
        fJoules += joules / cpus;
    }
    if (interval) {
        const double base = static_cast<double>(bits(local.value(0, CPUReadings::kPlatformInfo), 15, 8));
        const double seconds = each.time() - fPreviousTime;
        for (uint32_t n = 0; n < cpus && base > 0; ++n) {
            const auto aDelta = static_cast<double>(each.value(n, CPUReadings::kAPerf) - fAPerf[n]);
            const auto mDelta = static_cast<double>(each.value(n, CPUReadings::kMPerf) - fMPerf[n]);
            sample.multiplier.push_back({n, msr::ranRatio(base, aDelta, mDelta)});
            if (seconds > 0)
                sample.busy.push_back({n, std::clamp(mDelta / (seconds * base * kBusHertz), 0.0, 1.0)});
        }
    }
    // No energy unit (bits 12:8 read 0): the processor gives no energy figures at all.
    if (watts)
        sample.packageJoules = fJoules;

    fHavePrevious = true;
    fPreviousCPUs = cpus;
    fPreviousTime = each.time();
    for (uint32_t n = 0; n < cpus; ++n) {
        fAPerf[n] = each.value(n, CPUReadings::kAPerf);
        fMPerf[n] = each.value(n, CPUReadings::kMPerf);
        fEnergy[n] = static_cast<uint32_t>(bits(each.value(n, CPUReadings::kPackageEnergy), 31, 0));
    }
    return sample;
}

} // namespace qarn
