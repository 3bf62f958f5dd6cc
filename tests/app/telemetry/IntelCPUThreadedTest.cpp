// IntelCPU on the real user client and services, over a processor whose registers each test
// sets: creation and its failures, reads and writes on one or all CPUs, and the derived
// figures with their history.

#include "ScriptedMachine.h"

#include "telemetry/IntelCPU.h"

#include "protocol/AccessorTypes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace qarn {
namespace {

using test::ScriptedMachine;
using vennix::kIOReturnSuccess;

constexpr uint32_t kPlatformInfo = 0xCE;
constexpr uint32_t kMPerf = 0xE7;
constexpr uint32_t kAPerf = 0xE8;
constexpr uint32_t kPerfStatus = 0x198;
constexpr uint32_t kThermStatus = 0x19C;
constexpr uint32_t kTemperatureTarget = 0x1A2;
constexpr uint32_t kTurboRatioLimit = 0x1AD;
constexpr uint32_t kPackageThermStatus = 0x1B1;
constexpr uint32_t kRaplPowerUnit = 0x606;
constexpr uint32_t kPkgEnergyStatus = 0x611;
constexpr uint32_t kPP0EnergyStatus = 0x639;

constexpr uint64_t kReadingValid = uint64_t{1} << 31;

uint64_t thermStatus(uint64_t readout, bool valid = true)
{
    return (valid ? kReadingValid : 0) | (readout << 16);
}

// ---- creation -------------------------------------------------------------------------------

TEST(IntelCPUCreate, OpensTheServiceAndCopiesTheCounts)
{
    ScriptedMachine machine(8, 4);
    auto cpu = machine.cpu();
    ASSERT_TRUE(cpu);
    EXPECT_EQ(cpu->numberOfCPUs(), 8);
    EXPECT_EQ(cpu->numberOfCores(), 4);
    EXPECT_STREQ(cpu->info().cpuid_vendor, "GenuineIntel");
    EXPECT_EQ(machine.log->opened, 1);
    EXPECT_EQ(machine.log->closed, 0);
    // Only the record was asked for: no MSR read at creation.
    const auto calls = machine.log->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].selector, vennix::kAccessorMethodGetInfo);
    EXPECT_EQ(calls[0].outputRoom, 464u);

    cpu.reset();
    EXPECT_EQ(machine.log->closed, 1) << "destroying the accessor closes its connection";
}

TEST(IntelCPUCreate, NullWhenTheServiceIsMissingRefusesToOpenOrWithholdsTheRecord)
{
    struct Case {
        const char* service; // what the name "Vennix" finds
        int opened;          // connections opened (each must be closed again)
    };
    // H_ECAccessor has no user client, so opening it is refused; ACPIAccessor opens but does
    // not answer selector 0.
    for (const Case& c : {Case{"NoSuchService", 0}, Case{"H_ECAccessor", 0}, Case{"ACPIAccessor", 1}}) {
        ScriptedMachine machine(4, 2, 0, {{"Vennix", c.service}});
        // The services' own lines go to the machine's capture; anything else written shows.
        ::testing::internal::CaptureStderr();
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(machine.cpu()) << c.service;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << c.service;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.service;
        EXPECT_EQ(machine.log->opened, c.opened) << c.service;
        EXPECT_EQ(machine.log->closed, c.opened) << c.service;
    }
}

// ---- reads and writes -----------------------------------------------------------------------

class IntelCPUAccess : public ::testing::Test {
protected:
    ScriptedMachine machine{8, 4};
    std::shared_ptr<IntelCPU> cpu = machine.cpu();
};

TEST_F(IntelCPUAccess, SingleReadsComeFromTheCallingCPU)
{
    ASSERT_TRUE(cpu);
    machine.processor->set(2, kThermStatus, 0x2222);
    machine.processor->set(5, kThermStatus, 0x5555);
    machine.processor->setCallingCPU(2);
    EXPECT_EQ(cpu->getMSR(kThermStatus), 0x2222u);
    machine.processor->setCallingCPU(5);
    EXPECT_EQ(cpu->getMSR(kThermStatus), 0x5555u);
    EXPECT_EQ(cpu->getMSR(0x12345), 0u) << "an MSR the processor does not have reads 0";
}

