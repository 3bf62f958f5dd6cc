// The simulated processor as one CPU at a time sees it: identification, fixed registers,
// writable registers, and the counters and temperatures that move with the clock.

#include "sim/SimulatedProcessor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sched.h>
#include <set>
#include <string>

namespace sim {
namespace {

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kSecond = 1000000000;

LoadPhase phase(uint64_t milliseconds, uint32_t busyPercent, uint32_t ratio)
{
    LoadPhase p;
    p.durationNanoseconds = milliseconds * kMs;
    p.busyPercent = busyPercent;
    p.ratio = ratio;
    return p;
}

uint64_t bits(uint64_t value, unsigned high, unsigned low)
{
    return (value >> low) & ((uint64_t{1} << (high - low + 1)) - 1);
}

class SimulatedProcessorTest : public ::testing::Test {
protected:
    struct Regs {
        uint32_t eax, ebx, ecx, edx;
    };

    Regs cpuid(uint32_t leaf, uint32_t subleaf = 0, unsigned cpu = 0)
    {
        uint32_t r[4];
        processor->cpuidOn(cpu, leaf, subleaf, r);
        return {r[0], r[1], r[2], r[3]};
    }

    void use(std::vector<LoadCycle> load)
    {
        processor.reset(); // its rendezvous threads go before the new ones start
        processor = std::make_unique<SimulatedProcessor>(clock, std::move(load));
    }

    void advance(uint64_t nanoseconds) { clock.advanceNanoseconds(nanoseconds); }
    uint64_t msr(unsigned cpu, uint32_t number) { return processor->rdmsrOn(cpu, number); }

