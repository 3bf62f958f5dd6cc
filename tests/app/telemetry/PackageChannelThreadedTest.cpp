// The package channel's eight rows from recorded register values, read through the real
// user client and services on the calling CPU.

#include "ChannelRows.h"
#include "ScriptedMachine.h"

#include "telemetry/PackageChannel.h"

#include <gtest/gtest.h>

#include <string>

namespace qarn {
namespace {

using test::ScriptedMachine;
using test::rowName;
using test::rowValue;

constexpr uint32_t kPkgCStConfig = 0xE2;
constexpr uint32_t kTemperatureTarget = 0x1A2;
constexpr uint32_t kPlatformInfo = 0xCE;
constexpr uint32_t kTurboRatioLimit = 0x1AD;
constexpr uint32_t kTurboActivationRatio = 0x64C;
constexpr uint32_t kUncoreRatioLimit = 0x620;
constexpr uint32_t kPerfStatus = 0x198;

constexpr uint64_t kProgrammable = uint64_t{1} << 28;

class PackageChannelTest : public ::testing::Test {
protected:
    explicit PackageChannelTest(unsigned cores = 4)
        : machine(8, cores)
    {
        // A package as recorded: C-state limit 3, target 100 with offset 5, ratios 36 and
        // turbo 40/39/38/37 (not programmable), activation ratio 32 unlocked, uncore 12 to 40,
        // running at 36 and 8000/8192 V.
        machine.processor->setAll(kPkgCStConfig, 0x1E008403);
        machine.processor->setAll(kTemperatureTarget, (uint64_t{5} << 24) | (uint64_t{100} << 16) | 0x0A00);
        machine.processor->setAll(kPlatformInfo, 0x20080000'6000A400);
        machine.processor->setAll(kTurboRatioLimit, 0x25262728);
        machine.processor->setAll(kTurboActivationRatio, 0x20);
        machine.processor->setAll(kUncoreRatioLimit, 0x0C28);
        machine.processor->setAll(kPerfStatus, (uint64_t{8000} << 32) | (36 << 8) | 0x1F);
        cpu = machine.cpu();
        channel = PackageChannel::with(cpu);
    }

    ScriptedMachine machine;
    std::shared_ptr<IntelCPU> cpu;
    std::shared_ptr<PackageChannel> channel;
};

TEST_F(PackageChannelTest, EightNamedRowsWithCountsUntilTheFirstSample)
{
    ASSERT_TRUE(cpu);
    const char* names[] = {"Number of Cores", "Number of CPUs", "C-State Limit", "Temperature Target",
                           "Turbo Ratio",     "Non Turbo Ratio", "Uncore Ratio", "P-State and SVID"};
    ASSERT_EQ(channel->numberOfItems(), 8);
    for (int64_t i = 0; i < 8; ++i) {
        EXPECT_EQ(rowName(*channel, i), names[i]);
        EXPECT_EQ(channel->itemIdentifierAt(i), kNameValueItemIdentifier);
        EXPECT_EQ(channel->sizeAt(i), (Size{130.0, 35.0}));
    }
    EXPECT_EQ(rowValue(*channel, 0), "4");
    EXPECT_EQ(rowValue(*channel, 1), "8");
    for (int64_t i = 2; i < 8; ++i)
        EXPECT_EQ(rowValue(*channel, i), "") << "row " << i;
    EXPECT_TRUE(machine.batches().empty()) << "creating the channel reads nothing";
}

TEST_F(PackageChannelTest, SampleFillsRowsTwoToSeven)
{
    ASSERT_TRUE(cpu);
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 0), "4");
    EXPECT_EQ(rowValue(*channel, 1), "8");
    EXPECT_EQ(rowValue(*channel, 2), "3");
    EXPECT_EQ(rowValue(*channel, 3), "105") << "bits 23:16 plus bits 29:24";
    EXPECT_EQ(rowValue(*channel, 4), "RO 40 39 38 37");
    // Bits 14:8 of PLATFORM_INFO are seven bits: 0xA4 there reads 36.
    EXPECT_EQ(rowValue(*channel, 5), "32 Unlocked, Max. 36");
    EXPECT_EQ(rowValue(*channel, 6), "12-40") << "minimum first";
    EXPECT_EQ(rowValue(*channel, 7), "36  / 0.98V");

    const auto batches = machine.batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].count, 7u);
    EXPECT_EQ(batches[0].cpus, 1u);
}

TEST_F(PackageChannelTest, LockBitsAboveThirtyAndTheProgrammableFlag)
{
    ASSERT_TRUE(cpu);
    machine.processor->setAll(kTurboActivationRatio, 0x80000020);
    machine.processor->setAll(kPlatformInfo, kProgrammable | (uint64_t{36} << 8));
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 5), "32 Locked, Max. 36");
    EXPECT_EQ(rowValue(*channel, 4), "RW 40 39 38 37");

    machine.processor->setAll(kTurboActivationRatio, uint64_t{1} << 40 | 0x1F);
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 5), "31 Locked, Max. 36") << "any bit from 31 up locks";

    machine.processor->setAll(kTurboActivationRatio, 0x40000020);
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 5), "32 Unlocked, Max. 36") << "bit 30 does not";
}

TEST_F(PackageChannelTest, ReadsTheCallingCPU)
{
    ASSERT_TRUE(cpu);
    machine.processor->set(5, kPerfStatus, (uint64_t{8192} << 32) | (42 << 8));
    machine.processor->setCallingCPU(5);
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 7), "42  / 1.00V");
}

TEST_F(PackageChannelTest, AFailedBatchLeavesTheRowsAsTheyWere)
{
    ASSERT_TRUE(cpu);
    channel->sample();
    machine.processor->setAll(kPerfStatus, (uint64_t{6144} << 32) | (20 << 8));
    machine.log->failBatches = true;
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 2), "3");
    EXPECT_EQ(rowValue(*channel, 3), "105");
    EXPECT_EQ(rowValue(*channel, 7), "36  / 0.98V");
    machine.log->failBatches = false;
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 7), "20  / 0.75V");
}

class TwelveCorePackage : public PackageChannelTest {
protected:
    TwelveCorePackage()
        : PackageChannelTest(12)
    {
    }
};

TEST_F(TwelveCorePackage, TurboRowListsEightRatiosAtMost)
{
    ASSERT_TRUE(cpu);
    EXPECT_EQ(cpu->numberOfCores(), 12);
    EXPECT_EQ(rowValue(*channel, 0), "12");
    machine.processor->setAll(kTurboRatioLimit, 0x2122232425262728);
    channel->sample();
    EXPECT_EQ(rowValue(*channel, 4), "RO 40 39 38 37 36 35 34 33");
}

} // namespace
} // namespace qarn