TEST_F(IntelCPUAccess, BatchOnTheCallingCPUKeepsTheOrderOfTheNumbers)
{
    ASSERT_TRUE(cpu);
    machine.processor->setAll(kPerfStatus, 0x1C00);
    machine.processor->setAll(kPlatformInfo, 0x80000000'00001800);
    machine.processor->setAll(kAPerf, 77);
    const uint32_t msrs[] = {kAPerf, kPlatformInfo, kPerfStatus};
    uint64_t values[3] = {1, 1, 1};
    EXPECT_EQ(cpu->getMSRs(msrs, values, 3), kIOReturnSuccess);
    EXPECT_EQ(values[0], 77u);
    EXPECT_EQ(values[1], 0x80000000'00001800u);
    EXPECT_EQ(values[2], 0x1C00u);

    const auto batches = machine.batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].count, 3u);
    EXPECT_EQ(batches[0].cpus, 1u);
    EXPECT_EQ(batches[0].inputSize, 8u + 4 * 3);
    EXPECT_EQ(batches[0].outputRoom, 16u + 8 * 3);
}

TEST_F(IntelCPUAccess, ABatchOfNoMSRsSendsOnlyTheHeader)
{
    ASSERT_TRUE(cpu);
    EXPECT_EQ(cpu->getMSRs(nullptr, nullptr, 0), kIOReturnSuccess);
    const auto batches = machine.batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].count, 0u);
    EXPECT_EQ(batches[0].inputSize, 8u);
}

TEST_F(IntelCPUAccess, AllCPUBatchFillsOneRowPerCPU)
{
    ASSERT_TRUE(cpu);
    for (unsigned n = 0; n < 8; ++n) {
        machine.processor->set(n, kAPerf, 1000 + n);
        machine.processor->set(n, kMPerf, 2000 + n);
    }
    machine.clock->set(1700000000, 250000);
    const uint32_t msrs[] = {kAPerf, kMPerf};
    // Room for 16 CPUs; the machine has 8.
    MSRBatch result(2, 16);
    EXPECT_EQ(cpu->getMSRs(msrs, result, 2, 16), kIOReturnSuccess);
    EXPECT_EQ(result.cpus(), 8u);
    EXPECT_DOUBLE_EQ(result.time(), 1700000000.25);
    for (uint32_t n = 0; n < 8; ++n) {
        EXPECT_EQ(result.value(n, 0), 1000 + n);
        EXPECT_EQ(result.value(n, 1), 2000 + n);
    }
    EXPECT_EQ(result.value(8, 0), 0u) << "a row nobody read";

    machine.log->failBatches = true;
    EXPECT_NE(cpu->getMSRs(msrs, result, 2, 16), kIOReturnSuccess);
    EXPECT_EQ(result.cpus(), 0u) << "the earlier reply is gone";
    uint64_t value = 99;
    EXPECT_NE(cpu->getMSRs(msrs, &value, 1), kIOReturnSuccess);
    EXPECT_EQ(value, 0u);
}

TEST_F(IntelCPUAccess, ABatchLargerThanItsRoomIsRefusedWithoutACall)
{
    ASSERT_TRUE(cpu);
    const uint32_t msrs[] = {kAPerf, kMPerf};
    MSRBatch small(2, 8);
    machine.log->clear();
    EXPECT_EQ(cpu->getMSRs(msrs, small, 2, 0x80000000u), vennix::kIOReturnBadArgument);
    EXPECT_EQ(cpu->getMSRs(msrs, small, 1, 8), vennix::kIOReturnBadArgument) << "a batch made for 2 MSRs";
    EXPECT_TRUE(machine.batches().empty());
}

