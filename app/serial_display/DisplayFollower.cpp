#include "serial_display/DisplayFollower.h"

#include "telemetry/IntelCPU.h"
#include "telemetry/MSRFields.h"

#include <algorithm>
#include <cmath>

namespace qarn {

namespace {

// The package temperature shown as a full bar; below the idle floor the bar stays at its foot.
constexpr double kColdCelsius = 30.0;
constexpr double kHotCelsius = 100.0;

} // namespace

DisplayFollower::DisplayFollower(SparvelDevice& display, IntelCPU* cpu, Source source)
    : fDisplay(display), fCPU(cpu), fSource(source)
{
}

int64_t DisplayFollower::barFor(double share, int64_t height)
{
    if (height <= 0)
        return 0;
    const double clamped = std::clamp(share, 0.0, 1.0);
    return static_cast<int64_t>(std::lround(clamped * static_cast<double>(height - 1)));
}

SparvelDevice::Color DisplayFollower::colorFor(double share)
{
    const double clamped = std::clamp(share, 0.0, 1.0);
    return {clamped, 1.0 - clamped, 0.0};
}

std::optional<double> DisplayFollower::step()
{
    const std::optional<double> share = fSource == Source::Load ? load() : temperature();
    if (share)
        fDisplay.sendBar(barFor(*share, fDisplay.height()), colorFor(*share));
    return share;
}

std::optional<double> DisplayFollower::load()
{
    if (!fCPU || !fCPU->isIntel())
        return std::nullopt;
    static constexpr uint32_t kMSRs[] = {msr::kTimeStampCounter, msr::kMPerf};
    MSRBatch batch(2, IntelCPU::kMaxCPUs);
    const uint32_t cpus = std::min<uint32_t>(static_cast<uint32_t>(fCPU->numberOfCPUs()), IntelCPU::kMaxCPUs);
    fCPU->getMSRs(kMSRs, batch, 2, cpus);
    if (batch.cpus() == 0)
        return std::nullopt;
    const bool baseline = fLastTSC.size() == batch.cpus();
    double busy = 0;
    double total = 0;
    fLastTSC.resize(batch.cpus());
    fLastMPerf.resize(batch.cpus());
    for (uint32_t n = 0; n < batch.cpus(); ++n) {
        const uint64_t tsc = batch.value(n, 0);
        const uint64_t mperf = batch.value(n, 1);
        if (baseline && tsc > fLastTSC[n] && mperf >= fLastMPerf[n]) {
            busy += static_cast<double>(mperf - fLastMPerf[n]);
            total += static_cast<double>(tsc - fLastTSC[n]);
        }
        fLastTSC[n] = tsc;
        fLastMPerf[n] = mperf;
    }
    if (total <= 0)
        return std::nullopt;
    return std::clamp(busy / total, 0.0, 1.0);
}

std::optional<double> DisplayFollower::temperature()
{
    if (!fCPU || !fCPU->isIntel())
        return std::nullopt;
    const double celsius = fCPU->packageTemperature();
    return std::clamp((celsius - kColdCelsius) / (kHotCelsius - kColdCelsius), 0.0, 1.0);
}

} // namespace qarn
