// The per-CPU channel through the real user client and services: the multiplier each CPU ran
// at from its APERF and MPERF counters, the rows CPUs with no MPERF reading give up, and the
// calls one tick of both CPU channels makes.

#include "ChannelRows.h"
#include "ScriptedMachine.h"

#include "telemetry/CPUChannel.h"
#include "telemetry/PackageChannel.h"

#include <gtest/gtest.h>

#include <string>

namespace qarn {
namespace {

using test::rowName;
using test::rowValue;
using test::ScriptedMachine;

constexpr uint32_t kPlatformInfo = 0xCE;
constexpr uint32_t kMPerf = 0xE7;
constexpr uint32_t kAPerf = 0xE8;
constexpr uint32_t kPerfStatus = 0x198;

class CPUChannelTest : public ::testing::Test {
protected:
    CPUChannelTest()
    {
        machine.processor->setAll(kPlatformInfo, 24 << 8);
        machine.processor->setAll(kPerfStatus, 30 << 8);
    }

    // The counters of one CPU, as they stand now.
    void counters(unsigned n, uint64_t aPerf, uint64_t mPerf)
    {
        machine.processor->set(n, kAPerf, aPerf);
        machine.processor->set(n, kMPerf, mPerf);
    }

    ScriptedMachine machine{4, 2};
    std::shared_ptr<IntelCPU> cpu = machine.cpu();
    std::shared_ptr<CPUChannel> channel = CPUChannel::with(cpu);
};

TEST_F(CPUChannelTest, OneRowPerCPUShowingOneUntilSampled)
{
    ASSERT_TRUE(cpu);
    ASSERT_EQ(channel->numberOfItems(), 4);
    for (int64_t i = 0; i < 4; ++i) {
        EXPECT_EQ(rowName(*channel, i), "Used ratio  CPU: " + std::to_string(i));
        EXPECT_EQ(rowValue(*channel, i), "1.000");
        EXPECT_EQ(channel->itemIdentifierAt(i), kNameValueItemIdentifier);
        EXPECT_EQ(channel->sizeAt(i), (Size{130.0, 35.0}));
    }
    EXPECT_TRUE(machine.batches().empty());
}

TEST_F(CPUChannelTest, FirstSampleShowsTheAverageSinceReset)
{
    ASSERT_TRUE(cpu);
    counters(0, 3000000, 2000000); // above base: 36
    counters(1, 1000000, 2000000); // 12
    counters(2, 2000000, 2000000); // 24
    counters(3, 5, 4);             // 30
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 0), "36");
    EXPECT_EQ(rowValue(*channel, 1), "12");
    EXPECT_EQ(rowValue(*channel, 2), "24");
    EXPECT_EQ(rowValue(*channel, 3), "30");
}

TEST_F(CPUChannelTest, LaterSamplesCoverOneInterval)
{
    ASSERT_TRUE(cpu);
    for (unsigned n = 0; n < 4; ++n)
        counters(n, 9000000 + n, 1000000 + n);
    channel->sample();
    // APERF +1 500 000 and MPERF +2 000 000 at base 24: 18.
    for (unsigned n = 0; n < 4; ++n)
        counters(n, 10500000 + n, 3000000 + n);
    channel->sample();
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(rowValue(*channel, i), "18") << "row " << i;
}

TEST_F(CPUChannelTest, ACPIWithoutMPERFGivesItsRowToTheNext)
{
    ASSERT_TRUE(cpu);
    for (unsigned n = 0; n < 4; ++n)
        counters(n, 2000000, 2000000);
    channel->sample();
    for (int64_t i = 0; i < 4; ++i)
        ASSERT_EQ(rowValue(*channel, i), "24");

    counters(0, 3500000, 4000000); // 18
    counters(1, 4000000, 4000000); // 24
    counters(2, 9999999, 0);       // no reading: skipped
    counters(3, 5000000, 4000000); // 36, shown in row 2
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 0), "18");
    EXPECT_EQ(rowValue(*channel, 1), "24");
    EXPECT_EQ(rowValue(*channel, 2), "36") << "CPU 3's value in the row named for CPU 2";
    EXPECT_EQ(rowValue(*channel, 3), "24") << "the last row keeps its earlier value";
}