TEST_F(IntelCPUAccess, SetMSRWritesTheCallingCPUAndSetAllMSRsEveryCPU)
{
    ASSERT_TRUE(cpu);
    machine.processor->setCallingCPU(3);
    EXPECT_EQ(cpu->setMSR(0x620, 0x0C28), kIOReturnSuccess);
    for (unsigned n = 0; n < 8; ++n)
        EXPECT_EQ(machine.processor->valueOn(n, 0x620), n == 3 ? 0x0C28u : 0u) << "CPU " << n;

    EXPECT_EQ(cpu->setAllMSRs(0x1AD, 0x25262728), kIOReturnSuccess);
    for (unsigned n = 0; n < 8; ++n)
        EXPECT_EQ(machine.processor->valueOn(n, 0x1AD), 0x25262728u) << "CPU " << n;
    EXPECT_EQ(machine.processor->rendezvousRuns(), 1u);

    // The write list as it crosses: four scalars, the CPU count second.
    const uint64_t list[] = {1, 2, 0x199, 0x1F00};
    EXPECT_EQ(cpu->setMSRs(list, 4), kIOReturnSuccess);
    EXPECT_EQ(machine.processor->valueOn(0, 0x199), 0x1F00u);
    EXPECT_EQ(machine.processor->valueOn(1, 0x199), 0x1F00u);
    EXPECT_EQ(machine.processor->valueOn(2, 0x199), 0u);
}

TEST_F(IntelCPUAccess, BaseAndTurboMultipliers)
{
    ASSERT_TRUE(cpu);
    machine.processor->setAll(kPlatformInfo, 0x70012800'0000A400); // 15:8 = 0xA4 (all eight bits)
    machine.processor->setAll(kTurboRatioLimit, 0x25262728);
    EXPECT_EQ(cpu->baseMultiplier(), 0xA4);
    EXPECT_EQ(cpu->turboMultiplier(), 0x28);
}

TEST(IntelCPURatios, AMachineOfMoreThanFortyCPUsIsClamped)
{
    // The record says 48 threads; the rendezvous has 4.
    ScriptedMachine machine(4, 24, 48);
    auto cpu = machine.cpu();
    ASSERT_TRUE(cpu);
    EXPECT_EQ(cpu->numberOfCPUs(), 48);
    EXPECT_EQ(cpu->getRatios().size(), 40u);
    machine.processor->setAll(kPerfStatus, 0x2400);
    machine.processor->setAll(kTurboRatioLimit, 36);
    cpu->frequencies();
    const auto batches = machine.batches();
    ASSERT_FALSE(batches.empty());
    EXPECT_EQ(batches.back().cpus, 40u) << "the metric batches ask for at most forty CPUs";
}

// ---- derived figures ------------------------------------------------------------------------

class IntelCPUMetrics : public ::testing::Test {
protected:
    ScriptedMachine machine{4, 2};
    std::shared_ptr<IntelCPU> cpu = machine.cpu();
    test::ScriptedProcessor& processor = *machine.processor;
};

TEST_F(IntelCPUMetrics, RingAverageClimbsOverItsFirstEightCalls)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kPlatformInfo, 24 << 8);
    processor.setAll(kTurboRatioLimit, 30); // keeps the smoothed ratio below 1 for these calls
    processor.setAll(kPerfStatus, 36 << 8);
    double smoothed = 0.0;
    for (int call = 1; call <= 10; ++call) {
        const auto [average, maximum] = cpu->frequencies();
        EXPECT_DOUBLE_EQ(average, 36.0 * std::min(call, 8) / 8.0) << "call " << call;
        EXPECT_DOUBLE_EQ(maximum, 36.0) << "call " << call;
        smoothed = (10 * smoothed + 36.0 / 30.0) / 11;
        const auto ratios = cpu->getRatios();
        ASSERT_EQ(ratios.size(), 4u);
        for (double r : ratios)
            EXPECT_DOUBLE_EQ(r, smoothed) << "call " << call;
    }
}

