#pragma once
// The simulated processor: a four-core, eight-thread Intel part (family 6, model 0x5E)
// whose brand text begins with "Simulated", for tests, benchmarks and demos on any machine.
//
// Identification (CPUID, MSRs 0x8B, 0x17, 0x35) and the package's fixed registers have
// fixed values. The moving registers (TSC, APERF, MPERF, energy counters, temperatures,
// current ratio and voltage) are functions of the time elapsed on the injected clock since
// the processor was created (its "reset"), under a load that each CPU repeats for ever:
//   - MPERF advances at the base frequency (40 x 100 MHz) while the CPU is busy, APERF at
//     the ratio it runs at x 100 MHz, so 40 x dAPERF / dMPERF is the ratio it ran at;
//   - the energy counters grow with the power the load draws (package = cores + uncore);
//   - each core's temperature follows the load of its two threads with a lag.
// Every value is computed from the clock reading alone, so a given reading gives the same
// registers every time, the counters never go back while the clock does not, and reads need
// no lock. Writable registers (turbo ratio limits, uncore ratio limits, microcode signature)
// are atomics.

#include "kext/platform/CPUHardware.h"
#include "kext/platform/Clock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

// A stretch of time during which a CPU is busy for a share of the time at one ratio.
struct LoadPhase {
    uint64_t durationNanoseconds = 0;
    uint32_t busyPercent = 0; // share of the phase the CPU is busy (C0), 0 to 100
    uint32_t ratio = 8;       // multiplier it runs at while busy
};

// The phases one CPU goes through, repeated for ever.
using LoadCycle = std::vector<LoadPhase>;

class SimulatedProcessor final : public vennix::CPUHardware {
public:
    static constexpr unsigned kCPUCount = 8;
    static constexpr unsigned kCoreCount = 4;
    static constexpr uint32_t kBaseRatio = 40;
    static constexpr uint32_t kMinimumRatio = 8;
    static constexpr uint32_t kTemperatureTarget = 100;
    static constexpr uint32_t kEnergyStatusUnit = 14;          // 2^-14 J per counter step
    static constexpr uint32_t kMicrocodeVersion = 0xD6;
    static constexpr uint64_t kDefaultTurboRatioLimit = 0x28292A2A; // 42, 42, 41, 40
    static constexpr uint64_t kDefaultUncoreRatioLimit = 0x0829;    // 8 to 41
    static constexpr uint32_t kUncoreMilliwatts = 3000;         // drawn by the package at idle
    static constexpr uint32_t kIdleTemperature = 35;            // a core with both threads idle
    static constexpr uint64_t kThermalLagNanoseconds = 800000000;

    // The load the demo runs: every CPU differs, with phases from a quarter of a second to
    // a few seconds so that the ten-per-second display moves.
    static std::vector<LoadCycle> defaultLoad();

    // CPU n runs load[n % load.size()]; an empty load (or an empty cycle) is an idle CPU.
    // Phases of zero length are ignored; busy shares above 100 count as 100 and ratios
    // above 255 as 255. clock must outlive the processor.
    explicit SimulatedProcessor(const vennix::Clock& clock = vennix::Clock::system(),
                                std::vector<LoadCycle> load = defaultLoad());
    ~SimulatedProcessor() override;

    SimulatedProcessor(const SimulatedProcessor&) = delete;
    SimulatedProcessor& operator=(const SimulatedProcessor&) = delete;

    const char* description() const override;
    bool isSimulated() const override;
    unsigned cpuCount() const override;
    // The CPU a rendezvous action runs for, else the CPU the calling thread runs on, modulo 8.
    unsigned currentCPU() const override;
    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) override;
    uint64_t rdmsr(uint32_t msr) override;
    void wrmsr(uint32_t msr, uint64_t value) override;
    // kMicrocodeVersion, as the kernel of a machine with this processor would report it.
    uint32_t microcodeRevision() override;
    // The action runs for each simulated CPU in turn, on the calling thread, answering
    // currentCPU() with that CPU: unlike real CPUs, whose reads in one batch lie a few
    // microseconds apart, every CPU of a simulated rendezvous reads the registers of one
    // instant, so nothing is gained by a thread per CPU but their wake-ups. Each rendezvous's
    // instant is later than the one before: all rows of a batch show the same time stamp
    // counter (0x10), and no two batches do. Runs do not overlap.
    void rendezvous(Action action, void* argument) override;

    // The same operations as a chosen CPU (cpu modulo 8) sees them.
    void cpuidOn(unsigned cpu, uint32_t leaf, uint32_t subleaf, uint32_t regs[4]);
    uint64_t rdmsrOn(unsigned cpu, uint32_t msr);
    void wrmsrOn(unsigned cpu, uint32_t msr, uint64_t value);

    // The model's figures, for tests and for whoever shows simulated numbers.
    // Power a CPU draws in a phase, in milliwatts.
    static uint64_t milliwatts(const LoadPhase& phase);
    // Voltage identifier (1/8192 V) at a ratio.
    static uint32_t voltageIdentifier(uint32_t ratio);
    // Heat of a CPU in a phase: busy share x ratio / 42, at most 100.
    static double heat(const LoadPhase& phase);
    // Core temperature in whole degrees for the heat of its two threads, once settled.
    static uint32_t settledTemperature(double heatA, double heatB);

private:
    // Integrals of one CPU's load over time.
    struct Totals {
        unsigned __int128 busy = 0;   // ns x percent
        unsigned __int128 active = 0; // ns x percent x ratio
        unsigned __int128 energy = 0; // ns x milliwatts
    };
    struct CPUModel {
        std::vector<LoadPhase> phases;
        std::vector<uint64_t> starts;   // start of each phase within the cycle
        std::vector<Totals> before;     // integrals over the phases before each one
        Totals cycle;
        uint64_t cycleLength = 0;
    };

    uint64_t elapsed() const;
    const LoadPhase& phaseAt(const CPUModel& model, uint64_t time, size_t& index, uint64_t& into) const;
    Totals totalsAt(const CPUModel& model, uint64_t time) const;
    double heatAt(const CPUModel& model, uint64_t time) const;
    uint32_t coreTemperature(unsigned core, uint64_t time) const;
    uint64_t thermalStatus(uint32_t temperature) const;
    uint64_t energyCounter(uint64_t time, bool withUncore) const;

    const vennix::Clock& fClock;
    uint64_t fReset;
    std::array<CPUModel, kCPUCount> fModels;
    std::atomic<uint64_t> fTurboRatioLimit{kDefaultTurboRatioLimit};
    std::atomic<uint64_t> fUncoreRatioLimit{kDefaultUncoreRatioLimit};
    std::array<std::atomic<uint64_t>, kCPUCount> fSignature; // MSR 0x8B per CPU
    std::mutex fRendezvousLock;                 // one latched instant per run
    std::atomic<uint64_t> fRendezvousElapsed{0}; // the instant of the run in progress
    // The processor whose rendezvous the calling thread runs, and the CPU it stands for.
    static thread_local const SimulatedProcessor* tRunning;
    static thread_local unsigned tRunningCPU;
};

} // namespace sim
