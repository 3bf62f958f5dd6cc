#include "telemetry/CPUMetrics.h"

#include "telemetry/MSRFields.h"

#include <algorithm>
#include <cmath>

namespace qarn {

using msr::bits;

namespace {

uint32_t cpusOf(const MSRBatch& batch)
{
    return std::min(batch.cpus(), CPUMetrics::kMaxCPUs);
}

} // namespace

// The readout counts degrees below the TCC activation temperature (bits 23:16). A
// temperature-control offset (bits 29:24) lowers the point where throttling starts, not the
// scale the readout is given against, so it plays no part here; Linux's coretemp and turbostat
// read it the same way.
int64_t CPUMetrics::temperature(uint64_t temperatureTarget, uint64_t thermStatus)
{
    const auto target = static_cast<int64_t>(bits(temperatureTarget, 23, 16));
    const auto readout = static_cast<int64_t>(bits(thermStatus, 22, 16));
    return target - readout;
}

bool CPUMetrics::readingValid(uint64_t thermStatus)
{
    return bits(thermStatus, 31, 31) != 0;
}

void CPUMetrics::sampleFrequencies(double base, double turbo, const MSRBatch& batch, uint32_t perfStatus,
                                   uint32_t aPerf, uint32_t mPerf)
{
    const uint32_t c = cpusOf(batch);
    double sum = 0.0;
    for (uint32_t n = 0; n < c; ++n) {
        const uint64_t a = batch.value(n, aPerf);
        const uint64_t m = batch.value(n, mPerf);
        const double aDelta = static_cast<double>(a - fAPerfOld[n]);
        const double mDelta = static_cast<double>(m - fMPerfOld[n]);
        fAPerfOld[n] = a;
        fMPerfOld[n] = m;
        fAPerfStep[n] = aDelta;
        fMPerfStep[n] = mDelta;
        const double r = base > 0 && fRatio[n] > 1.0 ? msr::ranRatio(base, aDelta, mDelta)
                                                     : static_cast<double>(bits(batch.value(n, perfStatus), 15, 8));
        sum += r;
        // Without a turbo ratio a running CPU's share of it is infinite; one that ran at no
        // ratio has no share, rather than 0/0, which would stay in the smoothing for good.
        const double share = turbo == 0.0 && r == 0.0 ? 0.0 : r / turbo;
        fRatio[n] = (10 * fRatio[n] + share) / 11;
    }
    if (c == 0)
        return;
    fLatestFrequency = sum / c;
    fRing[fNext] = fLatestFrequency;
    fNext = (fNext + 1) % kRingSize;
    fFilled = std::min(fFilled + 1, kRingSize);
}

std::pair<double, double> CPUMetrics::frequencies() const
{
    double total = 0.0;
    double maximum = 0.0;
    for (double slot : fRing) {
        total += slot;
        maximum = std::max(maximum, slot);
    }
    return {total / kRingSize, maximum};
}

std::optional<double> CPUMetrics::coreVoltage(const MSRBatch& batch, uint32_t perfStatus)
{
    const uint32_t c = cpusOf(batch);
    if (c == 0)
        return std::nullopt;
    double sum = 0.0;
    for (uint32_t n = 0; n < c; ++n)
        sum += static_cast<double>(bits(batch.value(n, perfStatus), 47, 32)) / 8192.0;
    return sum / c;
}

std::optional<CPUMetrics::CoreTemperatures> CPUMetrics::coreTemperatures(const MSRBatch& batch, uint32_t target,
                                                                         uint32_t status)
{
    const uint32_t c = cpusOf(batch);
    if (c == 0)
        return std::nullopt;
    CoreTemperatures result;
    result.cpus = c;
    double sum = 0.0;
    for (uint32_t n = 0; n < c; ++n) {
        const uint64_t thermStatus = batch.value(n, status);
        if (readingValid(thermStatus)) {
            fCoreTemp[n] = temperature(batch.value(n, target), thermStatus);
            fCoreValid[n] = true;
        }
        const auto celsius = static_cast<double>(fCoreTemp[n]);
        sum += celsius;
        result.hottest = n == 0 ? celsius : std::max(result.hottest, celsius);
        result.withoutReading += fCoreValid[n] ? 0 : 1;
    }
    result.mean = sum / c;
    return result;
}

std::optional<double> CPUMetrics::packageTemperature(uint64_t target, uint64_t status)
{
    if (readingValid(status))
        fPackageTemp = temperature(target, status);
    if (!fPackageTemp)
        return std::nullopt;
    return static_cast<double>(*fPackageTemp);
}

std::optional<double> CPUMetrics::packagePower(const MSRBatch& batch, uint32_t powerUnit, uint32_t energy)
{
    const uint32_t c = cpusOf(batch);
    if (c == 0)
        return std::nullopt;
    const double t = batch.time();
    double total = 0.0;
    double joules = 0.0;
    for (uint32_t n = 0; n < c; ++n) {
        const uint64_t counter = bits(batch.value(n, energy), 31, 0);
        const auto esu = static_cast<int>(bits(batch.value(n, powerUnit), 12, 8));
        if (esu == 0)
            return std::nullopt;
        const double unit = std::ldexp(1.0, -esu);
        // Modulo 2^32: the counter wraps past 0xFFFFFFFF.
        const auto delta = static_cast<uint32_t>(counter - fEnergy[n]);
        const double rate = t != fEnergyTime[n] ? delta / (t - fEnergyTime[n]) : 0.0;
        fEnergy[n] = counter;
        fEnergyTime[n] = t;
        total += unit * rate;
        joules += unit * delta;
    }
    fLastJoules = joules / c;
    return total / c;
}

} // namespace qarn
