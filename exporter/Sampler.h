#pragma once
// One reading of the figures the exporter publishes, taken from the CPU service with the
// monitor's own classes: CPUReadings' two batches (the calling CPU's, then every CPU's), and
// CPUMetrics' arithmetic on them. A figure the processor cannot give stays empty: the exporter
// leaves its series out rather than publish a made-up number.
//
// Not thread-safe: its owner (MetricsCollector) takes readings one at a time.

#include "telemetry/CPUMetrics.h"
#include "telemetry/CPUReadings.h"
#include "telemetry/IntelCPU.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace qarn {

struct CoolerReading {
    double fanRPM = 0;
    double pumpRPM = 0;
    double liquidCelsius = 0;
};

struct Sample {
    struct PerCPU {
        uint32_t cpu;
        double value;
    };
    bool simulated = false;
    std::optional<double> packageCelsius;
    std::vector<PerCPU> coreCelsius;
    std::optional<double> packageWatts;
    // Since the exporter's first reading of the counter.
    std::optional<double> packageJoules;
    std::vector<PerCPU> multiplier;
    std::vector<PerCPU> busy;
    std::optional<double> coreVolts;
    std::optional<CoolerReading> cooler;
};

class Sampler {
public:
    // Opens the processor: called again after a failed read, so that a service started (or
    // restarted) later is found. Null while there is none.
    using Opener = std::function<std::shared_ptr<IntelCPU>()>;

    explicit Sampler(Opener open);

    // One reading: at most two service calls, plus opening the connection when there is none.
    Sample read();

    // The figures of one round of batches (CPUReadings' columns); the interval figures compare
    // with the previous round. Public for tests that build batches by hand.
    Sample take(const MSRBatch& local, const MSRBatch& each);

private:
    Opener fOpen;
    std::shared_ptr<IntelCPU> fCPU;
    CPUReadings fReadings;
    CPUMetrics fMetrics;

    static constexpr uint32_t kMaxCPUs = CPUReadings::kMaxCPUs;
    // The previous round, for the interval figures (the counters' steps are fMetrics').
    bool fHavePrevious = false;
    uint32_t fPreviousCPUs = 0;
    double fPreviousTime = 0;
    double fJoules = 0;
};

} // namespace qarn
