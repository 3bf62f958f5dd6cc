// The simulated processor (ids, registers, rendezvous, counters and temperatures) and ACPI namespace.

#include "kext/platform/OSArray.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"
#include "sim/SimulatedACPI.h"
#include "sim/SimulatedProcessor.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace sim {
namespace {

using namespace vennix;

constexpr uint64_t kMs = 1000000, kS = 1000000000;

LoadPhase phase(uint64_t ms, uint32_t busyPercent, uint32_t ratio) { return {ms * kMs, busyPercent, ratio}; }
uint64_t bits(uint64_t value, unsigned high, unsigned low) { return value >> low & ((2ull << (high - low)) - 1); }

class SimulatedProcessorTest : public ::testing::Test {
protected:
    std::array<uint32_t, 4> cpuid(uint32_t leaf, unsigned cpu = 0, uint32_t subleaf = 0)
    {
        std::array<uint32_t, 4> regs;
        processor->cpuidOn(cpu, leaf, subleaf, regs.data());
        return regs;
    }
    uint64_t msr(unsigned cpu, uint32_t number) { return processor->rdmsrOn(cpu, number); }
    void use(std::vector<LoadCycle> load) { processor = std::make_unique<SimulatedProcessor>(clock, std::move(load)); }
    void advance(uint64_t nanoseconds) { clock.advanceNanoseconds(nanoseconds); }

