#include "sim/SimulatedProcessor.h"

#include "protocol/MSR.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sched.h>

namespace sim {

namespace msr = vennix::msr;

thread_local const SimulatedProcessor* SimulatedProcessor::tRunning = nullptr;
thread_local unsigned SimulatedProcessor::tRunningCPU = 0;

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kMillisecond = 1000000;
constexpr uint64_t kSecond = 1000000000;


constexpr uint32_t kMaxBasicLeaf = 0x16;
constexpr uint32_t kMaxExtendedLeaf = 0x80000008;
constexpr char kBrand[48] = "Simulated Intel(R) Core(TM) i7 CPU @ 4.00GHz";

// Package C-state limit C10 (bits 3:0) with the configuration locked (bit 15) and
// C-state auto-demotion enabled, as firmware leaves it.
constexpr uint64_t kPkgCStateConfigValue = 0x1E008008;
// Maximum efficiency ratio 8 (47:40), programmable TDP limits (29) and turbo ratio limits
// (28), maximum non-turbo ratio 40 (15:8).
constexpr uint64_t kPlatformInfoValue = uint64_t{SimulatedProcessor::kMinimumRatio} << 40
    | uint64_t{1} << 29 | uint64_t{1} << 28 | uint64_t{SimulatedProcessor::kBaseRatio} << 8;
constexpr uint64_t kTemperatureTargetValue = uint64_t{SimulatedProcessor::kTemperatureTarget} << 16;
// Power unit 1/8 W (3:0), energy status unit 2^-14 J (12:8), time unit 2^-10 s (19:16).
constexpr uint64_t kRaplPowerUnitValue = 0xA0003 | uint64_t{SimulatedProcessor::kEnergyStatusUnit} << 8;
constexpr uint64_t kTurboActivationRatioValue = SimulatedProcessor::kBaseRatio; // unlocked
constexpr uint64_t kPlatformIdValue = uint64_t{1} << 50;
constexpr uint64_t kCoreThreadCountValue =
    uint64_t{SimulatedProcessor::kCoreCount} << 16 | SimulatedProcessor::kCPUCount;

// Bits a write may set; writes with other bits set are refused, as the processor faults on
// reserved bits.
constexpr uint64_t kTurboRatioLimitWritable = 0xFFFFFFFF; // one byte per active-core count
constexpr uint64_t kUncoreRatioLimitWritable = 0x7F7F;    // minimum 14:8, maximum 6:0

// Threads 0-3 are the first threads of cores 0-3, threads 4-7 their siblings, as Linux
// numbers them; the APIC id carries the core in bits 2:1 and the thread in bit 0.
uint32_t apicId(unsigned cpu)
{
    const unsigned core = cpu % SimulatedProcessor::kCoreCount;
    const unsigned thread = cpu / SimulatedProcessor::kCoreCount;
    return core << 1 | thread;
}

void set(uint32_t regs[4], uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    regs[0] = a;
    regs[1] = b;
    regs[2] = c;
    regs[3] = d;
}

uint32_t brandWord(unsigned index)
{
    uint32_t word;
    std::memcpy(&word, kBrand + 4 * index, sizeof word);
    return word;
}

LoadPhase phase(uint64_t milliseconds, uint32_t busyPercent, uint32_t ratio)
{
    LoadPhase p;
    p.durationNanoseconds = milliseconds * kMillisecond;
    p.busyPercent = busyPercent;
    p.ratio = ratio;
    return p;
}

} // namespace

std::vector<LoadCycle> SimulatedProcessor::defaultLoad()
{
    return {
        {phase(1500, 95, 42), phase(500, 40, 40)},                    // a long job
        {phase(300, 70, 42), phase(700, 10, 20)},                     // bursts
        {phase(2000, 5, 8)},                                          // nearly idle
        {phase(400, 100, 41), phase(400, 60, 36), phase(400, 20, 24)}, // stepping down
        {phase(1000, 50, 38), phase(1000, 30, 30)},                   // the first job's sibling
        {phase(250, 90, 42), phase(250, 0, 8)},                       // flickering
        {phase(3000, 15, 16), phase(1000, 85, 40)},                   // now and then
        {phase(600, 65, 34)},                                         // steady
    };
}

