// The MSR device through its rendezvous: every CPU reads and writes its own file, at the
// offset of the register, and a refused access on one CPU costs nothing but that value.

#include "kext/platform/FaultInjectingHardware.h"
#include "kext/platform/MSRDevice.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <sched.h>
#include <thread>

namespace vennix {
namespace {

using testing::kUnmappedMSRs;
using testing::MSRFiles;

// Registers are 8 bytes at a byte offset, so in these files neighbouring numbers would
// overlap: the ones chosen lie at least 8 apart.
constexpr uint32_t kMSRs[] = {0x10, 0xE8, 0x198, 0x1AD, 0xC0000080};
constexpr size_t kCount = std::size(kMSRs);
constexpr unsigned kMaxCPUs = 16;

uint64_t valueFor(int linuxCPU, size_t i)
{
    return 0x0100'0000'0000'0000 * (static_cast<uint64_t>(linuxCPU) + 1) + 0x1000 * i + 7;
}

// One all-CPU batch: each CPU fills its row, as the CPU service does.
struct Batch {
    CPUHardware* hardware;
    std::array<std::atomic<uint64_t>, kMaxCPUs * kCount> values{};
    std::array<std::atomic<int>, kMaxCPUs> runs{};
};

void readBatch(void* argument)
{
    auto* batch = static_cast<Batch*>(argument);
    const unsigned n = batch->hardware->currentCPU();
    batch->runs[n].fetch_add(1);
    for (size_t i = 0; i < kCount; ++i)
        batch->values[n * kCount + i].store(batch->hardware->rdmsr(kMSRs[i]));
}

void writeBatch(void* argument)
{
    auto* batch = static_cast<Batch*>(argument);
    const unsigned n = batch->hardware->currentCPU();
    batch->runs[n].fetch_add(1);
    batch->hardware->wrmsr(0x1AD, 0x2000 + n);
    batch->hardware->wrmsr(0xC0000080, 0x3000 + n);
}

class MSRDeviceRendezvousTest : public ::testing::Test {
protected:
    std::unique_ptr<MSRDevice> open(const std::vector<int>& cpus)
    {
        std::string error;
        auto device = MSRDevice::open(files.directory(), &error, cpus);
        EXPECT_NE(device, nullptr) << error;
        return device;
    }