TEST_F(CPUChannelTest, BaseOfZeroShowsTheCallingCPUsCurrentRatio)
{
    ASSERT_TRUE(cpu);
    machine.processor->setAll(kPlatformInfo, 0);
    machine.processor->set(1, kPerfStatus, 0x2C00); // 44 on the calling CPU
    machine.processor->setCallingCPU(1);
    for (unsigned n = 0; n < 4; ++n)
        counters(n, 1000 * (n + 1), 1000);
    channel->sample();
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(rowValue(*channel, i), "44") << "row " << i;
}

TEST_F(CPUChannelTest, ACPIWhoseMPERFStoodStillShowsZero)
{
    ASSERT_TRUE(cpu);
    for (unsigned n = 0; n < 4; ++n)
        counters(n, 2000000, 2000000);
    channel->sample();
    // CPU 1 slept through the interval: neither counter moved.
    counters(0, 3500000, 4000000);
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 0), "18");
    EXPECT_EQ(rowValue(*channel, 1), "0");
}

TEST_F(CPUChannelTest, AFailedBatchKeepsRowsAndCounters)
{
    ASSERT_TRUE(cpu);
    for (unsigned n = 0; n < 4; ++n)
        counters(n, 1000000, 1000000);
    channel->sample();

    for (unsigned n = 0; n < 4; ++n)
        counters(n, 4000000, 2000000);
    machine.log->failBatches = true;
    channel->sample();
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(rowValue(*channel, i), "24") << "row " << i;

    // The next sample covers both intervals: +4.5M / +4M since the last good one.
    for (unsigned n = 0; n < 4; ++n)
        counters(n, 5500000, 5000000);
    machine.log->failBatches = false;
    channel->sample();
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(rowValue(*channel, i), "27") << "row " << i;
}

TEST(CPUChannelCap, SixtyFourRowsAndBatchesAtMost)
{
    // The record says 80 threads; the channel holds 64.
    ScriptedMachine machine(4, 40, 80);
    machine.processor->setAll(kPlatformInfo, 24 << 8);
    machine.processor->setAll(kAPerf, 3000000);
    machine.processor->setAll(kMPerf, 2000000);
    auto cpu = machine.cpu();
    ASSERT_TRUE(cpu);
    auto channel = CPUChannel::with(cpu);
    EXPECT_EQ(channel->numberOfItems(), 64);
    EXPECT_EQ(rowName(*channel, 63), "Used ratio  CPU: 63");
    channel->sample();
    const auto batches = machine.batches();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[1].cpus, 64u);
    EXPECT_EQ(batches[1].outputRoom, 16u + 64 * 16);
    // The four CPUs the rendezvous has; the rows past them were not read and show no number.
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(rowValue(*channel, i), "36");
    for (int64_t i = 4; i < 64; ++i)
        EXPECT_EQ(rowValue(*channel, i), "-") << "row " << i;
}

TEST(CPUChannelTick, BothChannelsMakeThreeCallsPerTick)
{
    ScriptedMachine machine(8, 4);
    machine.processor->setAll(kPlatformInfo, 24 << 8);
    auto cpu = machine.cpu();
    ASSERT_TRUE(cpu);
    auto package = PackageChannel::with(cpu);
    auto perCPU = CPUChannel::with(cpu);
    machine.log->clear();

    package->sample();
    perCPU->sample();

    const auto calls = machine.log->calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& call : calls)
        EXPECT_EQ(call.selector, vennix::kAccessorMethodGetMSRs);
    EXPECT_EQ(calls[0].count, 7u);
    EXPECT_EQ(calls[0].cpus, 1u);
    EXPECT_EQ(calls[1].count, 2u);
    EXPECT_EQ(calls[1].cpus, 1u);
    EXPECT_EQ(calls[2].count, 2u);
    EXPECT_EQ(calls[2].cpus, 8u);
    EXPECT_EQ(machine.processor->rendezvousRuns(), 1u) << "one all-CPU batch";
}

} // namespace
} // namespace qarn
