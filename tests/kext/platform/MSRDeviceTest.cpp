// The MSR device from a single thread: CPU lists, opening, and the accesses of a thread
// outside the rendezvous (the CPU it runs on picks the file).

#include "kext/platform/FaultInjectingHardware.h"
#include "kext/platform/MSRDevice.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sched.h>

namespace vennix {
namespace {

using testing::kUnmappedMSRs;
using testing::MSRFiles;
using testing::RunOnCPU;

const char* const kRemedy = "; run as root with the msr module loaded (modprobe msr), or use --simulate";

TEST(MSRDeviceCPUList, ParsesTheFormsLinuxWrites)
{
    struct Case {
        const char* text;
        std::vector<int> cpus;
    } cases[] = {
        {"0\n", {0}},
        {"0-3\n", {0, 1, 2, 3}},
        {"0-1,4,6-7\n", {0, 1, 4, 6, 7}},
        {"5,0-2", {0, 1, 2, 5}},
        {"2,2,1-2", {1, 2}},
        {"8191", {8191}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MSRDevice::parseCPUList(c.text), c.cpus) << c.text;
}

TEST(MSRDeviceCPUList, RefusesAnythingMalformed)
{
    for (const char* text : {"", "\n", "a", "0-", "-3", "3-1", "0,,1", "0,", "0 1", "1-2-3",
                             "8192", "0-99999999999999999999", "0;1"})
        EXPECT_TRUE(MSRDevice::parseCPUList(text).empty()) << '"' << text << '"';
}

TEST(MSRDeviceCPUList, TheOnlineCPUsIncludeTheOneWeRunOn)
{
    const std::vector<int> online = MSRDevice::onlineCPUs();
    ASSERT_FALSE(online.empty());
    EXPECT_TRUE(std::is_sorted(online.begin(), online.end()));
    const int here = sched_getcpu();
    ASSERT_GE(here, 0);
    EXPECT_NE(std::find(online.begin(), online.end(), here), online.end());
}

TEST(MSRDeviceMicrocode, ComesFromSysfsElseFromCPUInfoElseIsUnknown)
{
    MSRFiles dir; // only for its temporary directory
    const std::string sys = dir.directory() + "/sys";
    const std::string cpuinfo = dir.directory() + "/cpuinfo";
    auto write = [](const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << text;
    };
    write(cpuinfo, "processor\t: 0\nmicrocode\t: 0xb4\n\nprocessor\t: 1\nvendor_id\t: GenuineIntel\n"
                   "microcode\t: 0xF0\n\nprocessor\t: 12\nmicrocode\t: junk\n\n");
    write(sys + "/cpu1/microcode/version", "0xde\n");
    write(sys + "/cpu2/microcode/version", "not hex\n");

    EXPECT_EQ(MSRDevice::microcodeOf(1, sys, cpuinfo), 0xDEu) << "sysfs first";
    EXPECT_EQ(MSRDevice::microcodeOf(0, sys, cpuinfo), 0xB4u) << "then that processor's cpuinfo line";
    EXPECT_EQ(MSRDevice::microcodeOf(2, sys, cpuinfo), 0u) << "no cpuinfo block for CPU 2";
    EXPECT_EQ(MSRDevice::microcodeOf(12, sys, cpuinfo), 0u) << "junk is no revision";
    EXPECT_EQ(MSRDevice::microcodeOf(0, sys, dir.directory() + "/none"), 0u);
}

class MSRDeviceTest : public ::testing::Test {
protected:
    MSRDeviceTest()
        : online(testing::usableCPUs(MSRDevice::onlineCPUs()))
    {
    }

    std::unique_ptr<MSRDevice> open(const std::vector<int>& cpus)
    {
        error.clear();
        return MSRDevice::open(files.directory(), &error, cpus);
    }

    MSRFiles files;
    std::vector<int> online;
    std::string error;
};

TEST_F(MSRDeviceTest, OpeningNamesTheFileAndTheRemedyWhenACPUFileIsMissing)
{
    files.create({0});
    EXPECT_EQ(open({0, 1}), nullptr);
    EXPECT_EQ(error, "cannot open " + files.path(1) + ": No such file or directory" + kRemedy);

    // Nothing to read or write behind the name.
    files.makeCPUDirectory(2);
    std::filesystem::create_directory(files.path(2));
    EXPECT_EQ(open({2}), nullptr);
    EXPECT_EQ(error, "cannot open " + files.path(2) + ": Is a directory" + kRemedy);

    EXPECT_EQ(open({-1}), nullptr);
    EXPECT_EQ(error, "CPU number -1 out of range");

    // The error text is optional.
    EXPECT_EQ(MSRDevice::open(files.directory(), nullptr, {7}), nullptr);
}

TEST_F(MSRDeviceTest, DescribesItselfByItsDirectory)
{
    files.create({3, 7, 5});
    auto device = open({3, 7, 5});
    ASSERT_NE(device, nullptr) << error;
    EXPECT_STREQ(device->description(), files.directory().c_str());
    EXPECT_FALSE(device->isSimulated());
    EXPECT_EQ(device->cpuCount(), 3u);
    EXPECT_EQ(device->linuxCPU(0), 3);
    EXPECT_EQ(device->linuxCPU(1), 7);
    EXPECT_EQ(device->linuxCPU(2), 5);
    EXPECT_EQ(device->linuxCPU(3), -1);
}

TEST_F(MSRDeviceTest, AThreadReadsAndWritesTheFileOfTheCPUItRunsOn)
{
    ASSERT_FALSE(online.empty());
    files.create(online);
    for (int cpu : online) {
        files.put(cpu, 0x1AD, 0x2829'2A2A'0000'0000 + static_cast<uint64_t>(cpu));
        files.put(cpu, 0xC0000080, 0xD00 + static_cast<uint64_t>(cpu));
    }
    auto device = open(online);
    ASSERT_NE(device, nullptr) << error;

    for (unsigned n = 0; n < online.size(); ++n) {
        RunOnCPU here(online[n]);
        ASSERT_TRUE(here.pinned());
        EXPECT_EQ(device->currentCPU(), n);
        EXPECT_EQ(device->rdmsr(0x1AD), 0x2829'2A2A'0000'0000 + static_cast<uint64_t>(online[n]));
        EXPECT_EQ(device->rdmsr(0xC0000080), 0xD00 + static_cast<uint64_t>(online[n]));
        device->wrmsr(0x199, 0x1F00 + n);
    }
    for (unsigned n = 0; n < online.size(); ++n)
        EXPECT_EQ(files.get(online[n], 0x199), 0x1F00 + n) << "Linux CPU " << online[n];
}

TEST_F(MSRDeviceTest, AThreadOnACPUTheDeviceDoesNotCoverStandsForCPU0)
{
    ASSERT_GE(online.size(), 2u) << "needs two CPUs";
    files.create({online[1]});
    files.put(online[1], 0x10, 42);
    auto device = open({online[1]});
    ASSERT_NE(device, nullptr) << error;
    RunOnCPU here(online[0]);
    EXPECT_EQ(device->currentCPU(), 0u);
    EXPECT_EQ(device->rdmsr(0x10), 42u);
}

TEST_F(MSRDeviceTest, ARegisterTheKernelRefusesReadsZeroAndItsWriteIsDropped)
{
    ASSERT_FALSE(online.empty());
    RunOnCPU here(online[0]);
    files.link(online[0], "/proc/self/mem");
    auto device = open({online[0]});
    ASSERT_NE(device, nullptr) << error;

    for (uint32_t msr : kUnmappedMSRs) {
        EXPECT_EQ(device->rdmsr(msr), 0u) << std::hex << msr;
        device->wrmsr(msr, 0x1234); // EIO: dropped, and we are still here
        EXPECT_EQ(device->rdmsr(msr), 0u) << std::hex << msr;
    }
}

TEST_F(MSRDeviceTest, AShortOrEndedFileReadsZero)
{
    ASSERT_FALSE(online.empty());
    RunOnCPU here(online[0]);
    files.create({online[0]});
    files.put(online[0], 0x100, 0x1122334455667788);
    files.put(online[0], 0x200, 0xAABBCCDD, 4); // the file ends 4 bytes into this register
    auto device = open({online[0]});
    ASSERT_NE(device, nullptr) << error;

    EXPECT_EQ(device->rdmsr(0x100), 0x1122334455667788u);
    EXPECT_EQ(device->rdmsr(0x200), 0u);      // 4 bytes, then the end
    EXPECT_EQ(device->rdmsr(0x1FE), 0u);      // 6 bytes, then the end
    EXPECT_EQ(device->rdmsr(0x1000), 0u);     // past the end
    EXPECT_EQ(device->rdmsr(0xFFFFFFFF), 0u); // the highest number, far past the end
}

class FaultInjectingHardwareTest : public MSRDeviceTest {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(online.empty());
        files.create(online);
        for (int cpu : online)
            files.put(cpu, 0x1AD, 0x28292A2A);
        device = open(online);
        ASSERT_NE(device, nullptr) << error;
    }

    std::unique_ptr<MSRDevice> device;
};

TEST_F(FaultInjectingHardwareTest, RefusesTheChosenRegisterAndPassesTheRest)
{
    FaultInjectingHardware faulty(*device);
    RunOnCPU here(online[0]);
    files.put(online[0], 0x10, 77);

    ASSERT_TRUE(faulty.refuse(0x1AD));
    EXPECT_EQ(faulty.rdmsr(0x1AD), 0u);
    faulty.wrmsr(0x1AD, 0x25262728);
    EXPECT_EQ(files.get(online[0], 0x1AD), 0x28292A2Au);
    EXPECT_EQ(faulty.rdmsr(0x10), 77u);
    faulty.wrmsr(0x620, 0x0829);
    EXPECT_EQ(files.get(online[0], 0x620), 0x0829u);
    EXPECT_EQ(faulty.refusedReads(), 1u);
    EXPECT_EQ(faulty.refusedWrites(), 1u);

    ASSERT_TRUE(faulty.allow(0x1AD));
    EXPECT_EQ(faulty.rdmsr(0x1AD), 0x28292A2Au);
    EXPECT_FALSE(faulty.allow(0x1AD));

    EXPECT_STREQ(faulty.description(), device->description());
    EXPECT_FALSE(faulty.isSimulated());
    EXPECT_EQ(faulty.cpuCount(), device->cpuCount());
    EXPECT_EQ(faulty.currentCPU(), 0u);
}

TEST_F(FaultInjectingHardwareTest, RefusesOnOneCPUOnly)
{
    ASSERT_GE(online.size(), 2u) << "needs two CPUs";
    FaultInjectingHardware faulty(*device);
    ASSERT_TRUE(faulty.refuse(0x1AD, 1));
    {
        RunOnCPU here(online[0]);
        EXPECT_EQ(faulty.rdmsr(0x1AD), 0x28292A2Au);
    }
    {
        RunOnCPU here(online[1]);
        EXPECT_EQ(faulty.rdmsr(0x1AD), 0u);
    }
    // Refusals are undone exactly as they were made.
    EXPECT_FALSE(faulty.allow(0x1AD));
    EXPECT_TRUE(faulty.allow(0x1AD, 1));
}

TEST_F(FaultInjectingHardwareTest, SaysSoWhenAskedForMoreThanItCanDo)
{
    FaultInjectingHardware faulty(*device);
    EXPECT_FALSE(faulty.refuse(0x10, device->cpuCount()));
    for (uint32_t i = 0; i < FaultInjectingHardware::kCapacity; ++i)
        ASSERT_TRUE(faulty.refuse(0x1000 + i));
    EXPECT_TRUE(faulty.refuse(0x1000)); // already there
    EXPECT_FALSE(faulty.refuse(0x2000));
}

} // namespace
} // namespace vennix