TEST_F(IntelCPUMetrics, SlotHoldsTheMeanOverTheCPUs)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kPlatformInfo, 24 << 8);
    processor.setAll(kTurboRatioLimit, 40);
    const uint64_t ratios[] = {20, 30, 40, 50};
    for (unsigned n = 0; n < 4; ++n)
        processor.set(n, kPerfStatus, ratios[n] << 8);
    const auto [average, maximum] = cpu->frequencies();
    EXPECT_DOUBLE_EQ(average, 35.0 / 8.0);
    EXPECT_DOUBLE_EQ(maximum, 35.0);
    const auto batches = machine.batches();
    // The two single reads, then the batch on forty CPUs.
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(batches[0].cpus, 1u);
    EXPECT_EQ(batches[1].cpus, 1u);
    EXPECT_EQ(batches[2].count, 3u);
    EXPECT_EQ(batches[2].cpus, 40u);
    EXPECT_EQ(batches[2].outputRoom, 16u + 8 * 3 * 40);
}

TEST_F(IntelCPUMetrics, MeasuredRatioOnceTheSmoothedRatioPassesOne)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kPlatformInfo, 24 << 8);
    processor.setAll(kTurboRatioLimit, 12); // 36 / 12 = 3: the smoothed ratio passes 1 soon
    processor.setAll(kPerfStatus, 36 << 8);
    double smoothed = 0.0;
    double slots[8] = {};
    for (int call = 0; call < 8; ++call) {
        processor.setAll(kAPerf, 1500000ull * (call + 1));
        processor.setAll(kMPerf, 2000000ull * (call + 1));
        const double r = smoothed > 1.0 ? 24.0 * 0.75 : 36.0;
        smoothed = (10 * smoothed + r / 12.0) / 11;
        slots[call] = r;
        const auto [average, maximum] = cpu->frequencies();
        double sum = 0.0;
        for (double s : slots)
            sum += s;
        EXPECT_DOUBLE_EQ(average, sum / 8.0) << "call " << call;
        EXPECT_DOUBLE_EQ(maximum, 36.0);
    }
    EXPECT_EQ(slots[4], 36.0);
    EXPECT_EQ(slots[5], 18.0) << "the sixth call measures: 24 x 1.5M / 2M";
}

TEST_F(IntelCPUMetrics, TurboOfZeroMakesTheRatioInfiniteAndTheNextSampleMeasured)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kPlatformInfo, 24 << 8);
    processor.setAll(kTurboRatioLimit, 0);
    processor.setAll(kPerfStatus, 36 << 8);
    processor.setAll(kAPerf, 3000000);
    processor.setAll(kMPerf, 2000000);
    cpu->frequencies();
    for (double r : cpu->getRatios())
        EXPECT_TRUE(std::isinf(r));
    processor.setAll(kAPerf, 4500000);
    processor.setAll(kMPerf, 4000000);
    const auto [average, maximum] = cpu->frequencies();
    EXPECT_DOUBLE_EQ(average, (36.0 + 18.0) / 8.0);
    EXPECT_DOUBLE_EQ(maximum, 36.0);
}

TEST_F(IntelCPUMetrics, CountersThatStandStillGiveNoNaN)
{
    ASSERT_TRUE(cpu);
    auto noNaN = [&](const char* when) {
        const auto [average, maximum] = cpu->frequencies();
        EXPECT_FALSE(std::isnan(average) || std::isnan(maximum) || std::isnan(cpu->latestFrequency())) << when;
        for (double r : cpu->getRatios())
            EXPECT_FALSE(std::isnan(r)) << when;
    };
    // A guest that refuses the registers: everything reads 0, turbo ratio included.
    for (int call = 0; call < 3; ++call)
        noNaN("every register 0");

    // Once the smoothed ratio passes 1 the measured path is taken; then MPERF stands still.
    processor.setAll(kPlatformInfo, 24 << 8);
    processor.setAll(kTurboRatioLimit, 12);
    processor.setAll(kPerfStatus, 36 << 8);
    for (int call = 1; call <= 12; ++call) {
        processor.setAll(kAPerf, 1500000ull * call);
        processor.setAll(kMPerf, 2000000ull * call);
        cpu->frequencies();
    }
    ASSERT_GT(cpu->getRatios()[0], 1.0);
    for (int call = 0; call < 3; ++call)
        noNaN("MPERF standing still");
    EXPECT_DOUBLE_EQ(cpu->latestFrequency(), 0.0) << "a CPU whose MPERF stood still ran at no ratio";
}