    vennix::ManualClock clock;
    std::unique_ptr<SimulatedProcessor> processor = std::make_unique<SimulatedProcessor>(clock);
};

TEST_F(SimulatedProcessorTest, IdentifiesAsAFourCoreEightThreadGenuineIntelModel5E)
{
    const Regs leaf0 = cpuid(0);
    EXPECT_EQ(leaf0.eax, 0x16u);
    char vendor[13] = {};
    std::memcpy(vendor, &leaf0.ebx, 4);
    std::memcpy(vendor + 4, &leaf0.edx, 4);
    std::memcpy(vendor + 8, &leaf0.ecx, 4);
    EXPECT_STREQ(vendor, "GenuineIntel");

    const Regs leaf1 = cpuid(1);
    EXPECT_EQ(leaf1.eax, 0x000506E3u);
    EXPECT_EQ(bits(leaf1.eax, 11, 8), 6u);                                         // family
    EXPECT_EQ(bits(leaf1.eax, 7, 4) + 16 * bits(leaf1.eax, 19, 16), 0x5Eu);        // model
    EXPECT_EQ(bits(leaf1.ebx, 23, 16), 8u);
    EXPECT_EQ(bits(leaf1.edx, 28, 28), 1u);
    EXPECT_EQ(msr(0, 0x35), 0x0004'0008u);

    EXPECT_EQ(cpuid(0x80000000).eax, 0x80000008u);
    char brand[49] = {};
    for (uint32_t i = 0; i < 3; ++i) {
        const Regs r = cpuid(0x80000002 + i);
        std::memcpy(brand + 16 * i, &r, 16);
    }
    EXPECT_EQ(std::string(brand).rfind("Simulated ", 0), 0u) << brand;

    EXPECT_EQ(bits(cpuid(0x80000006).ecx, 15, 12), 6u); // L2 associativity code
    EXPECT_EQ(bits(cpuid(0x80000006).ecx, 7, 0), 64u);
    EXPECT_EQ(bits(cpuid(0x80000007).edx, 8, 8), 1u);   // invariant TSC
    EXPECT_EQ(bits(cpuid(0x80000008).eax, 7, 0), 39u);
    EXPECT_EQ(bits(cpuid(0x80000008).eax, 15, 8), 48u);

    // The leaves identification reads have values.
    EXPECT_NE(cpuid(5).eax, 0u);
    EXPECT_EQ(bits(cpuid(6).eax, 0, 0), 1u);
    EXPECT_NE(cpuid(7).ebx, 0u);
    EXPECT_EQ(bits(cpuid(0xA).eax, 7, 0), 4u);
    EXPECT_NE(cpuid(0xD).eax, 0u);
    EXPECT_EQ(cpuid(0x16).eax, 4000u);
}

TEST_F(SimulatedProcessorTest, LeavesBeyondTheLastAnswerAsTheLastBasicLeaf)
{
    const Regs last = cpuid(0x16);
    for (uint32_t leaf : {0x17u, 0x40000000u, 0x80000009u, 0xFFFFFFFFu}) {
        const Regs r = cpuid(leaf);
        EXPECT_EQ(r.eax, last.eax) << std::hex << leaf;
        EXPECT_EQ(r.ebx, last.ebx) << std::hex << leaf;
    }
}

TEST_F(SimulatedProcessorTest, EachCPUHasItsOwnAPICIdAndSiblingsShareACore)
{
    std::set<uint32_t> ids;
    for (unsigned cpu = 0; cpu < SimulatedProcessor::kCPUCount; ++cpu) {
        const uint32_t id = cpuid(1, 0, cpu).ebx >> 24;
        EXPECT_EQ(cpuid(0xB, 0, cpu).edx, id);
        ids.insert(id);
        // Threads n and n + 4 differ only in the SMT bit.
        EXPECT_EQ(id >> 1, (cpuid(1, 0, cpu % 4).ebx >> 24) >> 1);
    }
    EXPECT_EQ(ids.size(), SimulatedProcessor::kCPUCount);
}

TEST_F(SimulatedProcessorTest, MicrocodeRevisionReloadsWhenLeaf1Runs)
{
    EXPECT_EQ(msr(3, 0x8B) >> 32, SimulatedProcessor::kMicrocodeVersion);
    // The identification's sequence: clear, run leaf 1, read.
    processor->wrmsrOn(3, 0x8B, 0);
    EXPECT_EQ(msr(3, 0x8B), 0u);
    EXPECT_EQ(msr(2, 0x8B) >> 32, SimulatedProcessor::kMicrocodeVersion); // per CPU
    cpuid(1, 0, 3);
    EXPECT_EQ(msr(3, 0x8B), uint64_t{SimulatedProcessor::kMicrocodeVersion} << 32);

    EXPECT_EQ(bits(msr(0, 0x17), 52, 50), 1u);
}

TEST_F(SimulatedProcessorTest, PackageRegistersDescribeTheModel)
{
    const uint64_t platformInfo = msr(0, 0xCE);
    EXPECT_EQ(bits(platformInfo, 15, 8), 40u);
    EXPECT_EQ(bits(platformInfo, 28, 28), 1u); // turbo ratio limits programmable
    EXPECT_EQ(bits(platformInfo, 47, 40), 8u);

    const uint64_t target = msr(0, 0x1A2);
    EXPECT_EQ(bits(target, 23, 16), 100u);
    EXPECT_EQ(bits(target, 29, 24), 0u);

    EXPECT_EQ(bits(msr(0, 0x606), 12, 8), 14u);
    EXPECT_EQ(bits(msr(0, 0xE2), 3, 0), 8u);
    EXPECT_EQ(bits(msr(0, 0x64C), 7, 0), 40u);
    EXPECT_EQ(bits(msr(0, 0x64C), 63, 31), 0u); // unlocked
    EXPECT_EQ(bits(msr(0, 0x620), 14, 8), 8u);  // uncore minimum
    EXPECT_EQ(bits(msr(0, 0x620), 6, 0), 41u);  // uncore maximum

    const uint64_t turbo = msr(0, 0x1AD);
    EXPECT_EQ(bits(turbo, 7, 0), 42u);
    EXPECT_EQ(bits(turbo, 15, 8), 42u);
    EXPECT_EQ(bits(turbo, 23, 16), 41u);
    EXPECT_EQ(bits(turbo, 31, 24), 40u);

    // Every CPU sees the package's registers.
    for (unsigned cpu = 1; cpu < SimulatedProcessor::kCPUCount; ++cpu) {
        for (uint32_t number : {0xCEu, 0x1A2u, 0x606u, 0xE2u, 0x64Cu, 0x620u, 0x1ADu, 0x35u})
            EXPECT_EQ(msr(cpu, number), msr(0, number)) << std::hex << number;
    }
}

TEST_F(SimulatedProcessorTest, WritesChangeOnlyWritableRegisters)
{
    processor->wrmsrOn(3, 0x1AD, 0x25262728);
    for (unsigned cpu = 0; cpu < SimulatedProcessor::kCPUCount; ++cpu)
        EXPECT_EQ(msr(cpu, 0x1AD), 0x25262728u) << "CPU " << cpu;

    // Reserved bits set: the processor refuses the write.
    processor->wrmsrOn(0, 0x1AD, 0x1'0000'0000 | 0x2A2A2A2A);
    EXPECT_EQ(msr(0, 0x1AD), 0x25262728u);

    processor->wrmsrOn(1, 0x620, 0x0A20);
    EXPECT_EQ(msr(6, 0x620), 0x0A20u);
    processor->wrmsrOn(1, 0x620, 0x8000);
    EXPECT_EQ(msr(6, 0x620), 0x0A20u);

    // Read-only and unknown registers drop the write.
    const uint64_t platformInfo = msr(0, 0xCE);
    processor->wrmsrOn(0, 0xCE, 0);
    EXPECT_EQ(msr(0, 0xCE), platformInfo);
    processor->wrmsrOn(0, 0x1234, 99);
    EXPECT_EQ(msr(0, 0x1234), 0u);
}

TEST_F(SimulatedProcessorTest, UnknownRegistersReadZero)
{
    advance(5 * kSecond);
    for (uint32_t number : {0x0u, 0x199u, 0x1A0u, 0x610u, 0x1234u, 0xC0000080u, 0xFFFFFFFFu}) {
        for (unsigned cpu = 0; cpu < SimulatedProcessor::kCPUCount; ++cpu)
            EXPECT_EQ(msr(cpu, number), 0u) << std::hex << number;
    }
}

TEST_F(SimulatedProcessorTest, CountersAdvanceWithTheClockAtTheLoadsRatio)
{
    use({{phase(1000, 100, 42)}, {phase(1000, 50, 30)}, {}});
    for (unsigned cpu = 0; cpu < SimulatedProcessor::kCPUCount; ++cpu) {
        EXPECT_EQ(msr(cpu, 0xE7), 0u);
        EXPECT_EQ(msr(cpu, 0xE8), 0u);
    }

    advance(kSecond);
    // Busy all the time at 42: MPERF at 4 GHz, APERF at 4.2 GHz.
    EXPECT_EQ(msr(0, 0xE7), 4'000'000'000u);
    EXPECT_EQ(msr(0, 0xE8), 4'200'000'000u);
    // Busy half the time at 30.
    EXPECT_EQ(msr(1, 0xE7), 2'000'000'000u);
    EXPECT_EQ(msr(1, 0xE8), 1'500'000'000u);
    // Idle: neither counts.
    EXPECT_EQ(msr(2, 0xE7), 0u);
    EXPECT_EQ(msr(2, 0xE8), 0u);
    // CPU 3 runs CPU 0's load again.
    EXPECT_EQ(msr(3, 0xE8), msr(0, 0xE8));
    // The time stamp counter runs at the base frequency on every CPU, busy or not.
    for (unsigned cpu = 0; cpu < SimulatedProcessor::kCPUCount; ++cpu)
        EXPECT_EQ(msr(cpu, 0x10), 4'000'000'000u);

    const uint64_t m0 = msr(1, 0xE7), a0 = msr(1, 0xE8);
    advance(100 * kMs);
    EXPECT_EQ(40.0 * static_cast<double>(msr(1, 0xE8) - a0) / static_cast<double>(msr(1, 0xE7) - m0), 30.0);
    // Reading again without moving the clock gives the same values.
    EXPECT_EQ(msr(1, 0xE8), msr(1, 0xE8));
}

TEST_F(SimulatedProcessorTest, PhasesRepeatAndSetTheCurrentRatioAndVoltage)
{
    use({{phase(1000, 100, 42), phase(1000, 0, 8)}});

    advance(500 * kMs);
    uint64_t status = msr(0, 0x198);
    EXPECT_EQ(bits(status, 15, 8), 42u);
    EXPECT_EQ(bits(status, 47, 32), SimulatedProcessor::voltageIdentifier(42));

    advance(1000 * kMs); // 1.5 s: idle phase
    EXPECT_EQ(msr(0, 0xE7), 4'000'000'000u);
    EXPECT_EQ(msr(0, 0xE8), 4'200'000'000u);
    status = msr(0, 0x198);
    EXPECT_EQ(bits(status, 15, 8), 8u);
    EXPECT_LT(bits(status, 47, 32), SimulatedProcessor::voltageIdentifier(42));

    advance(1000 * kMs); // 2.5 s: half a second into the second cycle
    EXPECT_EQ(msr(0, 0xE7), 6'000'000'000u);
    EXPECT_EQ(msr(0, 0xE8), 6'300'000'000u);

    // Plausible core voltages: 0.6 V to 1.4 V.
    for (uint32_t ratio : {8u, 40u, 42u}) {
        const double volts = SimulatedProcessor::voltageIdentifier(ratio) / 8192.0;
        EXPECT_GT(volts, 0.6);
        EXPECT_LT(volts, 1.4);
    }
}

TEST_F(SimulatedProcessorTest, TheDefaultLoadDiffersFromCPUToCPU)
{
    std::set<uint64_t> aperfs;
    std::set<long> ratios;
    uint64_t oldA[8] = {}, oldM[8] = {};
    for (int tick = 0; tick < 40; ++tick) {
        advance(100 * kMs);
        for (unsigned cpu = 0; cpu < SimulatedProcessor::kCPUCount; ++cpu) {
            const uint64_t a = msr(cpu, 0xE8), m = msr(cpu, 0xE7);
            ASSERT_GE(a, oldA[cpu]);
            ASSERT_GE(m, oldM[cpu]);
            // MPERF never runs faster than the base frequency.
            EXPECT_LE(m - oldM[cpu], 400'000'000u);
            if (m > oldM[cpu]) {
                const double ratio = 40.0 * static_cast<double>(a - oldA[cpu]) / static_cast<double>(m - oldM[cpu]);
                EXPECT_GE(ratio, 8.0);
                EXPECT_LE(ratio, 42.0);
                ratios.insert(std::lround(ratio));
            }
            oldA[cpu] = a;
            oldM[cpu] = m;
        }
    }
    for (unsigned cpu = 0; cpu < SimulatedProcessor::kCPUCount; ++cpu)
        aperfs.insert(oldA[cpu]);
    EXPECT_EQ(aperfs.size(), SimulatedProcessor::kCPUCount);
    EXPECT_GE(ratios.size(), 5u);
}

TEST_F(SimulatedProcessorTest, EnergyCountersGrowWithThePowerTheLoadDraws)
{
    use({{phase(1000, 100, 40)}, {}, {}, {}, {phase(1000, 50, 40)}, {}, {}, {}});
    advance(kSecond);
    // 5 W and 2.5 W of cores, 3 W of uncore, for one second, in 2^-14 J.
    const uint64_t cores = 7500 * 16384 / 1000;
    EXPECT_EQ(msr(0, 0x639), cores);
    EXPECT_EQ(msr(0, 0x611), (7500 + SimulatedProcessor::kUncoreMilliwatts) * 16384 / 1000);
    EXPECT_EQ(msr(5, 0x611), msr(0, 0x611)); // package-wide
    EXPECT_EQ(SimulatedProcessor::milliwatts(phase(1, 100, 40)), 5000u);
}

TEST_F(SimulatedProcessorTest, EnergyCountersWrapAt32Bits)
{
    use({});
    // Idle package: 3 W wraps the counter after 2^32 / 2^14 / 3 = 87381.33 s.
    advance(87000 * kSecond);
    const uint64_t before = msr(0, 0x611);
    advance(1000 * kSecond);
    const uint64_t after = msr(0, 0x611);
    EXPECT_LT(after, before);
    EXPECT_LE(after, 0xFFFFFFFFu);
    EXPECT_EQ((after - before) & 0xFFFFFFFF, 3000ull * 1000 * 16384 / 1000);
    EXPECT_EQ(msr(0, 0x639), 0u); // idle cores draw nothing
}

TEST_F(SimulatedProcessorTest, TemperaturesFollowTheLoadOfEachCoresThreads)
{
    // Core 0 (CPUs 0 and 4) flat out, the others idle.
    use({{phase(1000, 100, 42)}, {}, {}, {}, {phase(1000, 100, 42)}, {}, {}, {}});
    advance(10 * kSecond);
    const uint64_t hot = msr(0, 0x19C);
    EXPECT_EQ(bits(hot, 31, 31), 1u);
    EXPECT_EQ(bits(hot, 22, 16), 100u - SimulatedProcessor::settledTemperature(100, 100));
    EXPECT_EQ(msr(4, 0x19C), hot); // the sibling shares the core's sensor
    const uint64_t cold = msr(1, 0x19C);
    EXPECT_EQ(bits(cold, 22, 16), 100u - SimulatedProcessor::kIdleTemperature);
    // The package reports its hottest core.
    EXPECT_EQ(bits(msr(3, 0x1B1), 22, 16), bits(hot, 22, 16));
    EXPECT_EQ(bits(msr(3, 0x1B1), 31, 31), 1u);
}

TEST_F(SimulatedProcessorTest, TemperatureRisesWithALagWhenTheLoadSteps)
{
    use({{phase(10000, 0, 8), phase(10000, 100, 42)}});
    advance(9 * kSecond);
    const uint64_t idleReadout = bits(msr(0, 0x19C), 22, 16);
    uint64_t previous = idleReadout;
    advance(1 * kSecond); // the step
    for (int i = 0; i < 6; ++i) {
        advance(400 * kMs);
        const uint64_t readout = bits(msr(0, 0x19C), 22, 16);
        EXPECT_LT(readout, previous) << "warming, step " << i; // hotter: less below the target
        previous = readout;
    }
    advance(6 * kSecond);
    const uint64_t settled = bits(msr(0, 0x19C), 22, 16);
    EXPECT_EQ(settled, 100u - SimulatedProcessor::settledTemperature(100, 100));
    EXPECT_LT(settled, previous);
}

TEST_F(SimulatedProcessorTest, LoadsAreKeptWithinWhatTheRegistersCanHold)
{
    use({{phase(0, 100, 42), phase(1000, 150, 300)}, {}});
    advance(kSecond);
    EXPECT_EQ(msr(0, 0xE7), 4'000'000'000u);          // busy counts as 100 %
    EXPECT_EQ(bits(msr(0, 0x198), 15, 8), 255u);      // ratio 255
    EXPECT_EQ(msr(1, 0xE7), 0u);                      // an empty cycle is idle
    EXPECT_EQ(bits(msr(1, 0x198), 15, 8), SimulatedProcessor::kMinimumRatio);
}

TEST_F(SimulatedProcessorTest, SaysItIsSimulated)
{
    EXPECT_STREQ(processor->description(), "simulated");
    EXPECT_TRUE(processor->isSimulated());
    EXPECT_EQ(processor->cpuCount(), 8u);
}

TEST_F(SimulatedProcessorTest, AThreadOutsideTheRendezvousStandsForTheCPUItRunsOn)
{
    cpu_set_t saved;
    CPU_ZERO(&saved);
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    advance(1234 * kMs);
    for (int id = 0; id < CPU_SETSIZE; ++id) {
        if (!CPU_ISSET(id, &saved))
            continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(id, &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        const unsigned cpu = static_cast<unsigned>(id) % 8;
        EXPECT_EQ(processor->currentCPU(), cpu);
        EXPECT_EQ(processor->rdmsr(0xE8), msr(cpu, 0xE8));
        processor->wrmsr(0x8B, 0);
        EXPECT_EQ(msr(cpu, 0x8B), 0u);
        uint32_t regs[4];
        processor->cpuid(1, 0, regs);
        EXPECT_EQ(regs[1] >> 24, cpuid(1, 0, cpu).ebx >> 24);
        EXPECT_EQ(msr(cpu, 0x8B) >> 32, SimulatedProcessor::kMicrocodeVersion);
    }
    sched_setaffinity(0, sizeof saved, &saved);
}

} // namespace
} // namespace sim
