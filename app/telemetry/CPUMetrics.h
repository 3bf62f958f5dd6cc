#pragma once
// The figures derived from the metrics' MSRs (multiplier, core voltage, temperatures, package
// power), computed from batches however they were read: IntelCPU's metric calls make a batch
// each, the metrics channel reads the per-CPU channel's batch of the tick. One object holds one
// reader's state (previous counters, last valid readings, the ring of averaged multipliers), so
// that two readers never shorten each other's intervals.

#include "telemetry/MSRBatch.h"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace qarn {

class CPUMetrics {
public:
    // CPUs whose state is held; rows of a batch past them are left out.
    static constexpr uint32_t kMaxCPUs = 64;
    // Samples of the CPU-averaged multiplier that frequencies() averages over.
    static constexpr uint32_t kRingSize = 8;

    // The temperature a digital readout stands for: MSR_TEMPERATURE_TARGET 23:16 less the
    // readout (THERM_STATUS 22:16), and whether the readout is valid (bit 31).
    static int64_t temperature(uint64_t temperatureTarget, uint64_t thermStatus);
    static bool readingValid(uint64_t thermStatus);

    // Adds one sample to the ring: the multiplier of each CPU read, from the base ratio, the
    // one-core turbo ratio, and the CPU's IA32_PERF_STATUS, APERF and MPERF in the given columns
    // of batch. A batch that read no CPU adds nothing.
    void sampleFrequencies(double base, double turbo, const MSRBatch& batch, uint32_t perfStatus, uint32_t aPerf,
                           uint32_t mPerf);
    // The ring's mean (slots not filled yet count as 0) and its largest slot.
    std::pair<double, double> frequencies() const;
    // The newest slot, 0 before the first; the slots filled so far, at most kRingSize.
    double latestFrequency() const { return fLatestFrequency; }
    uint32_t frequencySamples() const { return fFilled; }
    // CPU cpu's smoothed share of the one-core turbo ratio.
    double ratio(uint32_t cpu) const { return cpu < kMaxCPUs ? fRatio[cpu] : 0.0; }
    // How far CPU cpu's APERF and MPERF counted between the last two samples.
    std::pair<double, double> counterSteps(uint32_t cpu) const
    {
        return cpu < kMaxCPUs ? std::pair{fAPerfStep[cpu], fMPerfStep[cpu]} : std::pair{0.0, 0.0};
    }

    // Mean core voltage over the CPUs read, in volts (IA32_PERF_STATUS 47:32 in column
    // perfStatus); none when the batch read no CPU.
    static std::optional<double> coreVoltage(const MSRBatch& batch, uint32_t perfStatus);

    struct CoreTemperatures {
        double mean = 0.0;
        double hottest = 0.0;
        // CPUs read that have not given a valid reading yet: they count as 0 °C.
        uint32_t withoutReading = 0;
        uint32_t cpus = 0;
    };
    // Each CPU's temperature (the target and the status in the given columns), its last valid
    // reading kept; none when the batch read no CPU.
    std::optional<CoreTemperatures> coreTemperatures(const MSRBatch& batch, uint32_t target, uint32_t status);
    // CPU cpu's last valid reading from coreTemperatures(), none before the first.
    std::optional<double> coreTemperature(uint32_t cpu) const
    {
        if (cpu >= kMaxCPUs || !fCoreValid[cpu])
            return std::nullopt;
        return static_cast<double>(fCoreTemp[cpu]);
    }
    // The package's, from its two registers: the last valid reading, none before the first.
    std::optional<double> packageTemperature(uint64_t target, uint64_t status);

    // Package power in watts since this object's previous batch (the first: since time 0),
    // the mean over the CPUs' readings of MSR_PKG_ENERGY_STATUS 31:0 in units of
    // 2^-(MSR_RAPL_POWER_UNIT 12:8) J; none when the batch read no CPU or a CPU reads no unit.
    std::optional<double> packagePower(const MSRBatch& batch, uint32_t powerUnit, uint32_t energy);
    // The energy that call measured, in joules: the mean over the CPUs of the counter's step.
    double lastJoules() const { return fLastJoules; }

private:
    std::array<uint64_t, kMaxCPUs> fAPerfOld{};
    std::array<uint64_t, kMaxCPUs> fMPerfOld{};
    std::array<double, kMaxCPUs> fAPerfStep{};
    std::array<double, kMaxCPUs> fMPerfStep{};
    std::array<double, kMaxCPUs> fRatio{};
    std::array<double, kRingSize> fRing{};
    uint32_t fNext = 0;
    uint32_t fFilled = 0;
    double fLatestFrequency = 0.0;
    // Signed: a readout above the target (below 0 °C) is a temperature, not a wrap.
    std::array<int64_t, kMaxCPUs> fCoreTemp{};
    std::array<bool, kMaxCPUs> fCoreValid{};
    std::optional<int64_t> fPackageTemp;
    std::array<uint64_t, kMaxCPUs> fEnergy{};
    std::array<double, kMaxCPUs> fEnergyTime{};
    double fLastJoules = 0.0;
};

} // namespace qarn
