// The four services' life cycle on the simulated processor, and identification of this
// machine's processor over empty MSR files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "kext/ACPIAccessor.h"
#include "kext/H_ECAccessor.h"
#include "kext/PCIAccessor.h"
#include "kext/Vennix.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/MSRDevice.h"
#include "sim/SimulatedProcessor.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

namespace vennix {
namespace {

TEST(Services, LogTheirLifeCycleAndTheFirstIdentifiesTheProcessorOfItsPlatform)
{
    IOLogCapture log;
    ManualClock clock;
    sim::SimulatedProcessor processor{clock};
    IOPlatformDevice* platform = IOPlatformDevice::withHardware(&processor, &clock);
    *cpuid_info() = {};
    auto* lone = OSDynamicCast<Vennix>(OSMetaClass::allocClassWithName("Vennix")); // without a platform device
    EXPECT_TRUE(lone->init(nullptr) && !lone->start(nullptr) && !IOService::copyMatchingService("Vennix"));
    EXPECT_TRUE(lone->getMSR(0x198) == 0 && cpuid_info()->thread_count == 0); // nothing read, nothing identified
    lone->setMSR(0x1AD, 1);
    lone->release();
    std::vector<IOService*> services;
    for (const char* name : {"Vennix", "ACPIAccessor", "H_ECAccessor", "PCIAccessor"}) {
        services.push_back(OSDynamicCast<IOService>(OSMetaClass::allocClassWithName(name)));
        EXPECT_TRUE(services.back()->init(nullptr) && services.back()->start(platform)) << name;
        IOService* found = IOService::copyMatchingService(name);
        EXPECT_EQ(found, services.back()) << name;
        OSSafeReleaseNULL(found);
    }
    EXPECT_TRUE(cpuid_info()->thread_count == 8 && OSDynamicCast<Vennix>(services[0])->getMSR(0x35) == 0x40008);
    for (IOService* service : services)
        service->terminate(), service->release();
    for (const char* name : {"Vennix", "ACPIAccessor", "H_ECAccessor", "PCIAccessor"})
        EXPECT_EQ(IOService::copyMatchingService(name), nullptr) << name;
    EXPECT_EQ(log.lines(),
        (std::vector<std::string>{"Vennix/ init\n", "Vennix/ start\n",
            "Vennix/ start: provider is not a platform device\n", "Vennix/ free\n", "Vennix/ init\n", "Vennix/ start\n",
            "Vennix/ CPU: Simulated Intel(R) Core(TM) i7 CPU @ 4.00GHz\n", "Vennix/ Family: 37FC219F\n",
            "ACPIAccessor/ init\n", "ACPIAccessor/ start\n", "H_ECAccessor/ init\n", "H_ECAccessor/ start\n",
            "PCIAccessor/ init\n", "PCIAccessor --------------/ start\n", "Vennix/ free\n", "ACPIAccessor/ free\n",
            "H_ECAccessor/ free\n", "PCIAccessor/ free\n"}));
    platform->release();
}

std::string readLine(const std::string& path)
{
    std::string line;
    std::getline(std::ifstream(path) >> std::ws, line);
    return line;
}

TEST(ThisMachine, IdentificationAgreesWithLinuxAndWritesNothing)
{
    // The real CPUID and rendezvous over empty MSR files: every MSR reads 0, as in a guest that
    // refuses them, and the counts must come out as Linux's all the same, on any vendor.
    const std::vector<int> online = MSRDevice::onlineCPUs();
    ASSERT_FALSE(online.empty());
    testing::MSRFiles files;
    files.create(online);
    std::string error;
    std::unique_ptr<MSRDevice> device = MSRDevice::open(files.directory(), &error, online);
    ASSERT_TRUE(device) << error;
    IOLogCapture log;
    i386_cpu_info_t info{};
    cpuid_set_info(*device, &info);

    std::map<std::string, std::string> kernel; // the first processor block of /proc/cpuinfo: "key\t\t: value"
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line) && !line.empty();)
        kernel[line.substr(0, line.find_first_of("\t:"))] = line.substr(std::min(line.size(), line.find(':') + 2));
    ASSERT_TRUE(kernel.count("vendor_id")) << "no vendor in /proc/cpuinfo";
    EXPECT_EQ(std::string(info.cpuid_vendor), kernel.at("vendor_id"));
    EXPECT_EQ(std::to_string(info.cpuid_family), kernel.at("cpu family"));
    // The record adds the extended model for families 6 and 15 only; Linux for every family
    // from 6 on, so the comparison adds it where the record leaves it out.
    const unsigned extended = info.cpuid_family == 6 || info.cpuid_family == 15 ? 0 : info.cpuid_extmodel << 4;
    EXPECT_EQ(std::to_string(info.cpuid_model + extended), kernel.at("model"));
    EXPECT_EQ(std::to_string(info.cpuid_stepping), kernel.at("stepping"));
    std::string brand = info.cpuid_brand_string;
    brand.erase(brand.find_last_not_of(' ') + 1);
    // Linux reads the brand once, at boot: a guest restored from a snapshot on another host (seen
    // here: "AMD EPYC" at boot, "Oxide Virtual Turin-like Processor" now) reports what its
    // hypervisor said then. On bare metal the two must agree.
    if (!brand.empty() && (" " + kernel["flags"] + " ").find(" hypervisor ") == std::string::npos) {
        EXPECT_EQ(brand, kernel.at("model name"));
    }
    if (kernel.count("microcode")) {
        EXPECT_EQ(info.cpuid_microcode_version, std::stoul(kernel.at("microcode"), nullptr, 16));
    }
    // Threads and cores of CPU 0's package, as Linux counts them among the online CPUs.
    const std::string root = "/sys/devices/system/cpu/cpu";
    const std::string package = readLine(root + std::to_string(online.front()) + "/topology/physical_package_id");
    std::set<std::string> cores;
    uint32_t threads = 0;
    for (int cpu : online) {
        const std::string topology = root + std::to_string(cpu) + "/topology/";
        if (readLine(topology + "physical_package_id") == package) {
            ++threads;
            cores.insert(readLine(topology + "core_id"));
        }
    }
    EXPECT_TRUE(info.thread_count == threads && info.core_count == cores.size() && threads <= online.size())
        << info.core_count << "/" << info.thread_count << " but Linux counts " << cores.size() << "/" << threads;
    for (int cpu : online)
        EXPECT_EQ(std::filesystem::file_size(files.path(cpu)), 0u) << "an MSR was written on CPU " << cpu;
}

} // namespace
} // namespace vennix
