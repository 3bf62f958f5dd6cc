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

constexpr const char* kDescriptions[] = {
    "Physical cores in the package, as the CPU service's processor record counts them: MSR 0x35 "
    "(MSR_CORE_THREAD_COUNT) bits 31:16 on the families that have it, else CPUID's topology leaves.",
    "Logical CPUs (threads), as the CPU service's processor record counts them: MSR 0x35 (MSR_CORE_THREAD_COUNT) "
    "bits 15:0 on the families that have it, else CPUID's topology leaves.",
    "The deepest package C-state the processor may enter (a C-state number): MSR 0xE2 (MSR_PKG_CST_CONFIG_CONTROL) "
    "bits 3:0, read on the calling CPU.",
    "Where the processor starts to throttle, in \u00b0C: the TCC activation temperature MSR 0x1A2 "
    "(MSR_TEMPERATURE_TARGET) bits 23:16 plus its temperature-control offset, bits 29:24.",
    "RW when the turbo ratios are programmable, else RO (MSR 0xCE (MSR_PLATFORM_INFO) bit 28), then the highest "
    "multiplier (x) with 1, 2, ... cores active, one per core, at most eight: MSR 0x1AD (MSR_TURBO_RATIO_LIMIT), a "
    "byte each from bits 7:0.",
    "The turbo activation ratio (x), MSR 0x64C (MSR_TURBO_ACTIVATION_RATIO) bits 7:0, whether it is locked "
    "(bit 31), and the maximum non-turbo ratio (x), MSR 0xCE (MSR_PLATFORM_INFO) bits 14:8.",
    "The uncore's highest and lowest multiplier (x): MSR 0x620 (MSR_UNCORE_RATIO_LIMIT) bits 14:8 and 6:0.",
    "The calling CPU's current multiplier (x), MSR 0x198 (IA32_PERF_STATUS) bits 15:8, and its core voltage in "
    "volts, bits 47:32 in units of 1/8192 V.",
};

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
    for (size_t row = 0; row < rowCount(); ++row)
        setToolTip(row, kDescriptions[row]);
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
    const bool readable = _cpu->isIntel() && IntelCPU::answersMSRs(value[kPI], value[kPS]);
    if (readable != fReadable) {
        // Worded when it changes, not each tick: the processor stays what it is.
        fReadable = readable;
        const std::string why = readable ? "" : "\nNo figure: " + _cpu->limitationFor(value[kPI], value[kPS]) + ".";
        for (size_t row = 2; row < rowCount(); ++row)
            setToolTip(row, kDescriptions[row] + why);
    }
    if (!readable) {
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
