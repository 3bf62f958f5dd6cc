// The MSR device from a thread outside its rendezvous (the CPU it runs on picks the file), CPU
// lists, the microcode revision, and the fault-injecting wrapper on it. Refused registers: see
// PlatformThreadedTest.

#include "kext/platform/FaultInjectingHardware.h"
#include "kext/platform/MSRDevice.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

#include <gtest/gtest.h>

namespace vennix {
namespace {

using testing::RunOnCPU;

TEST(MSRDeviceTest, CPUListsAndMicrocodeRevisionsAsLinuxWritesThem)
{
    for (const auto& [text, cpus] :
        std::initializer_list<std::pair<const char*, std::vector<int>>>{// empty: refused
            {"0\n", {0}}, {"0-3\n", {0, 1, 2, 3}}, {"0-1,4,6-7\n", {0, 1, 4, 6, 7}}, {"5,0-2", {0, 1, 2, 5}},
            {"2,2,1-2", {1, 2}}, {"8191", {8191}}, {"", {}}, {"\n", {}}, {"a", {}}, {"0-", {}}, {"-3", {}}, {"3-1", {}},
            {"0,,1", {}}, {"0,", {}}, {"0 1", {}}, {"1-2-3", {}}, {"8192", {}}, {"0-99999999999999999999", {}}})
        EXPECT_EQ(MSRDevice::parseCPUList(text), cpus) << '"' << text << '"';
    const std::vector<int> online = MSRDevice::onlineCPUs();
    EXPECT_TRUE(
        std::is_sorted(online.begin(), online.end()) && std::count(online.begin(), online.end(), sched_getcpu()));

    testing::MSRFiles dir; // for its temporary directory
    const std::string sys = dir.directory() + "/sys", cpuinfo = dir.directory() + "/cpuinfo";
    std::ofstream(cpuinfo) << "processor\t: 0\nmicrocode\t: 0xb4\n\nprocessor\t: 1\nmicrocode\t: 0xF0\n\n"
                           << "processor\t: 12\nmicrocode\t: junk\n\nprocessor : 3\nmicrocode: 0x7\n";
    for (const char* cpu : {"1", "2"})
        std::filesystem::create_directories(sys + "/cpu" + cpu + "/microcode");
    std::ofstream(sys + "/cpu1/microcode/version") << "0xde\n"; // sysfs first
    std::ofstream(sys + "/cpu2/microcode/version") << "not hex\n";
    for (auto [cpu, revision] : {std::pair{1, 0xDE}, {0, 0xB4}, {3, 0x7}, {2, 0}, {12, 0}, {1234, 0}})
        EXPECT_EQ(MSRDevice::microcodeOf(cpu, sys, cpuinfo), uint32_t(revision)) << "CPU " << cpu;
    EXPECT_EQ(MSRDevice::microcodeOf(0, sys, dir.directory() + "/none"), 0u);
}

class MSRDeviceFileTest : public ::testing::Test {
protected:
    std::unique_ptr<MSRDevice> open(const std::vector<int>& cpus, uint32_t msr = 0, uint64_t value = 0)
    {
        for (int cpu : cpus)
            files.put(cpu, msr, value + static_cast<uint64_t>(cpu));
        return MSRDevice::open(files.directory(), &error, cpus);
    }

    testing::MSRFiles files;
    std::vector<int> online = testing::usableCPUs(MSRDevice::onlineCPUs());
    std::string error;
};

TEST_F(MSRDeviceFileTest, OpeningNamesTheFileAndTheRemedy)
{
    const std::string remedy = "; run as root with the msr module loaded (modprobe msr), or use --simulate";
    files.create({0, 3, 5, 7});
    std::filesystem::create_directories(files.path(2)); // nothing to read behind the name
    for (const auto& [cpus, message] : std::initializer_list<std::pair<std::vector<int>, std::string>>{
             {{0, 1}, "cannot open " + files.path(1) + ": No such file or directory" + remedy},
             {{2}, "cannot open " + files.path(2) + ": Is a directory" + remedy},
             {{-1}, "CPU number -1 out of range"}, {{8192}, "CPU number 8192 out of range"}}) {
        EXPECT_EQ(MSRDevice::open(files.directory(), &error, cpus), nullptr);
        EXPECT_EQ(error, message);
    }
    EXPECT_EQ(MSRDevice::open(files.directory(), nullptr, {1}), nullptr);
    auto device = open({3, 7, 5});
    ASSERT_NE(device, nullptr) << error;
    EXPECT_TRUE(!strcmp(device->description(), files.directory().c_str()) && !device->isSimulated());
    EXPECT_TRUE(
        device->cpuCount() == 3 && device->linuxCPU(1) == 7 && device->linuxCPU(2) == 5 && device->linuxCPU(3) == -1);
}

TEST_F(MSRDeviceFileTest, AThreadUsesTheFileOfTheCPUItRunsOnAndRefusedOrShortRegistersReadZero)
{
    ASSERT_GE(online.size(), 2u) << "needs two CPUs";
    files.create(online);
    files.put(online[0], 0xC0000090, 0xAABBCCDD, 4); // the file ends 4 bytes into this register
    auto device = open(online, 0xC0000080, 0xD00);
    for (unsigned n = 0; n < online.size(); ++n) {
        RunOnCPU here(online[n]);
        EXPECT_TRUE(device->currentCPU() == n && device->rdmsr(0xC0000080) == 0xD00u + online[n]) << "CPU " << n;
        device->wrmsr(0x199, 0x1F00 + n);
    }
    for (unsigned n = 0; n < online.size(); ++n)
        EXPECT_EQ(files.get(online[n], 0x199), 0x1F00 + n) << "Linux CPU " << online[n];
    RunOnCPU here(online[0]);
    for (uint32_t msr : {0xC0000090u, 0xC000008Eu, 0xC0000098u, 0xFFFFFFFFu}) // short, or past the end
        EXPECT_EQ(device->rdmsr(msr), 0u) << std::hex << msr;
    auto second = open({online[1]}); // a thread on a CPU the device does not cover stands for CPU 0
    EXPECT_TRUE(second->currentCPU() == 0 && second->rdmsr(0xC0000080) == 0xD00u + online[1]);
    // Refusals injected on every CPU or on one, undone exactly as they were made.
    FaultInjectingHardware faulty(*device);
    ASSERT_TRUE(faulty.refuse(0xC0000080) && faulty.refuse(0x199, 1));
    faulty.wrmsr(0xC0000080, 1);
    faulty.wrmsr(0x199, 2);
    EXPECT_TRUE(faulty.rdmsr(0xC0000080) == 0 && files.get(online[0], 0xC0000080) == 0xD00u + online[0]);
    EXPECT_TRUE(faulty.rdmsr(0x199) == 2 && faulty.refusedReads() == 1 && faulty.refusedWrites() == 1);
    EXPECT_TRUE(!faulty.allow(0xC0000080, 1) && faulty.allow(0xC0000080) && !faulty.allow(0xC0000080));
    {
        RunOnCPU second(online[1]);
        EXPECT_TRUE(faulty.rdmsr(0x199) == 0 && faulty.rdmsr(0xC0000080) == 0xD00u + online[1]);
    }
    EXPECT_TRUE(faulty.allow(0x199, 1) && !faulty.refuse(0x10, device->cpuCount())); // no such CPU
    for (uint32_t i = 0; i < FaultInjectingHardware::kCapacity; ++i)
        ASSERT_TRUE(faulty.refuse(0x1000 + i));
    EXPECT_TRUE(faulty.refuse(0x1000) && !faulty.refuse(0x2000)); // already there; the table is full
}

} // namespace
} // namespace vennix