    ManualClock clock;
    std::unique_ptr<SimulatedProcessor> processor = std::make_unique<SimulatedProcessor>(clock);
};

TEST_F(SimulatedProcessorTest, EachCPUHasItsOwnIdsAndRegistersAndARendezvousRunsEachOnceAtOneLaterInstant)
{
    struct Run { SimulatedProcessor* processor; ManualClock* clock; uint64_t tsc[8], signature[8], id[8]; };
    EXPECT_TRUE(processor->isSimulated() && processor->cpuCount() == 8 && processor->microcodeRevision() == 0xD6);
    EXPECT_EQ(cpuid(0xB, 0)[1] * 100 + cpuid(0xB, 0, 1)[1], 208u); // 2 threads a core, 8 in the package
    EXPECT_TRUE(cpuid(0x17) == cpuid(0x16) && cpuid(0x80000009) == cpuid(0x16)); // beyond the last: the last basic
    std::set<uint32_t> ids;
    for (unsigned cpu = 0; cpu < 8; ++cpu) {
        const uint32_t id = cpuid(1, cpu)[1] >> 24;
        EXPECT_TRUE(cpuid(0xB, cpu)[3] == id && cpuid(0xB, cpu, 1)[3] == id);
        EXPECT_EQ(id >> 1, cpuid(0xB, cpu % 4)[3] >> 1) << "threads n and n + 4 share a core";
        ids.insert(id);
        processor->wrmsrOn(cpu, 0x8B, 0xB0 + cpu); // until the CPU executes leaf 1 again
    }
    EXPECT_EQ(ids.size(), 8u);
    uint64_t previous = 0;
    for (int round = 0; round < 4; ++round) {
        Run run{processor.get(), round % 2 ? nullptr : &clock, {}, {}, {}};
        processor->rendezvous(
            [](void* argument) {
                auto* r = static_cast<Run*>(argument);
                if (r->clock)
                    r->clock->advanceNanoseconds(kMs);
                const unsigned cpu = r->processor->currentCPU();
                uint32_t regs[4];
                r->tsc[cpu] += r->processor->rdmsr(0x10);
                r->signature[cpu] += r->processor->rdmsr(0x8B);
                r->processor->cpuid(1, 0, regs);
                r->id[cpu] += regs[1] >> 24;
                r->processor->rendezvous(+[](void*) {}, argument); // from inside a run: refused
            },
            &run);
        for (unsigned cpu = 0; cpu < 8; ++cpu) // MSR 0x8B loaded by each CPU's leaf 1 after the first round
            EXPECT_TRUE(run.tsc[cpu] == run.tsc[0] && run.id[cpu] == cpuid(1, cpu)[1] >> 24
                && run.signature[cpu] == (round ? uint64_t{0xD6} << 32 : 0xB0 + cpu)) << cpu;
        EXPECT_GT(run.tsc[0], previous) << "round " << round;
        previous = run.tsc[0];
    }
}

TEST_F(SimulatedProcessorTest, PackageRegistersAndWhatWritesChange)
{
    for (auto [number, high, low, value] : std::initializer_list<std::tuple<uint32_t, unsigned, unsigned, uint64_t>>{
             {0xCE, 15, 8, 40}, {0xCE, 47, 40, 8}, {0xCE, 28, 28, 1}, {0x1A2, 23, 16, 100}, {0x606, 12, 8, 14},
             {0xE2, 3, 0, 8}, {0x64C, 63, 0, 40}, {0x620, 14, 8, 8}, {0x620, 6, 0, 41}, {0x1AD, 63, 0, 0x28292A2A},
             {0x35, 63, 0, 0x40008}, {0x17, 52, 50, 1}})
        for (unsigned cpu = 0; cpu < 8; ++cpu) // the same on every CPU
            EXPECT_EQ(bits(msr(cpu, number), high, low), value) << std::hex << number << " CPU " << cpu;
    advance(5 * kS);
    for (uint32_t number : {0x0u, 0x199u, 0x1A0u, 0x610u, 0xC0000080u, 0xFFFFFFFFu})
        EXPECT_EQ(msr(7, number), 0u) << std::hex << number;
    // Writes with reserved bits set are refused; read-only and unknown registers drop writes.
    for (auto [cpu, number, value] : {std::tuple{3u, 0x1ADu, 0x25262728ull}, {0u, 0x1ADu, 0x1'2A2A2A2Aull},
             {1u, 0x620u, 0x0A20ull}, {1u, 0x620u, 0x8000ull}, {0u, 0xCEu, 0ull}, {0u, 0x1234u, 99ull}})
        processor->wrmsrOn(cpu, number, value);
    EXPECT_TRUE(msr(6, 0x1AD) == 0x25262728 && msr(6, 0x620) == 0x0A20 && bits(msr(0, 0xCE), 15, 8) == 40);
    EXPECT_EQ(msr(0, 0x1234), 0u);
}

TEST_F(SimulatedProcessorTest, CountersEnergyAndTemperaturesFollowTheClockAndTheLoad)
{
    use({{phase(1000, 100, 42), phase(1000, 0, 8)}, {phase(1000, 50, 30)}, {},
        {phase(0, 100, 42), phase(1000, 150, 300)}});
    advance(500 * kMs);
    EXPECT_EQ(msr(0, 0x198), uint64_t{SimulatedProcessor::voltageIdentifier(42)} << 32 | 42 << 8);
    advance(1000 * kMs); // 1.5 s: CPU 0 idle at ratio 8
    EXPECT_EQ(msr(0, 0x198), uint64_t{SimulatedProcessor::voltageIdentifier(8)} << 32 | 8 << 8);
    // A second at 42 then idle, half the time at 30, idle, busy 100 % at ratio 255, CPU 0's load again.
    for (auto [cpu, mperf, aperf] : {std::tuple{0u, 4 * kS, 42 * kS / 10}, {1u, 3 * kS, 225 * kS / 100},
             {2u, 0 * kS, 0 * kS}, {3u, 6 * kS, 6 * kS * 255 / 40}, {4u, 4 * kS, 42 * kS / 10}}) {
        EXPECT_TRUE(msr(cpu, 0xE7) == mperf && msr(cpu, 0xE8) == aperf) << "CPU " << cpu;
        EXPECT_EQ(msr(cpu, 0x10), 6 * kS); // the TSC at the base frequency, busy or not
    }
    EXPECT_EQ(bits(msr(2, 0x198), 15, 8), 8u); // an empty cycle is idle at the minimum ratio
    advance(1000 * kMs); // 2.5 s: half a second into the second cycle
    EXPECT_TRUE(msr(0, 0xE7) == 6 * kS && msr(0, 0xE8) == 63 * kS / 10);

    // Core 0 (CPUs 0 and 4) steps from idle to flat out at 10 s; CPU 1 draws 2.5 W from the start.
    const LoadCycle step = {phase(10000, 0, 8), phase(10000, 100, 40)};
    use({step, {phase(1000, 50, 40)}, {}, {}, step, {}, {}, {}});
    advance(kS); // 2.5 W of cores and 3 W of uncore for one second, in 2^-14 J
    EXPECT_TRUE(msr(0, 0x639) == 2500u * 16384 / 1000 && msr(5, 0x611) == 5500u * 16384 / 1000);
    advance(9 * kS);
    uint64_t previous = bits(msr(0, 0x19C), 22, 16);
    EXPECT_EQ(previous, 100u - SimulatedProcessor::kIdleTemperature);
    for (int i = 0; i < 6; ++i) { // warming with a lag: less below the target at each step
        advance(400 * kMs);
        EXPECT_LT(bits(msr(0, 0x19C), 22, 16), std::exchange(previous, bits(msr(0, 0x19C), 22, 16))) << i;
    }
    advance(6 * kS);
    const uint64_t hot = msr(4, 0x19C); // the sibling shares the core's sensor
    EXPECT_TRUE(hot == msr(0, 0x19C) && bits(hot, 31, 27) == 0b10001); // valid, one-degree resolution
    const double busy = SimulatedProcessor::heat(step[1]);
    EXPECT_EQ(bits(hot, 22, 16), 100u - SimulatedProcessor::settledTemperature(busy, busy));
    EXPECT_EQ(bits(msr(2, 0x19C), 22, 16), 100u - SimulatedProcessor::kIdleTemperature);
    EXPECT_EQ(msr(3, 0x1B1), hot); // the package reports its hottest core

    use({}); // an idle package's 3 W wraps the 32-bit counter after 2^32 / 2^14 / 3 = 87381.33 s
    advance(87000 * kS);
    const uint64_t before = msr(0, 0x611);
    advance(1000 * kS);
    EXPECT_TRUE(msr(0, 0x611) < before && ((msr(0, 0x611) - before) & 0xFFFFFFFF) == 3000ull * 16384);
}

TEST(SimulatedACPITest, TheEmbeddedControllersAnswersAndRefusals)
{
    // What the service's operations see of the namespace is tested through them; here what they do not.
    SimulatedACPI acpi;
    const char* ec = SimulatedACPI::kECPath;
    OSObject* result = nullptr;
    OSNumber* one = OSNumber::withNumber(1, 64);
    OSObject* eight[8] = {one, one, one, one, one, one, one, one};
    auto answer = [&](const char* method) {
        OSSafeReleaseNULL(result);
        return acpi.evaluateObject(ec, method, nullptr, 0, &result) == kIOReturnSuccess ? result : nullptr;
    };
    EXPECT_TRUE(OSDynamicCast<OSString>(answer("NAME"))->isEqualTo("Simulated EC"));
    EXPECT_EQ(OSDynamicCast<OSNumber>(answer("TEMP"))->unsigned64BitValue(), 3132u); // 40.05 C in tenths of a kelvin
    acpi.setTemperature(3232);
    EXPECT_EQ(OSDynamicCast<OSNumber>(answer("TEMP"))->unsigned64BitValue(), 3232u);
    const auto* package = OSDynamicCast<OSArray>(answer("PKG0"));
    EXPECT_TRUE(package->getCount() == 2 && OSDynamicCast<OSNumber>(package->getObject(0))->unsigned64BitValue() == 42);
    EXPECT_TRUE(OSDynamicCast<OSString>(package->getObject(1))->isEqualTo("Qarn"));
    OSSafeReleaseNULL(result);
    OSObject* nulls[1] = {};
    for (auto [method, count, params] : {std::tuple{"SETV", 8u, eight}, {"SETV", 1u, static_cast<OSObject**>(nullptr)},
             {"SETV", 1u, nulls}, {"_sta", 0u, eight}, {static_cast<const char*>(nullptr), 0u, eight}})
        EXPECT_TRUE(acpi.evaluateObject(ec, method, params, count, &result) == kIOReturnBadArgument && !result);
    EXPECT_TRUE(acpi.evaluationCount() == 4 && acpi.isSimulated()); // only those that reached a method count
    EXPECT_FALSE(acpi.deviceExists((std::string(ec) + " ").c_str()) || acpi.deviceExists(nullptr));
    const char* battery = "IOACPIPlane:/_SB/BAT0";
    auto fail = [](OSObject* const*, OSObject** out) { return *out = OSNumber::withNumber(1, 64), kIOReturnError; };
    EXPECT_FALSE(acpi.defineMethod(battery, "FAIL", 7, fail)); // no such device yet
    ASSERT_TRUE(acpi.addDevice(battery) && acpi.defineMethod(battery, "FAIL", 7, fail));
    EXPECT_FALSE(acpi.addDevice(battery) || acpi.addDevice("IOACPIPlane:/bad")
        || acpi.defineMethod(battery, "TOOLONG", 0, fail) || acpi.defineMethod(battery, "ARGS", 8, fail)
        || acpi.defineMethod(battery, "NULL", 0, nullptr));
    EXPECT_TRUE(acpi.evaluateObject(battery, "FAIL", eight, 7, &result) == kIOReturnError && !result); // not handed out
    EXPECT_EQ(acpi.evaluateObject(battery, "_STA", nullptr, 0, &result), kIOReturnNotFound); // the controller's
    one->release();
}

} // namespace
} // namespace sim
