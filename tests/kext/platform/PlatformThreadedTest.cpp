// The platform under real threads: the all-CPU rendezvous alone and as the MSR device runs it,
// the registry and the metaclass table while services come and go, and the recursive lock.

#include "kext/platform/IORecursiveLock.h"
#include "kext/platform/IOService.h"
#include "kext/platform/MSRDevice.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

namespace vennix {
namespace {

constexpr unsigned kCPUs = 8;
constexpr uint32_t kMSRs[] = {0x10, 0xE8, 0xC0000080}; // 8 bytes each, at least 8 apart

// What each CPU saw while it ran one batch; with hardware, it also reads kMSRs and writes 0x1AD.
struct Batch {
    CPUHardware* hardware = nullptr;
    std::atomic<int> runs[kCPUs] = {}, linuxCPU[kCPUs] = {};
    std::atomic<const Rendezvous*> pool[kCPUs] = {};
    std::atomic<uint64_t> values[kCPUs][std::size(kMSRs)] = {};
};

void record(void* argument)
{
    auto* batch = static_cast<Batch*>(argument);
    const int cpu = batch->hardware ? static_cast<int>(batch->hardware->currentCPU()) : Rendezvous::currentCPU();
    ASSERT_TRUE(cpu >= 0 && cpu < static_cast<int>(kCPUs));
    if (cpu == 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the caller waits for the slowest
    batch->linuxCPU[cpu] = sched_getcpu();
    batch->pool[cpu] = Rendezvous::current();
    for (size_t i = 0; batch->hardware && i < std::size(kMSRs); ++i)
        batch->values[cpu][i] = batch->hardware->rdmsr(kMSRs[i]);
    if (batch->hardware)
        batch->hardware->wrmsr(0x1AD, 0x2000 + static_cast<uint64_t>(cpu));
    ++batch->runs[cpu];
}

template <class Body>
void runThreads(int count, Body body)
{
    std::latch go(count);
    std::vector<std::jthread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] { go.arrive_and_wait(), body(i); });
}

TEST(Rendezvous, RunsOnEveryCPUOnceOnItsOwnThreadAndReturnsWhenAllFinished)
{
    Rendezvous pool(kCPUs);
    Batch first, second;
    static Batch inner; // an action cannot restart its own pool: it would wait for itself
    pool.run([](void* self) { static_cast<Rendezvous*>(self)->run(record, &inner); }, &pool);
    pool.run(record, &first);
    for (unsigned cpu = 0; cpu < kCPUs; ++cpu)
        EXPECT_TRUE(first.runs[cpu] == 1 && first.pool[cpu] == &pool && inner.runs[cpu] == 0) << "CPU " << cpu;
    EXPECT_TRUE(Rendezvous::currentCPU() == -1 && Rendezvous::current() == nullptr); // outside an action
    EXPECT_TRUE(pool.cpuCount() == kCPUs && pool.linuxCPU(kCPUs - 1) == int{kCPUs} - 1 && pool.linuxCPU(kCPUs) == -1);
    EXPECT_FALSE(pool.isPinned(0));
    pool.run(nullptr, &first); // nothing
    Rendezvous empty(0u);
    empty.run(record, &first);
    EXPECT_TRUE(empty.cpuCount() == 0 && first.runs[0] == 1);
    Rendezvous nowhere(std::vector<int>{8191}, true); // a CPU this process may not use: unpinned
    nowhere.run(record, &second);
    EXPECT_TRUE(!nowhere.isPinned(0) && second.runs[0] == 1);
}

TEST(Rendezvous, ConcurrentCallersRunWholeBatchesOneAfterTheOther)
{
    static std::atomic<int> log[2 * 200 * 4];
    static std::atomic<size_t> next{0};
    Rendezvous pool(4);
    runThreads(2, [&](int id) {
        for (int i = 0; i < 200; ++i)
            pool.run([](void* id) { log[next++ % std::size(log)] = *static_cast<int*>(id); }, &id);
    });
    ASSERT_EQ(next.load(), std::size(log));
    for (size_t i = 0; i < std::size(log); ++i)
        ASSERT_EQ(log[i].load(), log[i - i % 4].load()) << "entry " << i;
}

TEST(MSRDeviceRendezvous, EachCPUReadsAndWritesItsOwnFileAtTheRegistersOffset)
{
    // Linux ids out of order and with gaps: CPU numbers are positions in the list. CPU 1's file
    // refuses every access below mmap_min_addr.
    testing::MSRFiles files;
    files.create({3, 5});
    files.create({7}, "/proc/self/mem");
    for (int cpu : {3, 5})
        for (size_t i = 0; i < std::size(kMSRs); ++i)
            files.put(cpu, kMSRs[i], uint64_t(cpu) << 56 | i);
    auto device = MSRDevice::open(files.directory(), nullptr, {3, 7, 5});
    for (int round = 0; round < 3; ++round) { // the device goes on after a refusal
        Batch batch{device.get()};
        device->rendezvous(record, &batch);
        for (size_t i = 0; i < std::size(kMSRs); ++i)
            EXPECT_TRUE(batch.values[0][i] == (3ull << 56 | i) && batch.values[2][i] == (5ull << 56 | i)) << i;
        EXPECT_TRUE(batch.runs[1] == 1 && batch.values[1][0] == 0 && batch.values[1][1] == 0);
    }
    EXPECT_TRUE(files.get(3, 0x1AD) == 0x2000 && files.get(5, 0x1AD) == 0x2002);
    EXPECT_EQ(files.get(3, 0x1A5) | files.get(3, 0x1B5), 0u); // nothing beside it

    std::vector<int> online = testing::usableCPUs(MSRDevice::onlineCPUs()); // each thread on its Linux CPU
    online.resize(std::min<size_t>(online.size(), kCPUs));
    files.create(online);
    device = MSRDevice::open(files.directory(), nullptr, online);
    Batch batch{device.get()};
    device->rendezvous(record, &batch);
    for (unsigned n = 0; n < online.size(); ++n)
        EXPECT_TRUE(device->isPinned(n) && batch.linuxCPU[n] == online[n]) << "CPU " << n;
}

std::atomic<int> gCreated{0}, gFreed{0};
class ChurnService : public IOService {
    OSDeclareDefaultStructors(ChurnService)
protected:
    void free() override { ++gFreed, IOService::free(); }
};
OSDefineMetaClassAndStructors(ChurnService, IOService)

TEST(ObjectModelThreadedTest, LookupsRaceWithPublishingTerminatingFreeingAndClassesComingAndGoing)
{
    // Half the threads publish services and let them go: terminated first, released while still
    // published, or terminated as they register. The others use what they find.
    runThreads(4, [&](int index) {
        const std::string transient = "Transient" + std::to_string(index); // a class keeps its name's address
        for (uint64_t i = 0; i < 2000; ++i) {
            if (index % 2 == 0) {
                auto* service = static_cast<IOService*>(OSMetaClass::allocClassWithName("ChurnService"));
                ++gCreated;
                service->setName("Churn");
                EXPECT_TRUE(service->init() && service->start(nullptr));
                std::jthread terminator; // racing the registration
                if (i % 3 == 0)
                    terminator = std::jthread([service] { service->terminate(); });
                service->registerService();
                terminator = {};
                EXPECT_EQ(service->isRegistered(), i % 3 != 0);
                if (i % 3 == 1)
                    service->terminate();
                service->release();
                OSMetaClass comingAndGoing(transient.c_str(), &OSObject::gMetaClass, nullptr);
            } else if (IOService* service = IOService::copyMatchingService("Churn")) {
                EXPECT_STREQ(service->getName(), "Churn");
                service->release();
                OSMetaClass::allocClassWithName("OSString")->release(); // a class linked into this program
            }
        }
    });
    EXPECT_EQ(IOService::copyMatchingService("Churn"), nullptr);
    EXPECT_EQ(gFreed.load(), gCreated.load());
}

TEST(IORecursiveLockThreadedTest, TheHolderMayTakeItAgainAndExcludesOthersUntilFullyUnlocked)
{
    IORecursiveLock* lock = IORecursiveLockAlloc();
    auto fromAnotherThread = [lock](bool free) {
        std::thread([&] {
            EXPECT_TRUE(IORecursiveLockTryLock(lock) == free && IORecursiveLockHaveLock(lock) == free);
            IORecursiveLockUnlock(lock); // gives back only what this thread took
        }).join();
    };
    IORecursiveLockLock(lock), IORecursiveLockLock(lock);
    fromAnotherThread(false);
    IORecursiveLockUnlock(lock);
    fromAnotherThread(false); // still held once
    EXPECT_TRUE(IORecursiveLockHaveLock(lock));
    IORecursiveLockUnlock(lock), IORecursiveLockUnlock(lock); // the second one too many: ignored
    EXPECT_FALSE(IORecursiveLockHaveLock(lock) || IORecursiveLockTryLock(nullptr) || IORecursiveLockHaveLock(nullptr));
    fromAnotherThread(true);
    IORecursiveLockFree(lock);
    IORecursiveLockLock(nullptr), IORecursiveLockUnlock(nullptr); // a null lock is never taken
}

} // namespace
} // namespace vennix