uint64_t SimulatedProcessor::milliwatts(const LoadPhase& phase)
{
    // Dynamic power grows with the square of the ratio (voltage rises with frequency):
    // a thread busy all the time at the base ratio draws 5 W.
    return uint64_t{phase.busyPercent} * phase.ratio * phase.ratio / 32;
}

uint32_t SimulatedProcessor::voltageIdentifier(uint32_t ratio)
{
    // 0.55 V plus 16 mV per ratio step: 1.19 V at the base ratio.
    return 4506 + 131 * ratio;
}

double SimulatedProcessor::heat(const LoadPhase& phase)
{
    return std::min(100.0, phase.busyPercent * static_cast<double>(phase.ratio) / 42.0);
}

uint32_t SimulatedProcessor::settledTemperature(double heatA, double heatB)
{
    return static_cast<uint32_t>(std::lround(kIdleTemperature + 0.3 * (heatA + heatB)));
}

SimulatedProcessor::SimulatedProcessor(const vennix::Clock& clock, std::vector<LoadCycle> load)
    : fClock(clock)
    , fReset(clock.monotonicNanoseconds())
{
    for (unsigned cpu = 0; cpu < kCPUCount; ++cpu) {
        CPUModel& model = fModels[cpu];
        if (!load.empty()) {
            for (LoadPhase p : load[cpu % load.size()]) {
                if (p.durationNanoseconds == 0)
                    continue;
                p.busyPercent = std::min<uint32_t>(p.busyPercent, 100);
                p.ratio = std::min<uint32_t>(p.ratio, 255);
                model.phases.push_back(p);
            }
        }
        if (model.phases.empty())
            model.phases.push_back(phase(1000, 0, kMinimumRatio));

        // Cycle lengths beyond 2^64 ns would overflow; no useful load comes near that.
        for (const LoadPhase& p : model.phases) {
            model.starts.push_back(model.cycleLength);
            model.before.push_back(model.cycle);
            model.cycleLength += p.durationNanoseconds;
            model.cycle.busy += u128{p.durationNanoseconds} * p.busyPercent;
            model.cycle.active += u128{p.durationNanoseconds} * p.busyPercent * p.ratio;
            model.cycle.energy += u128{p.durationNanoseconds} * milliwatts(p);
        }
    }
    for (std::atomic<uint64_t>& signature : fSignature)
        signature.store(uint64_t{kMicrocodeVersion} << 32);
}

SimulatedProcessor::~SimulatedProcessor() = default;

const char* SimulatedProcessor::description() const
{
    return "simulated";
}

bool SimulatedProcessor::isSimulated() const
{
    return true;
}

unsigned SimulatedProcessor::cpuCount() const
{
    return kCPUCount;
}

unsigned SimulatedProcessor::currentCPU() const
{
    if (tRunning == this)
        return tRunningCPU;
    const int cpu = sched_getcpu();
    return cpu > 0 ? static_cast<unsigned>(cpu) % kCPUCount : 0;
}

void SimulatedProcessor::cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4])
{
    cpuidOn(currentCPU(), leaf, subleaf, regs);
}

uint64_t SimulatedProcessor::rdmsr(uint32_t msr)
{
    return rdmsrOn(currentCPU(), msr);
}

void SimulatedProcessor::wrmsr(uint32_t msr, uint64_t value)
{
    wrmsrOn(currentCPU(), msr, value);
}

uint32_t SimulatedProcessor::microcodeRevision()
{
    return kMicrocodeVersion;
}

