#pragma once
// The registers one tick reads for the per-CPU rows and the metrics, in two batches: one on the
// calling CPU (ratios, package temperature) and, where the processor answers Intel's MSRs, one
// on every CPU (APERF and MPERF, the CPU's status, temperature and energy registers). The
// per-CPU channel reads it each tick; the metrics channel, sampled after it, reads the same
// batches, so the whole tick stays at three service calls.

#include "telemetry/CPUMetrics.h"
#include "telemetry/IntelCPU.h"

#include <cstdint>
#include <string>

namespace qarn {

class CPUReadings {
public:
    // The calling CPU's batch, by column.
    enum Local : uint32_t { kPlatformInfo, kPerfStatus, kTurboRatioLimit, kTemperatureTarget, kPackageThermStatus,
                            kLocalCount };
    // Every CPU's batch, by column. Seven MSRs, so that 64 CPUs fit one reply.
    enum Each : uint32_t { kAPerf, kMPerf, kCPUPerfStatus, kCPUTemperatureTarget, kThermStatus, kRaplPowerUnit,
                           kPackageEnergy, kEachCount };
    static constexpr uint32_t kMaxCPUs = CPUMetrics::kMaxCPUs;

    enum class State {
        kNotRead,    // no read yet
        kFailed,     // a batch failed (or the calling CPU's read none): figures of this tick are missing
        kUnreadable, // not an Intel processor, or its MSRs read 0: each() was not read
        kRead,       // both batches; each() may still hold fewer CPUs than asked for, or none
    };

    // The tick's read: the calling CPU's batch, then, where it shows readable MSRs, the batch on
    // cpus CPUs (at most kMaxCPUs).
    void read(IntelCPU& cpu, uint32_t cpus);

    State state() const { return fState; }
    // Why the last read gave no figures, in words for a user; empty after a full read.
    const std::string& why() const { return fWhy; }
    // Reads so far: a reader sampled after read() tells a new tick from one it has seen.
    uint64_t reads() const { return fReads; }
    const MSRBatch& local() const { return fLocal; }
    const MSRBatch& each() const { return fEach; }

    // The figures of a full read, worked out with metrics, whose state carries the interval
    // figures (power, multipliers) from one read to the next; it also takes this read's
    // multiplier sample. Each is empty where the read cannot give it.
    struct Figures {
        std::optional<double> packageCelsius;
        // None when the all-CPU batch read no CPU.
        std::optional<CPUMetrics::CoreTemperatures> cores;
        // Since metrics' previous read; none without an energy unit.
        std::optional<double> packageWatts;
        // None where IA32_PERF_STATUS bits 47:32 read 0, as on parts that report no voltage.
        std::optional<double> coreVolts;
    };
    Figures figures(CPUMetrics& metrics) const;
    // The same from batches laid out as local() and each() are.
    static Figures figures(const MSRBatch& local, const MSRBatch& each, CPUMetrics& metrics);

private:
    void fail(const char* where, IOReturn status);

    State fState = State::kNotRead;
    std::string fWhy = "not read yet";
    uint64_t fReads = 0;
    MSRBatch fLocal{kLocalCount, 1};
    MSRBatch fEach{kEachCount, kMaxCPUs};
};

} // namespace qarn
