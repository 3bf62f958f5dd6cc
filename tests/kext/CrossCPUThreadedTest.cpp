// MSR batches and write lists on all CPUs through the rendezvous, on the simulated processor
// (eight CPUs) and on the file-backed MSR device.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "protocol/AccessorTypes.h"
#include "kext/Vennix.h"
#include "kext/cpuMsrs.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/MSRDevice.h"
#include "sim/SimulatedProcessor.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

namespace vennix {
namespace {

constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5;

// One call's buffers, laid out as the user client receives them.
struct Batch {
    Batch(std::vector<uint32_t> msrs, uint32_t cpus, uint32_t rows)
        : count(static_cast<uint32_t>(msrs.size())),
          request(MSRBatchRequest::size(count)),
          result(MSRBatchResult::size(count, rows))
    {
        writeU32(request.data(), 0, count);
        writeU32(request.data(), 4, cpus);
        for (size_t i = 0; i < msrs.size(); ++i)
            writeU32(request.data(), 8 + 4 * i, msrs[i]);
        for (size_t offset = 0; offset + 8 <= result.size(); offset += 8)
            writeU64(result.data(), offset, kUntouched);
        args.structureInput = request.data();
        args.structureInputSize = static_cast<uint32_t>(request.size());
        args.structureOutput = result.data();
        args.structureOutputSize = static_cast<uint32_t>(result.size());
    }

    uint64_t value(uint64_t cpu, uint64_t i) const
    {
        return readU64(result.data(), MSRBatchResult::kHeaderSize + 8 * (cpu * count + i));
    }

    uint32_t count;
    std::vector<unsigned char> request;
    std::vector<unsigned char> result;
    IOExternalMethodArguments args;
};

// A write list as the user client receives it: pairs count, cpus, then MSR and value pairs.
struct WriteList {
    WriteList(uint64_t cpus, std::vector<std::pair<uint32_t, uint64_t>> pairs)
    {
        scalars = {pairs.size(), cpus};
        for (const auto& [msr, value] : pairs) {
            scalars.push_back(msr);
            scalars.push_back(value);
        }
        args.scalarInput = scalars.data();
        args.scalarInputCount = static_cast<uint32_t>(scalars.size());
    }
    std::vector<uint64_t> scalars;
    IOExternalMethodArguments args;
};

class CrossCPU : public ::testing::Test {
protected:
    explicit CrossCPU(CPUHardware* hardware = nullptr) {}

    Vennix* startOn(CPUHardware& hardware)
    {
        platform = IOPlatformDevice::withHardware(&hardware, &clock);
        auto* vennix = OSDynamicCast<Vennix>(OSMetaClass::allocClassWithName("Vennix"));
        EXPECT_TRUE(vennix && vennix->init(nullptr) && vennix->start(platform));
        return vennix;
    }

    ~CrossCPU() override
    {
        if (vennix) {
            vennix->terminate();
            vennix->release();
        }
        OSSafeReleaseNULL(platform);
    }

    void read(Batch& batch)
    {
        RendezvousContext context{vennix, &batch.args};
        IORecursiveLockLock(accessorLock());
        mp_rendezvous_no_intrs(vennix, cpuMsrs, &context);
        IORecursiveLockUnlock(accessorLock());
    }

    void write(WriteList& list)
    {
        RendezvousContext context{vennix, &list.args};
        IORecursiveLockLock(accessorLock());
        mp_rendezvous_no_intrs(vennix, cpuSetMsrs, &context);
        IORecursiveLockUnlock(accessorLock());
    }