void SimulatedProcessor::rendezvous(Action action, void* argument)
{
    // A run from inside a run would wait for itself: refused, as the real pool refuses it.
    if (action == nullptr || tRunning == this)
        return;
    std::lock_guard<std::mutex> lock(fRendezvousLock);
    const uint64_t now = elapsed();
    const uint64_t last = fRendezvousElapsed.load(std::memory_order_relaxed);
    fRendezvousElapsed.store(now > last ? now : last + 1, std::memory_order_release);
    tRunning = this;
    for (tRunningCPU = 0; tRunningCPU < kCPUCount; ++tRunningCPU)
        action(argument);
    tRunning = nullptr;
}

void SimulatedProcessor::cpuidOn(unsigned cpu, uint32_t leaf, uint32_t subleaf, uint32_t regs[4])
{
    cpu %= kCPUCount;
    const uint32_t apic = apicId(cpu);

    // Like Intel parts, a leaf beyond the last one answers as the last basic leaf.
    if ((leaf > kMaxBasicLeaf && leaf < 0x80000000) || leaf > kMaxExtendedLeaf)
        leaf = kMaxBasicLeaf;

    switch (leaf) {
    case 0x0: // "GenuineIntel": EBX, EDX, ECX
        set(regs, kMaxBasicLeaf, 0x756E6547, 0x6C65746E, 0x49656E69);
        return;
    case 0x1:
        // Executing leaf 1 loads the microcode revision into MSR 0x8B.
        fSignature[cpu].store(uint64_t{kMicrocodeVersion} << 32);
        // Stepping 3, model 0xE, family 6, extended model 5; EBX: APIC id, 8 logical
        // processors, 64-byte CLFLUSH line; EDX bit 28: hyper-threading.
        set(regs, 0x000506E3, apic << 24 | kCPUCount << 16 | 8 << 8, 0x7FFAFBBF, 0xBFEBFBFF);
        return;
    case 0x2:
        set(regs, 0x76036301, 0x00F0B5FF, 0, 0x00C30000);
        return;
    case 0x4: // deterministic cache parameters: L1 data, L1 instruction, L2, L3
        switch (subleaf) {
        case 0: set(regs, 0x0C004121, 0x01C0003F, 0x3F, 0); return;
        case 1: set(regs, 0x0C004122, 0x01C0003F, 0x3F, 0); return;
        case 2: set(regs, 0x0C004143, 0x00C0003F, 0x3FF, 0); return;
        case 3: set(regs, 0x0C01C163, 0x03C0003F, 0x1FFF, 0x6); return;
        default: set(regs, 0, 0, 0, 0); return;
        }
    case 0x5: // MONITOR/MWAIT: 64-byte lines, extensions, C-state sub-states
        set(regs, 0x40, 0x40, 0x3, 0x11142120);
        return;
    case 0x6: // digital sensor, turbo, ARAT, power limits, HWP; 2 thresholds; ACNT/MCNT, EPB
        set(regs, 0x27F7, 0x2, 0x9, 0);
        return;
    case 0x7:
        if (subleaf == 0)
            set(regs, 0, 0x009C6FBB, 0, 0x9C002400);
        else
            set(regs, 0, 0, 0, 0);
        return;
    case 0xA: // version 4, 4 counters of 48 bits, 7 events; 3 fixed counters of 48 bits
        set(regs, 0x07300404, 0, 0, 0x603);
        return;
    case 0xB: // topology: SMT level (2 threads), core level (8 logical processors)
        if (subleaf == 0)
            set(regs, 1, 2, 0x100, apic);
        else if (subleaf == 1)
            set(regs, 4, kCPUCount, 0x201, apic);
        else
            set(regs, 0, 0, subleaf & 0xFF, apic);
        return;
    case 0xD: // XSAVE: x87, SSE, AVX, MPX state
        switch (subleaf) {
        case 0: set(regs, 0x1F, 0x440, 0x440, 0); return;
        case 1: set(regs, 0xF, 0x3C0, 0x100, 0); return;
        case 2: set(regs, 0x100, 0x240, 0, 0); return;
        case 3: set(regs, 0x40, 0x3C0, 0, 0); return;
        case 4: set(regs, 0x40, 0x400, 0, 0); return;
        default: set(regs, 0, 0, 0, 0); return;
        }
    case 0x15: // TSC = 24 MHz crystal x 500 / 3 = 4 GHz
        set(regs, 3, 500, 24000000, 0);
        return;
    case 0x16: // base, maximum and bus frequency in MHz
        set(regs, kBaseRatio * 100, 4200, 100, 0);
        return;
    case 0x80000000:
        set(regs, kMaxExtendedLeaf, 0, 0, 0);
        return;
    case 0x80000001: // LAHF, LZCNT, PREFETCHW; SYSCALL, NX, 1 GB pages, RDTSCP, long mode
        set(regs, 0, 0, 0x121, 0x2C100800);
        return;
    case 0x80000002:
    case 0x80000003:
    case 0x80000004: {
        const unsigned first = (leaf - 0x80000002) * 4;
        set(regs, brandWord(first), brandWord(first + 1), brandWord(first + 2), brandWord(first + 3));
        return;
    }
    case 0x80000006: // L2: 256 KB, associativity code 6 (8 ways), 64-byte lines
        set(regs, 0, 0, 256u << 16 | 6u << 12 | 64u, 0);
        return;
    case 0x80000007: // invariant TSC
        set(regs, 0, 0, 0, 0x100);
        return;
    case 0x80000008: // 39 physical, 48 virtual address bits
        set(regs, 0x3027, 0, 0, 0);
        return;
    default:
        set(regs, 0, 0, 0, 0);
        return;
    }
}

