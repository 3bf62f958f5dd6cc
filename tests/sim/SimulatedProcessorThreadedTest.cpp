// The simulated processor through its rendezvous: each simulated CPU answers with its own
// registers, and reads, writes and a moving clock may meet without locks.

#include "sim/SimulatedProcessor.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

namespace sim {
namespace {

constexpr unsigned kCPUs = SimulatedProcessor::kCPUCount;
constexpr uint32_t kMSRs[] = {0xE7, 0xE8, 0x198, 0x19C, 0x10, 0x1AD};
constexpr size_t kCount = std::size(kMSRs);

struct Batch {
    vennix::CPUHardware* hardware;
    std::array<std::atomic<uint64_t>, kCPUs * kCount> values{};
    std::array<std::atomic<uint32_t>, kCPUs> apic{};
    std::array<std::atomic<int>, kCPUs> runs{};
};

void readBatch(void* argument)
{
    auto* batch = static_cast<Batch*>(argument);
    const unsigned n = batch->hardware->currentCPU();
    batch->runs[n].fetch_add(1);
    for (size_t i = 0; i < kCount; ++i)
        batch->values[n * kCount + i].store(batch->hardware->rdmsr(kMSRs[i]));
    uint32_t regs[4];
    batch->hardware->cpuid(1, 0, regs);
    batch->apic[n].store(regs[1] >> 24);
}

TEST(SimulatedProcessorRendezvous, EachCPUAnswersWithItsOwnRegisters)
{
    vennix::ManualClock clock;
    SimulatedProcessor processor(clock);
    clock.advanceNanoseconds(2'345'000'000);

    Batch batch{&processor};
    processor.rendezvous(readBatch, &batch);
    for (unsigned n = 0; n < kCPUs; ++n) {
        EXPECT_EQ(batch.runs[n].load(), 1) << "CPU " << n;
        for (size_t i = 0; i < kCount; ++i) {
            EXPECT_EQ(batch.values[n * kCount + i].load(), processor.rdmsrOn(n, kMSRs[i]))
                << "CPU " << n << " MSR " << std::hex << kMSRs[i];
        }
        uint32_t regs[4];
        processor.cpuidOn(n, 1, 0, regs);
        EXPECT_EQ(batch.apic[n].load(), regs[1] >> 24);
    }
}

struct Write {
    vennix::CPUHardware* hardware;
};

void writeTurboRatios(void* argument)
{
    auto* write = static_cast<Write*>(argument);
    // Every CPU writes its own value to the package's register: one of them remains.
    write->hardware->wrmsr(0x1AD, (32 + write->hardware->currentCPU()) * uint64_t{0x01010101});
}

TEST(SimulatedProcessorRendezvous, CountersStayMonotonicWhileTheClockMovesAndRegistersAreWritten)
{
    vennix::ManualClock clock;
    SimulatedProcessor processor(clock);

    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop.load()) {
            clock.advanceNanoseconds(1'000'000);
            std::this_thread::yield();
        }
    });
    std::thread writer([&] {
        uint64_t ratio = 30;
        while (!stop.load()) {
            processor.wrmsrOn(static_cast<unsigned>(ratio % kCPUs), 0x1AD, ratio * 0x01010101);
            ratio = ratio == 42 ? 30 : ratio + 1;
            std::this_thread::yield();
        }
    });

    std::array<uint64_t, kCPUs * kCount> previous{};
    for (int round = 0; round < 200; ++round) {
        Batch batch{&processor};
        processor.rendezvous(readBatch, &batch);
        for (unsigned n = 0; n < kCPUs; ++n) {
            for (size_t i : {size_t{0}, size_t{1}, size_t{4}}) { // MPERF, APERF, TSC
                const uint64_t value = batch.values[n * kCount + i].load();
                EXPECT_GE(value, previous[n * kCount + i]) << "CPU " << n << " MSR " << std::hex << kMSRs[i];
                previous[n * kCount + i] = value;
            }
            const uint64_t turbo = batch.values[n * kCount + 5].load();
            // The reset value or a whole written one, never a torn value.
            EXPECT_TRUE(turbo == SimulatedProcessor::kDefaultTurboRatioLimit || turbo % 0x01010101 == 0)
                << std::hex << turbo;
        }
        Write write{&processor};
        processor.rendezvous(writeTurboRatios, &write);
    }
    stop.store(true);
    ticker.join();
    writer.join();
}

void readTSCWhileTheClockMoves(void* argument)
{
    auto* batch = static_cast<Batch*>(argument);
    const unsigned n = batch->hardware->currentCPU();
    batch->values[n * kCount].store(batch->hardware->rdmsr(0x10));
}

struct MovingBatch : Batch {
    vennix::ManualClock* clock = nullptr;
};

void advanceThenReadTSC(void* argument)
{
    auto* batch = static_cast<MovingBatch*>(argument);
    // Time passes between the CPUs' reads; the rendezvous still shows them one instant.
    batch->clock->advanceNanoseconds(1'000'000);
    readTSCWhileTheClockMoves(argument);
}

TEST(SimulatedProcessorRendezvous, AllRowsOfARunShowOneInstantAndNoTwoRunsTheSame)
{
    vennix::ManualClock clock;
    SimulatedProcessor processor(clock);
    uint64_t previous = 0;
    for (int round = 0; round < 20; ++round) {
        MovingBatch batch;
        batch.hardware = &processor;
        batch.clock = &clock;
        // Every other run with the clock standing still: runs must still differ.
        if (round % 2 == 0)
            processor.rendezvous(advanceThenReadTSC, &batch);
        else
            processor.rendezvous(readTSCWhileTheClockMoves, &batch);
        const uint64_t first = batch.values[0].load();
        for (unsigned n = 1; n < kCPUs; ++n)
            EXPECT_EQ(batch.values[n * kCount].load(), first) << "CPU " << n << " round " << round;
        EXPECT_GT(first, previous) << "round " << round;
        previous = first;
    }
}

TEST(SimulatedProcessorRendezvous, AWriteOnEveryCPULeavesOneOfTheValues)
{
    vennix::ManualClock clock;
    SimulatedProcessor processor(clock);
    Write write{&processor};
    processor.rendezvous(writeTurboRatios, &write);
    const uint64_t turbo = processor.rdmsrOn(0, 0x1AD);
    EXPECT_EQ(turbo % 0x01010101, 0u) << std::hex << turbo;
    EXPECT_GE(turbo / 0x01010101, 32u);
    EXPECT_LT(turbo / 0x01010101, 32u + kCPUs);
}

} // namespace
} // namespace sim
