#include "kext/platform/MSRDevice.h"
#include "kext/platform/Rendezvous.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <sched.h>
#include <set>
#include <thread>
#include <vector>

namespace vennix {
namespace {

constexpr unsigned kCPUs = 8;

// What each CPU saw while it ran an action.
struct Record {
    std::array<std::atomic<int>, kCPUs> runs{};
    std::array<std::atomic<int>, kCPUs> cpuSeen{};
    std::array<std::atomic<const Rendezvous*>, kCPUs> poolSeen{};
};

void recordCPU(void* argument)
{
    auto* record = static_cast<Record*>(argument);
    const int cpu = Rendezvous::currentCPU();
    if (cpu < 0 || cpu >= static_cast<int>(kCPUs))
        return; // shows up as a missing run
    record->runs[static_cast<size_t>(cpu)].fetch_add(1);
    record->cpuSeen[static_cast<size_t>(cpu)].store(cpu);
    record->poolSeen[static_cast<size_t>(cpu)].store(Rendezvous::current());
}

TEST(Rendezvous, RunsTheActionOnceOnEveryCPUWithItsOwnNumber)
{
    Rendezvous pool(kCPUs);
    ASSERT_EQ(pool.cpuCount(), kCPUs);

    Record record;
    pool.run(recordCPU, &record);
    for (unsigned cpu = 0; cpu < kCPUs; ++cpu) {
        EXPECT_EQ(record.runs[cpu].load(), 1) << "CPU " << cpu;
        EXPECT_EQ(record.poolSeen[cpu].load(), &pool) << "CPU " << cpu;
    }

    pool.run(recordCPU, &record);
    for (unsigned cpu = 0; cpu < kCPUs; ++cpu)
        EXPECT_EQ(record.runs[cpu].load(), 2) << "CPU " << cpu;

    // Outside an action nobody stands for a CPU.
    EXPECT_EQ(Rendezvous::currentCPU(), -1);
    EXPECT_EQ(Rendezvous::current(), nullptr);
}

struct SlowCPU {
    std::array<std::atomic<bool>, kCPUs> finished{};
};

void finishSlowlyOnCPU5(void* argument)
{
    auto* state = static_cast<SlowCPU*>(argument);
    const int cpu = Rendezvous::currentCPU();
    if (cpu == 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state->finished[static_cast<size_t>(cpu)].store(true);
}

TEST(Rendezvous, ReturnsOnlyWhenEveryCPUHasFinished)
{
    Rendezvous pool(kCPUs);
    SlowCPU state;
    pool.run(finishSlowlyOnCPU5, &state);
    for (unsigned cpu = 0; cpu < kCPUs; ++cpu)
        EXPECT_TRUE(state.finished[cpu].load()) << "CPU " << cpu;
}

// Each action notes which caller's batch it belongs to, in the order the actions ran.
struct Log {
    static constexpr size_t kCapacity = 2 * 200 * 4;
    std::array<std::atomic<int>, kCapacity> entries{};
    std::atomic<size_t> next{0};
};

struct Batch {
    Log* log;
    int caller;
};

void logBatch(void* argument)
{
    auto* batch = static_cast<Batch*>(argument);
    const size_t slot = batch->log->next.fetch_add(1);
    if (slot < Log::kCapacity)
        batch->log->entries[slot].store(batch->caller);
}

TEST(Rendezvous, ConcurrentCallersRunWholeBatchesOneAfterTheOther)
{
    constexpr unsigned kThreads = 4;
    constexpr int kBatches = 200;
    Rendezvous pool(kThreads);
    Log log;

    auto caller = [&](int id) {
        Batch batch{&log, id};
        for (int i = 0; i < kBatches; ++i)
            pool.run(logBatch, &batch);
    };
    std::thread first(caller, 1);
    std::thread second(caller, 2);
    first.join();
    second.join();

    ASSERT_EQ(log.next.load(), Log::kCapacity);
    // Batches never mix: the log is made of blocks of kThreads entries of one caller.
    for (size_t block = 0; block < Log::kCapacity; block += kThreads) {
        const int owner = log.entries[block].load();
        ASSERT_TRUE(owner == 1 || owner == 2);
        for (size_t i = 1; i < kThreads; ++i)
            ASSERT_EQ(log.entries[block + i].load(), owner) << "entry " << block + i;
    }
}

struct Placement {
    std::array<std::atomic<int>, 64> linuxCPU{};
};

void notePlacement(void* argument)
{
    auto* placement = static_cast<Placement*>(argument);
    placement->linuxCPU[static_cast<size_t>(Rendezvous::currentCPU())].store(sched_getcpu());
}

TEST(Rendezvous, PinnedThreadsRunOnTheirLinuxCPU)
{
    std::vector<int> usable = testing::usableCPUs(MSRDevice::onlineCPUs());
    if (usable.size() > 64)
        usable.resize(64);
    ASSERT_FALSE(usable.empty());

    Rendezvous pool(usable, true);
    ASSERT_EQ(pool.cpuCount(), usable.size());
    for (int round = 0; round < 20; ++round) {
        Placement placement;
        pool.run(notePlacement, &placement);
        for (unsigned n = 0; n < pool.cpuCount(); ++n) {
            ASSERT_TRUE(pool.isPinned(n)) << "CPU " << n;
            EXPECT_EQ(pool.linuxCPU(n), usable[n]);
            EXPECT_EQ(placement.linuxCPU[n].load(), usable[n]) << "CPU " << n;
        }
    }
}

TEST(Rendezvous, ACPUThisProcessMayNotUseLeavesItsThreadUnpinned)
{
    // Linux never has CPU 8191 here; the thread still serves its CPU number.
    Rendezvous pool(std::vector<int>{8191}, true);
    EXPECT_FALSE(pool.isPinned(0));
    Record record;
    pool.run(recordCPU, &record);
    EXPECT_EQ(record.runs[0].load(), 1);
}

struct Identity {
    std::array<std::atomic<std::thread::id>, kCPUs> ids{};
};

void noteThread(void* argument)
{
    static_cast<Identity*>(argument)->ids[static_cast<size_t>(Rendezvous::currentCPU())].store(
        std::this_thread::get_id());
}

TEST(Rendezvous, EachCPUKeepsItsThreadForTheLifeOfThePool)
{
    Rendezvous pool(kCPUs);
    Identity first, second;
    pool.run(noteThread, &first);
    pool.run(noteThread, &second);

    std::set<std::thread::id> distinct;
    for (unsigned cpu = 0; cpu < kCPUs; ++cpu) {
        EXPECT_EQ(first.ids[cpu].load(), second.ids[cpu].load()) << "CPU " << cpu;
        distinct.insert(first.ids[cpu].load());
    }
    EXPECT_EQ(distinct.size(), kCPUs);
    EXPECT_EQ(distinct.count(std::this_thread::get_id()), 0u);
}

struct Nested {
    Rendezvous* own;
    Rendezvous* other;
    Record inner;
    std::atomic<int> ownAfter{0};
    std::atomic<int> cpuAfterOther{-2};
};

void runNested(void* argument)
{
    auto* nested = static_cast<Nested*>(argument);
    if (Rendezvous::currentCPU() != 0)
        return;
    // Its own pool would wait for this very thread: refused, nothing runs.
    nested->own->run(recordCPU, &nested->inner);
    nested->ownAfter.store(nested->inner.runs[0].load());
    // Another pool is fine, and this thread still stands for its own CPU afterwards.
    nested->other->run(recordCPU, &nested->inner);
    nested->cpuAfterOther.store(Rendezvous::currentCPU());
}

TEST(Rendezvous, AnActionCannotRestartItsOwnPoolButMayRunAnother)
{
    Rendezvous own(2);
    Rendezvous other(3);
    Nested nested{&own, &other, {}, {}, {}};
    own.run(runNested, &nested);

    EXPECT_EQ(nested.ownAfter.load(), 0);
    EXPECT_EQ(nested.cpuAfterOther.load(), 0);
    for (unsigned cpu = 0; cpu < 3; ++cpu) {
        EXPECT_EQ(nested.inner.runs[cpu].load(), 1);
        EXPECT_EQ(nested.inner.poolSeen[cpu].load(), &other);
    }
}

TEST(Rendezvous, EmptyPoolsAndNullActionsRunNothing)
{
    Rendezvous empty(0u);
    Record record;
    empty.run(recordCPU, &record);
    EXPECT_EQ(empty.cpuCount(), 0u);
    EXPECT_EQ(empty.linuxCPU(0), -1);
    EXPECT_FALSE(empty.isPinned(0));

    Rendezvous pool(kCPUs);
    pool.run(nullptr, &record);
    for (unsigned cpu = 0; cpu < kCPUs; ++cpu)
        EXPECT_EQ(record.runs[cpu].load(), 0);
    EXPECT_FALSE(pool.isPinned(0));
    EXPECT_EQ(pool.linuxCPU(kCPUs), -1);
}

TEST(Rendezvous, PoolsStopCleanlyWhetherOrNotTheyRan)
{
    for (int i = 0; i < 20; ++i) {
        Rendezvous idle(kCPUs);
        Rendezvous used(kCPUs);
        Record record;
        used.run(recordCPU, &record);
        EXPECT_EQ(record.runs[kCPUs - 1].load(), 1);
    }
}

} // namespace
} // namespace vennix