uint64_t SimulatedProcessor::rdmsrOn(unsigned cpu, uint32_t msr)
{
    cpu %= kCPUCount;
    switch (msr) {
    case msr::kTimeStampCounter: // invariant: base frequency, busy or not
        return static_cast<uint64_t>(u128{elapsed()} * kBaseRatio / 10);
    case msr::kPlatformId:
        return kPlatformIdValue;
    case msr::kCoreThreadCount:
        return kCoreThreadCountValue;
    case msr::kBiosSignId:
        return fSignature[cpu].load(std::memory_order_relaxed);
    case msr::kPlatformInfo:
        return kPlatformInfoValue;
    case msr::kPackageCStateConfig:
        return kPkgCStateConfigValue;
    case msr::kMPerf: // ns x percent x 40 / 1000 = counts at 100 MHz per ratio step
        return static_cast<uint64_t>(totalsAt(fModels[cpu], elapsed()).busy * kBaseRatio / 1000);
    case msr::kAPerf:
        return static_cast<uint64_t>(totalsAt(fModels[cpu], elapsed()).active / 1000);
    case msr::kPerfStatus: {
        size_t index;
        uint64_t into;
        const LoadPhase& p = phaseAt(fModels[cpu], elapsed(), index, into);
        return uint64_t{voltageIdentifier(p.ratio)} << 32 | uint64_t{p.ratio} << 8;
    }
    case msr::kThermStatus:
        return thermalStatus(coreTemperature(cpu % kCoreCount, elapsed()));
    case msr::kTemperatureTarget:
        return kTemperatureTargetValue;
    case msr::kTurboRatioLimit:
        return fTurboRatioLimit.load(std::memory_order_relaxed);
    case msr::kPackageThermStatus: {
        const uint64_t time = elapsed();
        uint32_t hottest = 0;
        for (unsigned core = 0; core < kCoreCount; ++core)
            hottest = std::max(hottest, coreTemperature(core, time));
        return thermalStatus(hottest);
    }
    case msr::kRaplPowerUnit:
        return kRaplPowerUnitValue;
    case msr::kPackageEnergyStatus:
        return energyCounter(elapsed(), true);
    case msr::kUncoreRatioLimit:
        return fUncoreRatioLimit.load(std::memory_order_relaxed);
    case msr::kPP0EnergyStatus:
        return energyCounter(elapsed(), false);
    case msr::kTurboActivationRatio:
        return kTurboActivationRatioValue;
    default:
        return 0;
    }
}