    IOLogCapture log; // keeps the identification lines out of the test output
    ManualClock clock{1500000000, 0};
    IOPlatformDevice* platform = nullptr;
    Vennix* vennix = nullptr;
};

class SimulatedCrossCPU : public CrossCPU {
protected:
    SimulatedCrossCPU() : processor(clock) { vennix = startOn(processor); }
    sim::SimulatedProcessor processor;
};

TEST_F(SimulatedCrossCPU, RowsOnlyForCPUsBelowTheRequestedCount)
{
    clock.advanceNanoseconds(1700000000); // counters have moved, differently on each CPU
    Batch batch({0xE8, 0xE7}, 4, 8);
    read(batch);

    for (unsigned cpu = 0; cpu < 4; ++cpu) {
        EXPECT_EQ(batch.value(cpu, 0), processor.rdmsrOn(cpu, 0xE8)) << "cpu " << cpu;
        EXPECT_EQ(batch.value(cpu, 1), processor.rdmsrOn(cpu, 0xE7)) << "cpu " << cpu;
    }
    EXPECT_NE(batch.value(0, 0), batch.value(1, 0)); // each row is its own CPU's
    for (unsigned cpu = 4; cpu < 8; ++cpu) {
        EXPECT_EQ(batch.value(cpu, 0), kUntouched) << "cpu " << cpu;
        EXPECT_EQ(batch.value(cpu, 1), kUntouched) << "cpu " << cpu;
    }
    // The header is the user client's to fill.
    EXPECT_EQ(readU64(batch.result.data(), 0), kUntouched);
    EXPECT_EQ(readU64(batch.result.data(), 8), kUntouched);
}

TEST_F(SimulatedCrossCPU, AllCPUsWhenTheRequestHasRoomForMore)
{
    Batch batch({0xCE, 0x1AD, 0x1A2, 0x35, 0x12345}, 16, 16);
    read(batch);
    for (unsigned cpu = 0; cpu < 8; ++cpu) {
        EXPECT_EQ(batch.value(cpu, 0) >> 8 & 0xFF, 40u);
        EXPECT_EQ(batch.value(cpu, 1), 0x28292A2Au);
        EXPECT_EQ(batch.value(cpu, 2) >> 16 & 0xFF, 100u);
        EXPECT_EQ(batch.value(cpu, 3), 0x00040008u);
        EXPECT_EQ(batch.value(cpu, 4), 0u); // unknown MSR
    }
    for (unsigned cpu = 8; cpu < 16; ++cpu)
        EXPECT_EQ(batch.value(cpu, 0), kUntouched);
}

TEST_F(SimulatedCrossCPU, EmptyBatchRunsAndWritesNothing)
{
    Batch batch({}, 4, 4);
    read(batch);
    EXPECT_EQ(batch.result.size(), 16u);
    EXPECT_EQ(readU64(batch.result.data(), 0), kUntouched);
}

TEST_F(SimulatedCrossCPU, BatchLargerThanItsBuffersIsNotWritten)
{
    // A request that claims more MSRs or rows than its buffers hold: no CPU goes past them.
    Batch batch({0xCE, 0xCE}, 8, 8);
    writeU32(batch.request.data(), 0, 1000);
    read(batch);
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        EXPECT_EQ(batch.value(cpu, 0), kUntouched);

    Batch small({0xCE}, 8, 2);
    read(small);
    EXPECT_EQ(small.value(0, 0) >> 8 & 0xFF, 40u);
    EXPECT_EQ(small.value(1, 0) >> 8 & 0xFF, 40u);
}

TEST_F(SimulatedCrossCPU, WriteListOnChosenCPUsOnly)
{
    // MSR 0x8B is per CPU on the simulated processor.
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        processor.wrmsrOn(cpu, 0x8B, 0);

    WriteList two(2, {{0x8B, 0x1100000000}, {0x8B, 0x2200000000}});
    write(two);
    EXPECT_EQ(processor.rdmsrOn(0, 0x8B), 0x2200000000u); // whole list, in order
    EXPECT_EQ(processor.rdmsrOn(1, 0x8B), 0x2200000000u);
    for (unsigned cpu = 2; cpu < 8; ++cpu)
        EXPECT_EQ(processor.rdmsrOn(cpu, 0x8B), 0u) << "cpu " << cpu;

    WriteList all(8, {{0x8B, 0x3300000000}});
    write(all);
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        EXPECT_EQ(processor.rdmsrOn(cpu, 0x8B), 0x3300000000u) << "cpu " << cpu;

    WriteList beyond(1000, {{0x8B, 0x4400000000}, {0x1AD, 0x20202020}});
    write(beyond);
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        EXPECT_EQ(processor.rdmsrOn(cpu, 0x8B), 0x4400000000u) << "cpu " << cpu;
    EXPECT_EQ(processor.rdmsrOn(5, 0x1AD), 0x20202020u);
}

TEST_F(SimulatedCrossCPU, ConcurrentBatchesUnderTheLockStayWhole)
{
    // Two callers, each reading a batch and then writing a marker on every CPU. With the lock,
    // no batch sees a mix of two markers across its rows.
    std::atomic<bool> mixed{false};
    auto caller = [&](uint64_t marker) {
        for (int round = 0; round < 50; ++round) {
            WriteList mark(8, {{0x8B, marker << 32}});
            Batch batch({0x8B}, 8, 8);
            RendezvousContext writeContext{vennix, &mark.args};
            RendezvousContext readContext{vennix, &batch.args};
            IORecursiveLockLock(accessorLock());
            mp_rendezvous_no_intrs(vennix, cpuSetMsrs, &writeContext);
            mp_rendezvous_no_intrs(vennix, cpuMsrs, &readContext);
            IORecursiveLockUnlock(accessorLock());
            for (unsigned cpu = 0; cpu < 8; ++cpu) {
                if (batch.value(cpu, 0) != marker << 32)
                    mixed = true;
            }
        }
    };
    std::thread a(caller, 0x11);
    std::thread b(caller, 0x22);
    a.join();
    b.join();
    EXPECT_FALSE(mixed);
}

TEST(AccessorLock, CreatedOnceForConcurrentFirstCalls)
{
    std::vector<IORecursiveLock*> seen(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = accessorLock(); });
    for (auto& t : threads)
        t.join();
    for (IORecursiveLock* lock : seen)
        EXPECT_EQ(lock, seen[0]);
    EXPECT_EQ(gAccessorLock, seen[0]);
    EXPECT_NE(gAccessorLock, nullptr);
}

class FileCrossCPU : public CrossCPU {
protected:
    // Eight CPUs' files, whatever this machine has: the threads of CPUs it lacks stay unpinned
    // but still read their own file.
    FileCrossCPU()
    {
        files.create(ids);
        device = MSRDevice::open(files.directory(), &error, ids);
        if (device)
            vennix = startOn(*device);
    }
    std::vector<int> ids{0, 1, 2, 3, 4, 5, 6, 7};
    testing::MSRFiles files;
    std::string error;
    std::unique_ptr<MSRDevice> device;
};

TEST_F(FileCrossCPU, EachCPUReadsItsOwnFileAtTheMSROffset)
{
    ASSERT_TRUE(device) << error;
    for (int cpu : ids) {
        files.put(cpu, 0xE8, 0x1000 + cpu);
        files.put(cpu, 0x611, 0x2000 + cpu);
    }
    Batch batch({0x611, 0xE8, 0x700}, 6, 8);
    read(batch);
    for (uint64_t cpu = 0; cpu < 6; ++cpu) {
        EXPECT_EQ(batch.value(cpu, 0), 0x2000 + cpu);
        EXPECT_EQ(batch.value(cpu, 1), 0x1000 + cpu);
        EXPECT_EQ(batch.value(cpu, 2), 0u); // past the end of the file: refused, reads 0
    }
    EXPECT_EQ(batch.value(6, 0), kUntouched);
    EXPECT_EQ(batch.value(7, 1), kUntouched);
}

TEST_F(FileCrossCPU, WriteListLandsInTheChosenCPUsFiles)
{
    ASSERT_TRUE(device) << error;
    WriteList list(3, {{0x1AD, 0x2A2A2A2A}, {0xC0000080, 0x501}});
    write(list);
    for (int cpu : ids) {
        const bool chosen = cpu < 3;
        EXPECT_EQ(files.get(cpu, 0x1AD), chosen ? 0x2A2A2A2Au : 0u) << "cpu " << cpu;
        EXPECT_EQ(files.get(cpu, 0xC0000080), chosen ? 0x501u : 0u) << "cpu " << cpu;
    }
}

TEST_F(FileCrossCPU, RefusedRegistersDoNotEndTheProcess)
{
    ASSERT_TRUE(device) << error;
    // CPU 2's file answers EIO for unmapped offsets, as the driver does for a missing MSR.
    files.link(2, "/proc/self/mem");
    device = MSRDevice::open(files.directory(), &error, ids);
    ASSERT_TRUE(device) << error;
    vennix->terminate();
    vennix->release();
    OSSafeReleaseNULL(platform);
    vennix = startOn(*device);

    files.put(3, 0x198, 0x2800);
    Batch batch({0x198}, 8, 8);
    read(batch);
    EXPECT_EQ(batch.value(2, 0), 0u);
    EXPECT_EQ(batch.value(3, 0), 0x2800u);

    WriteList list(8, {{0x198, 0x1234}});
    write(list); // dropped on CPU 2, written elsewhere
    EXPECT_EQ(files.get(3, 0x198), 0x1234u);
}

} // namespace
} // namespace vennix
