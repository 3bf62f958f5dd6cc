#include "telemetry/CPUChannel.h"

#include "protocol/IOReturn.h"
#include "telemetry/MSRFields.h"

#include <algorithm>
#include <utility>

namespace qarn {

namespace {

constexpr uint32_t kRatioBatch[] = {msr::kPlatformInfo, msr::kPerfStatus}; // 15:8 base, current ratio
constexpr uint32_t kCounterBatch[] = {msr::kAPerf, msr::kMPerf};
constexpr uint32_t kRatioCount = 2;
constexpr uint32_t kCounterCount = 2;

using msr::bits;

} // namespace

std::shared_ptr<CPUChannel> CPUChannel::with(std::shared_ptr<IntelCPU> cpu)
{
    return std::make_shared<CPUChannel>(std::move(cpu));
}

CPUChannel::CPUChannel(std::shared_ptr<IntelCPU> cpu)
    : _cpu(std::move(cpu))
{
    const int cpus = _cpu ? _cpu->numberOfCPUs() : 0;
    for (int i = 0; i < cpus && i < static_cast<int>(kMaxCPUs); ++i)
        addRow(format("Used ratio  CPU: %i", i), format("%.3f", 1.0));
}

void CPUChannel::sample()
{
    if (!_cpu || rowCount() == 0)
        return;

    if (_cpu->getMSRs(kRatioBatch, fRatios, kRatioCount, 1) != vennix::kIOReturnSuccess || fRatios.cpus() != 1)
        return;
    const uint64_t platformInfo = fRatios.value(0, 0);
    const uint64_t perfStatus = fRatios.value(0, 1);
    if (!_cpu->isIntel() || !IntelCPU::answersMSRs(platformInfo, perfStatus)) {
        // Not a measurement: without these registers every row would show a made-up 0.
        for (size_t row = 0; row < rowCount(); ++row)
            setValue(row, IntelCPU::kNoReading);
        return;
    }
    const auto base = static_cast<double>(bits(platformInfo, 15, 8));
    const auto current = static_cast<double>(bits(perfStatus, 15, 8));

    const auto cpus = static_cast<uint32_t>(rowCount());
    if (_cpu->getMSRs(kCounterBatch, fCounters, kCounterCount, cpus) != vennix::kIOReturnSuccess)
        return;
    const uint32_t filled = std::min(fCounters.cpus(), cpus);
    // Rows of CPUs the service did not read (the record counts more threads than run) have no
    // value, rather than one frozen at their last or first.
    for (size_t row = filled; row < rowCount(); ++row)
        setValue(row, IntelCPU::kNoReading);

    // Rows go to the CPUs whose MPERF reads nonzero, in order; one that reads 0 takes no row.
    size_t next = 0;
    for (uint32_t i = 0; static_cast<int64_t>(i) < _cpu->numberOfCPUs() && i < filled; ++i) {
        const uint64_t aPerf = fCounters.value(i, 0);
        const uint64_t mPerf = fCounters.value(i, 1);
        if (mPerf == 0)
            continue;
        const double a = static_cast<double>(aPerf) - aPerfOld[i];
        const double m = static_cast<double>(mPerf) - mPerfOld[i];
        aPerfOld[i] = static_cast<double>(aPerf);
        mPerfOld[i] = static_cast<double>(mPerf);

        const double r = base != 0.0 ? msr::ranRatio(base, a, m) : current;
        setValue(next++, format("%.0f", r));
    }
}

} // namespace qarn
