#include "telemetry/PackageChannel.h"

#include "protocol/IOReturn.h"
#include "telemetry/MSRFields.h"

#include <algorithm>
#include <utility>

namespace qarn {

namespace {

// Batch order: the positions of the values in the reply.
enum : uint32_t { kCST, kTT, kPI, kTRL, kTAR, kURL, kPS, kBatchCount };
constexpr uint32_t kBatch[kBatchCount] = {
    msr::kPackageCStateConfig, msr::kTemperatureTarget, msr::kPlatformInfo,  msr::kTurboRatioLimit,
    msr::kTurboActivationRatio, msr::kUncoreRatioLimit, msr::kPerfStatus,
};

// The turbo row lists at most one ratio per byte of MSR_TURBO_RATIO_LIMIT.
constexpr int kMaxTurboRatios = 8;

using msr::bits;

long long asLL(uint64_t value)
{
    return static_cast<long long>(value);
}

} // namespace

std::shared_ptr<PackageChannel> PackageChannel::with(std::shared_ptr<IntelCPU> cpu)
{
    return std::make_shared<PackageChannel>(std::move(cpu));
}

PackageChannel::PackageChannel(std::shared_ptr<IntelCPU> cpu)
    : _cpu(std::move(cpu))
{
    const int cores = _cpu ? _cpu->numberOfCores() : 0;
    const int cpus = _cpu ? _cpu->numberOfCPUs() : 0;
    addRow("Number of Cores", format("%i", cores));
    addRow("Number of CPUs", format("%i", cpus));
    addRow("C-State Limit", "");
    addRow("Temperature Target", "");
    addRow("Turbo Ratio", "");
    addRow("Non Turbo Ratio", "");
    addRow("Uncore Ratio", "");
    addRow("P-State and SVID", "");
}

void PackageChannel::sample()
{
    if (!_cpu)
        return;
    if (_cpu->getMSRs(kBatch, fBatch, kBatchCount, 1) != vennix::kIOReturnSuccess || fBatch.cpus() != 1)
        return;
    uint64_t value[kBatchCount];
    for (uint32_t i = 0; i < kBatchCount; ++i)
        value[i] = fBatch.value(0, i);
    if (!_cpu->isIntel() || !IntelCPU::answersMSRs(value[kPI], value[kPS])) {
        // Zeros from registers the processor does not have would look like readings.
        for (size_t row = 2; row < rowCount(); ++row)
            setValue(row, IntelCPU::kNoReading);
        return;
    }

    setValue(2, format("%lli", asLL(bits(value[kCST], 3, 0))));

    // The sum, as the row has always shown it: target plus temperature-control offset.
    setValue(3, format("%lli", asLL(bits(value[kTT], 23, 16) + bits(value[kTT], 29, 24))));

    std::string turbo = bits(value[kPI], 28, 28) ? "RW" : "RO";
    const int cores = std::min(_cpu->numberOfCores(), kMaxTurboRatios);
    uint64_t limits = value[kTRL];
    for (int k = 0; k < cores; ++k) {
        turbo += format(" %lli", asLL(bits(limits, 7, 0)));
        limits >>= 8;
    }
    setValue(4, std::move(turbo));

    const uint64_t activation = value[kTAR];
    setValue(5, format("%lli %s, Max. %lli", asLL(bits(activation, 7, 0)),
                                  (activation >> 31) != 0 ? "Locked" : "Unlocked",
                                  asLL(bits(value[kPI], 14, 8))));

    setValue(6, format("%lli-%lli", asLL(bits(value[kURL], 14, 8)), asLL(bits(value[kURL], 6, 0))));

    const auto vid = static_cast<uint16_t>(bits(value[kPS], 47, 32));
    setValue(7, format("%lli  / %.2fV", asLL(bits(value[kPS], 15, 8)), vid / 8192.0));
}

} // namespace qarn