    MSRFiles files;
};

TEST_F(MSRDeviceRendezvousTest, EachCPUReadsItsOwnFileAtTheRegistersOffset)
{
    // Linux ids out of order and with gaps: CPU numbers are positions in the list.
    const std::vector<int> cpus = {3, 7, 5};
    files.create(cpus);
    for (int cpu : cpus) {
        for (size_t i = 0; i < kCount; ++i)
            files.put(cpu, kMSRs[i], valueFor(cpu, i));
    }
    auto device = open(cpus);
    ASSERT_NE(device, nullptr);

    Batch batch{device.get()};
    device->rendezvous(readBatch, &batch);
    for (unsigned n = 0; n < cpus.size(); ++n) {
        EXPECT_EQ(batch.runs[n].load(), 1);
        for (size_t i = 0; i < kCount; ++i) {
            EXPECT_EQ(batch.values[n * kCount + i].load(), valueFor(cpus[n], i))
                << "CPU " << n << " MSR " << std::hex << kMSRs[i];
        }
    }
}

TEST_F(MSRDeviceRendezvousTest, EachCPUWritesItsOwnFileAtTheRegistersOffset)
{
    const std::vector<int> cpus = {2, 0, 9, 4};
    files.create(cpus);
    auto device = open(cpus);
    ASSERT_NE(device, nullptr);

    Batch batch{device.get()};
    device->rendezvous(writeBatch, &batch);
    for (unsigned n = 0; n < cpus.size(); ++n) {
        EXPECT_EQ(files.get(cpus[n], 0x1AD), 0x2000u + n) << "CPU " << n;
        EXPECT_EQ(files.get(cpus[n], 0xC0000080), 0x3000u + n) << "CPU " << n;
        EXPECT_EQ(files.get(cpus[n], 0x1B8), 0u) << "CPU " << n; // nothing beside it
    }
}

struct Placement {
    MSRDevice* device;
    std::array<std::atomic<int>, kMaxCPUs> linuxCPU{};
    std::array<std::atomic<uint32_t>, kMaxCPUs> apic{};
};

void notePlacement(void* argument)
{
    auto* placement = static_cast<Placement*>(argument);
    const unsigned n = placement->device->currentCPU();
    placement->linuxCPU[n].store(sched_getcpu());
    uint32_t regs[4];
    placement->device->cpuid(1, 0, regs);
    placement->apic[n].store(regs[1] >> 24);
}

TEST_F(MSRDeviceRendezvousTest, TheRendezvousThreadOfEachOnlineCPURunsOnIt)
{
    std::vector<int> cpus = testing::usableCPUs(MSRDevice::onlineCPUs());
    if (cpus.size() > kMaxCPUs)
        cpus.resize(kMaxCPUs);
    files.create(cpus);
    auto device = open(cpus);
    ASSERT_NE(device, nullptr);

    Placement placement{device.get()};
    device->rendezvous(notePlacement, &placement);
    for (unsigned n = 0; n < cpus.size(); ++n) {
        EXPECT_TRUE(device->isPinned(n)) << "CPU " << n;
        EXPECT_EQ(placement.linuxCPU[n].load(), cpus[n]) << "CPU " << n;
    }
    // CPUID ran on each CPU: the initial APIC ids differ (hypervisors keep them apart too).
    if (cpus.size() >= 2) {
        EXPECT_NE(placement.apic[0].load(), placement.apic[1].load());
    }
}

TEST_F(MSRDeviceRendezvousTest, ARefusingCPUReadsZeroWhileTheOthersReadTheirValues)
{
    const std::vector<int> cpus = {0, 1, 2};
    files.create({0, 2});
    files.link(1, "/proc/self/mem");
    for (int cpu : {0, 2}) {
        for (size_t i = 0; i < kCount; ++i)
            files.put(cpu, kMSRs[i], valueFor(cpu, i));
    }
    auto device = open(cpus);
    ASSERT_NE(device, nullptr);

    for (int round = 0; round < 3; ++round) { // the device goes on after a refusal
        Batch batch{device.get()};
        device->rendezvous(readBatch, &batch);
        for (size_t i = 0; i < kCount; ++i) {
            EXPECT_EQ(batch.values[0 * kCount + i].load(), valueFor(0, i));
            if (kMSRs[i] < 0x1000) { // below mmap_min_addr: EIO
                EXPECT_EQ(batch.values[1 * kCount + i].load(), 0u) << std::hex << kMSRs[i];
            }
            EXPECT_EQ(batch.values[2 * kCount + i].load(), valueFor(2, i));
        }
    }
}

struct Writes {
    CPUHardware* hardware;
};

void writeUnmapped(void* argument)
{
    auto* writes = static_cast<Writes*>(argument);
    for (uint32_t msr : kUnmappedMSRs)
        writes->hardware->wrmsr(msr, 0x5A5A);
}

TEST_F(MSRDeviceRendezvousTest, ARefusedWriteIsDroppedOnThatCPUOnly)
{
    files.create({0, 2});
    files.link(1, "/proc/self/mem");
    auto device = open({0, 1, 2});
    ASSERT_NE(device, nullptr);

    Writes writes{device.get()};
    device->rendezvous(writeUnmapped, &writes);
    for (uint32_t msr : kUnmappedMSRs) {
        EXPECT_EQ(files.get(0, msr), 0x5A5Au);
        EXPECT_EQ(files.get(2, msr), 0x5A5Au);
    }
}

TEST_F(MSRDeviceRendezvousTest, InjectedRefusalsFollowTheRendezvousCPU)
{
    const std::vector<int> cpus = {0, 1, 2, 3};
    files.create(cpus);
    for (int cpu : cpus) {
        for (size_t i = 0; i < kCount; ++i)
            files.put(cpu, kMSRs[i], valueFor(cpu, i));
    }
    auto device = open(cpus);
    ASSERT_NE(device, nullptr);
    FaultInjectingHardware faulty(*device);
    ASSERT_TRUE(faulty.refuse(0xE8, 2));
    ASSERT_TRUE(faulty.refuse(0x10));

    Batch batch{&faulty};
    faulty.rendezvous(readBatch, &batch);
    for (unsigned n = 0; n < cpus.size(); ++n) {
        EXPECT_EQ(batch.runs[n].load(), 1);
        for (size_t i = 0; i < kCount; ++i) {
            const bool refused = kMSRs[i] == 0x10 || (kMSRs[i] == 0xE8 && n == 2);
            EXPECT_EQ(batch.values[n * kCount + i].load(), refused ? 0 : valueFor(cpus[n], i))
                << "CPU " << n << " MSR " << std::hex << kMSRs[i];
        }
    }
    EXPECT_EQ(faulty.refusedReads(), cpus.size() + 1);
}

void readAPERF(void* argument)
{
    auto* batch = static_cast<Batch*>(argument);
    const unsigned n = batch->hardware->currentCPU();
    batch->values[n].store(batch->hardware->rdmsr(0xE8));
}

TEST_F(MSRDeviceRendezvousTest, RefusalsMayChangeWhileBatchesRun)
{
    const std::vector<int> cpus = {0, 1};
    files.create(cpus);
    files.put(0, 0xE8, 11);
    files.put(1, 0xE8, 22);
    auto device = open(cpus);
    ASSERT_NE(device, nullptr);
    FaultInjectingHardware faulty(*device);

    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        while (!stop.load()) {
            faulty.refuse(0xE8, 1);
            faulty.allow(0xE8, 1);
        }
    });
    for (int round = 0; round < 200; ++round) {
        Batch batch{&faulty};
        faulty.rendezvous(readAPERF, &batch);
        EXPECT_EQ(batch.values[0].load(), 11u);
        const uint64_t second = batch.values[1].load();
        EXPECT_TRUE(second == 22 || second == 0) << second;
    }
    stop.store(true);
    toggler.join();
}

} // namespace
} // namespace vennix