TEST(IntelCPURows, ARecordWithMoreThreadsThanCPUsCountsOnlyTheRowsRead)
{
    // The record says 8 threads; the service's processor has 4 CPUs (the others offline).
    ScriptedMachine machine(4, 4, 8);
    test::ScriptedProcessor& processor = *machine.processor;
    auto cpu = machine.cpu();
    ASSERT_TRUE(cpu);
    ASSERT_EQ(cpu->numberOfCPUs(), 8);
    processor.setAll(kRaplPowerUnit, 14 << 8);
    processor.setAll(kPerfStatus, uint64_t{8192} << 32 | 36 << 8); // 1 V
    processor.setAll(kTemperatureTarget, uint64_t{100} << 16);
    processor.setAll(kThermStatus, thermStatus(40));
    processor.setAll(kPkgEnergyStatus, 1000);
    machine.clock->set(1700000000, 0);
    cpu->powerConsumption();
    processor.setAll(kPkgEnergyStatus, 1000 + 16384);
    machine.clock->set(1700000001, 0);

    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), 1.0) << "a row nobody read has no energy unit";
    EXPECT_DOUBLE_EQ(cpu->sVIDs(), 1.0);
    EXPECT_DOUBLE_EQ(cpu->coreTemperatures(), 60.0);

    const uint32_t msrs[] = {kPerfStatus};
    MSRBatch reply(1, 8);
    ASSERT_EQ(cpu->getMSRs(msrs, reply, 1, 8), kIOReturnSuccess);
    EXPECT_EQ(reply.cpus(), 4u) << "the reply counts the rows the CPUs wrote";
}

TEST_F(IntelCPUMetrics, CoreVoltageIsTheMeanOverTheCPUs)
{
    ASSERT_TRUE(cpu);
    EXPECT_DOUBLE_EQ(cpu->sVIDs(), 0.0);
    const uint64_t vids[] = {8000, 8192, 6144, 0xFFFF};
    for (unsigned n = 0; n < 4; ++n)
        processor.set(n, kPerfStatus, 0xABCD0000'00002400 | (vids[n] << 32));
    const double expected = (8000 + 8192 + 6144 + 0xFFFF) / 8192.0 / 4;
    EXPECT_DOUBLE_EQ(cpu->sVIDs(), expected);
}

TEST_F(IntelCPUMetrics, CoreTemperaturesKeepTheLastValidReadingAndGoBelowZero)
{
    ASSERT_TRUE(cpu);
    // Target 100 with an offset of 5: the readout counts down from 100, the offset does not
    // move the scale.
    processor.setAll(kTemperatureTarget, (uint64_t{5} << 24) | (uint64_t{100} << 16));
    processor.set(0, kThermStatus, thermStatus(40));  // 60
    processor.set(1, kThermStatus, thermStatus(110)); // -10: above the target
    processor.set(2, kThermStatus, thermStatus(50));  // 50
    processor.set(3, kThermStatus, thermStatus(80));  // 20
    EXPECT_DOUBLE_EQ(cpu->coreTemperatures(), (60 - 10 + 50 + 20) / 4.0);

    processor.set(1, kThermStatus, thermStatus(0, false)); // not valid: -10 stays
    processor.set(3, kThermStatus, thermStatus(30));       // 70
    EXPECT_DOUBLE_EQ(cpu->coreTemperatures(), (60 - 10 + 50 + 70) / 4.0);
}

TEST_F(IntelCPUMetrics, PackageTemperatureIsZeroUntilAValidReading)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kTemperatureTarget, uint64_t{100} << 16);
    processor.setAll(kPackageThermStatus, thermStatus(30, false));
    EXPECT_DOUBLE_EQ(cpu->packageTemperature(), 0.0);
    processor.setAll(kPackageThermStatus, thermStatus(30));
    EXPECT_DOUBLE_EQ(cpu->packageTemperature(), 70.0);
    processor.setAll(kPackageThermStatus, thermStatus(0, false));
    EXPECT_DOUBLE_EQ(cpu->packageTemperature(), 70.0);
    processor.setAll(kPackageThermStatus, thermStatus(105));
    EXPECT_DOUBLE_EQ(cpu->packageTemperature(), -5.0);
    const auto batches = machine.batches();
    ASSERT_FALSE(batches.empty());
    EXPECT_EQ(batches.back().cpus, 1u) << "the package is read on the calling CPU";
}