void SimulatedProcessor::wrmsrOn(unsigned cpu, uint32_t msr, uint64_t value)
{
    cpu %= kCPUCount;
    switch (msr) {
    case msr::kBiosSignId:
        fSignature[cpu].store(value, std::memory_order_relaxed);
        return;
    case msr::kTurboRatioLimit: // package-wide, hence one register for all CPUs
        if ((value & ~kTurboRatioLimitWritable) == 0)
            fTurboRatioLimit.store(value, std::memory_order_relaxed);
        return;
    case msr::kUncoreRatioLimit:
        if ((value & ~kUncoreRatioLimitWritable) == 0)
            fUncoreRatioLimit.store(value, std::memory_order_relaxed);
        return;
    default: // read-only or unknown: dropped
        return;
    }
}

uint64_t SimulatedProcessor::elapsed() const
{
    if (tRunning == this)
        return fRendezvousElapsed.load(std::memory_order_acquire);
    const uint64_t now = fClock.monotonicNanoseconds();
    return now > fReset ? now - fReset : 0;
}

const LoadPhase& SimulatedProcessor::phaseAt(const CPUModel& model, uint64_t time, size_t& index,
                                             uint64_t& into) const
{
    const uint64_t inCycle = time % model.cycleLength;
    // The last phase that starts at or before inCycle.
    index = static_cast<size_t>(std::upper_bound(model.starts.begin(), model.starts.end(), inCycle)
                                - model.starts.begin()) - 1;
    into = inCycle - model.starts[index];
    return model.phases[index];
}

SimulatedProcessor::Totals SimulatedProcessor::totalsAt(const CPUModel& model, uint64_t time) const
{
    size_t index;
    uint64_t into;
    const LoadPhase& p = phaseAt(model, time, index, into);
    const u128 cycles = time / model.cycleLength;
    const Totals& before = model.before[index];
    Totals totals;
    totals.busy = cycles * model.cycle.busy + before.busy + u128{into} * p.busyPercent;
    totals.active = cycles * model.cycle.active + before.active + u128{into} * p.busyPercent * p.ratio;
    totals.energy = cycles * model.cycle.energy + before.energy + u128{into} * milliwatts(p);
    return totals;
}

double SimulatedProcessor::heatAt(const CPUModel& model, uint64_t time) const
{
    size_t index;
    uint64_t into;
    const LoadPhase& p = phaseAt(model, time, index, into);
    const LoadPhase& previous = model.phases[(index + model.phases.size() - 1) % model.phases.size()];
    // The heat moves from the previous phase's towards this phase's with a lag.
    const double settled = 1.0 - std::exp(-static_cast<double>(into) / kThermalLagNanoseconds);
    return heat(previous) + (heat(p) - heat(previous)) * settled;
}

uint32_t SimulatedProcessor::coreTemperature(unsigned core, uint64_t time) const
{
    return settledTemperature(heatAt(fModels[core], time), heatAt(fModels[core + kCoreCount], time));
}

uint64_t SimulatedProcessor::thermalStatus(uint32_t temperature) const
{
    // Valid (31), resolution 1 degree (30:27), digital readout = degrees below the target.
    const uint32_t readout = temperature >= kTemperatureTarget ? 0 : kTemperatureTarget - temperature;
    return uint64_t{1} << 31 | uint64_t{1} << 27 | uint64_t{std::min<uint32_t>(readout, 0x7F)} << 16;
}

uint64_t SimulatedProcessor::energyCounter(uint64_t time, bool withUncore) const
{
    u128 energy = withUncore ? u128{time} * kUncoreMilliwatts : 0;
    for (const CPUModel& model : fModels)
        energy += totalsAt(model, time).energy;
    // ns x mW = 1e-12 J; the counter counts 2^-14 J and wraps at 32 bits.
    return static_cast<uint64_t>(energy * (u128{1} << kEnergyStatusUnit) / (u128{kSecond} * 1000))
        & 0xFFFFFFFF;
}

} // namespace sim