TEST_F(IntelCPUMetrics, PowerCountsAWrappedCounterAndNothingForTheSameInstant)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kRaplPowerUnit, 14 << 8); // 2^-14 J per step
    processor.setAll(kPkgEnergyStatus, 0xFFFFFFF0);
    processor.setAll(kPP0EnergyStatus, 0x1234);
    machine.clock->set(1700000000, 0);
    cpu->powerConsumption(); // against zeros: the whole counter over the whole epoch

    // 0xFFFFFFF0 -> 0x10 is 0x20 steps; the bits above 31 are not part of the counter.
    processor.setAll(kPkgEnergyStatus, 0xABCD'00000010);
    machine.clock->set(1700000002, 0);
    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), 0x20 / 16384.0 / 2.0);

    // The same time stamp again: 0 W, whatever the counter did.
    processor.setAll(kPkgEnergyStatus, 0x4010);
    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), 0.0);

    // An unchanged counter over a second: 0 W.
    machine.clock->set(1700000003, 0);
    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), 0.0);

    // One joule over half a second.
    processor.setAll(kPkgEnergyStatus, 0x4010 + 16384);
    machine.clock->set(1700000003, 500000);
    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), 2.0);
}

TEST_F(IntelCPUMetrics, EnergyUnitOfZeroStopsAtThatCPU)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kRaplPowerUnit, 14 << 8);
    processor.setAll(kPkgEnergyStatus, 1000);
    machine.clock->set(1700000000, 0);
    cpu->powerConsumption();

    // CPU 2 has no energy unit: 0.0, and CPUs 2 and 3 keep their earlier reading.
    processor.setAll(kPkgEnergyStatus, 1000 + 16384);
    processor.set(2, kRaplPowerUnit, 0);
    machine.clock->set(1700000001, 0);
    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), 0.0);

    processor.set(2, kRaplPowerUnit, 14 << 8);
    processor.setAll(kPkgEnergyStatus, 1000 + 3 * 16384);
    machine.clock->set(1700000002, 0);
    // CPUs 0 and 1: 2 J in 1 s; CPUs 2 and 3: 3 J in 2 s.
    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), (2.0 + 2.0 + 1.5 + 1.5) / 4);
}

TEST_F(IntelCPUMetrics, FailedBatchesChangeNoHistory)
{
    ASSERT_TRUE(cpu);
    processor.setAll(kPlatformInfo, 24 << 8);
    processor.setAll(kTurboRatioLimit, 30);
    processor.setAll(kPerfStatus, 36 << 8);
    processor.setAll(kTemperatureTarget, uint64_t{100} << 16);
    processor.setAll(kThermStatus, thermStatus(40));
    processor.setAll(kPackageThermStatus, thermStatus(45));
    processor.setAll(kRaplPowerUnit, 14 << 8);
    cpu->frequencies();
    EXPECT_DOUBLE_EQ(cpu->coreTemperatures(), 60.0);
    EXPECT_DOUBLE_EQ(cpu->packageTemperature(), 55.0);
    const auto ratios = cpu->getRatios();

    machine.log->failBatches = true;
    const auto [average, maximum] = cpu->frequencies();
    EXPECT_DOUBLE_EQ(average, 36.0 / 8);
    EXPECT_DOUBLE_EQ(maximum, 36.0);
    EXPECT_EQ(cpu->getRatios(), ratios);
    EXPECT_DOUBLE_EQ(cpu->sVIDs(), 0.0);
    EXPECT_DOUBLE_EQ(cpu->coreTemperatures(), 0.0);
    EXPECT_DOUBLE_EQ(cpu->packageTemperature(), 55.0);
    EXPECT_DOUBLE_EQ(cpu->powerConsumption(), 0.0);

    machine.log->failBatches = false;
    EXPECT_DOUBLE_EQ(cpu->coreTemperatures(), 60.0);
}

} // namespace
} // namespace qarn
