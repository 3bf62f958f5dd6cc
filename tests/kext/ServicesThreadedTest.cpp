// The four services' life cycle on the simulated processor, recorded processors and the
// file-backed MSR device.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "kext/ACPIAccessor.h"
#include "kext/H_ECAccessor.h"
#include "kext/PCIAccessor.h"
#include "kext/Vennix.h"
#include "kext/VennixModule.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/MSRDevice.h"
#include "sim/SimulatedProcessor.h"
#include "tests/kext/RecordedCPU.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

namespace vennix {
namespace {

class Services : public ::testing::Test {
protected:
    Services() : processor(clock), platform(IOPlatformDevice::withHardware(&processor, &clock)) {}
    ~Services() override { platform->release(); }

    // Creates a service by class name as the daemon's personalities do, and starts it.
    template <class T>
    T* startService(const char* className, IOPlatformDevice* provider)
    {
        auto* service = OSDynamicCast<T>(OSMetaClass::allocClassWithName(className));
        EXPECT_NE(service, nullptr) << className;
        if (service == nullptr)
            return nullptr;
        EXPECT_TRUE(service->init(nullptr));
        started = service->start(provider);
        return service;
    }

    static void stopService(IOService* service)
    {
        service->terminate();
        service->release();
    }

    ManualClock clock{1500000000, 250000};
    sim::SimulatedProcessor processor;
    IOPlatformDevice* platform;
    IOLogCapture log;
    bool started = false;
};

TEST_F(Services, ClassesRegisterInModuleOrder)
{
    const std::vector<std::string> all = OSMetaClass::getRegisteredClassNames();
    std::vector<std::string> ours;
    for (const std::string& name : all) {
        if (name == "ACPIAccessor" || name == "AccessorUserClient" || name == "Vennix"
            || name == "H_ECAccessor" || name == "PCIAccessor")
            ours.push_back(name);
    }
    std::vector<std::string> expected{"ACPIAccessor", "Vennix", "H_ECAccessor", "PCIAccessor"};
    if (std::find(ours.begin(), ours.end(), "AccessorUserClient") != ours.end())
        expected.insert(expected.begin() + 1, "AccessorUserClient");
    EXPECT_EQ(ours, expected);
    EXPECT_EQ(Vennix_start(nullptr, nullptr), KERN_SUCCESS);
    EXPECT_EQ(Vennix_stop(nullptr, nullptr), KERN_SUCCESS);
    EXPECT_STREQ(kVennixVersion, "1.0.0d1");
}

TEST_F(Services, VennixIdentifiesPublishesAndFrees)
{
    Vennix* vennix = startService<Vennix>("Vennix", platform);
    ASSERT_NE(vennix, nullptr);
    EXPECT_TRUE(started);

    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Vennix/ init\n");
    EXPECT_EQ(lines[1], "Vennix/ start\n");
    EXPECT_EQ(lines[2].rfind("Vennix/ CPU: Simulated", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "Vennix/ Family: 37FC219F\n");

    const i386_cpu_info_t* info = vennix->getInfo();
    EXPECT_EQ(info, cpuid_info());
    EXPECT_EQ(info->core_count, 4u);
    EXPECT_EQ(info->thread_count, 8u);
    EXPECT_EQ(info->cpuid_cpufamily, CPUFAMILY_INTEL_SKYLAKE);

    IOService* found = IOService::copyMatchingService("Vennix");
    EXPECT_EQ(found, vennix);
    OSSafeReleaseNULL(found);

    log.clear();
    stopService(vennix);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Vennix/ free\n"});
    EXPECT_EQ(IOService::copyMatchingService("Vennix"), nullptr);
}

TEST_F(Services, EveryServiceLogsItsLifeCycle)
{
    auto* acpi = startService<ACPIAccessor>("ACPIAccessor", platform);
    auto* ec = startService<H_ECAccessor>("H_ECAccessor", platform);
    auto* pci = startService<PCIAccessor>("PCIAccessor", platform);
    ASSERT_TRUE(acpi && ec && pci);
    stopService(acpi);
    stopService(ec);
    stopService(pci);

    const std::vector<std::string> lines = log.lines();
    auto startOf = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    const auto acpiStart = startOf("ACPIAccessor/ start\n");
    ASSERT_LT(acpiStart, static_cast<long>(lines.size()));
    EXPECT_EQ(lines[acpiStart - 1], "ACPIAccessor/ init\n");
    EXPECT_EQ(lines[acpiStart + 1], "H_ECAccessor/ init\n"); // no identification for ACPI

    // The first service on the platform identifies its processor; the next one copies the
    // record instead of identifying again.
    const auto ecStart = startOf("H_ECAccessor/ start\n");
    ASSERT_LT(ecStart + 2, static_cast<long>(lines.size()));
    EXPECT_EQ(lines[ecStart + 1].rfind("Vennix/ CPU: Simulated", 0), 0u);
    EXPECT_EQ(lines[ecStart + 2], "Vennix/ Family: 37FC219F\n");

    const auto pciStart = startOf("PCIAccessor --------------/ start\n");
    ASSERT_LT(pciStart + 1, static_cast<long>(lines.size()));
    EXPECT_EQ(lines[pciStart - 1], "PCIAccessor/ init\n");
    EXPECT_EQ(lines[pciStart + 1], "ACPIAccessor/ free\n");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Vennix/ Family: 37FC219F\n"), 1);

    const std::vector<std::string> tail(lines.end() - 3, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"ACPIAccessor/ free\n", "H_ECAccessor/ free\n",
                                              "PCIAccessor/ free\n"}));
}

TEST_F(Services, UnsupportedProcessorStillPublishes)
{
    test::RecordedCPU amd;
    amd.vendor("AuthenticAMD", 1);
    amd.leaves[1] = {0x00A20F10, 0x00100800, 0x7ED8320B, 0x178BFBFF};
    amd.leaves[0x80000000] = {0x80000001, 0, 0, 0};
    amd.leaves[0x80000001] = {0, 0, 0, 0};
    amd.msrs[0x8B] = 0;
    amd.msrs[0x17] = 0;
    IOPlatformDevice* other = IOPlatformDevice::withHardware(&amd, &clock);

    Vennix* vennix = startService<Vennix>("Vennix", other);
    ASSERT_NE(vennix, nullptr);
    EXPECT_TRUE(started);
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Vennix/ Unsupported CPU: AuthenticAMD\n"), lines.end());
    IOService* found = IOService::copyMatchingService("Vennix");
    EXPECT_EQ(found, vennix);
    OSSafeReleaseNULL(found);
    // No topology leaf: the one CPU the replay has, not leaf 1's 16 APIC ids.
    EXPECT_EQ(vennix->getInfo()->core_count, 1u);
    EXPECT_EQ(vennix->getInfo()->thread_count, 1u);
    EXPECT_EQ(vennix->getMSR(0x8B), 0u);

    stopService(vennix);
    other->release();
}

TEST_F(Services, StartWithoutAPlatformDoesNotPublish)
{
    Vennix* vennix = startService<Vennix>("Vennix", nullptr);
    ASSERT_NE(vennix, nullptr);
    EXPECT_FALSE(started);
    EXPECT_EQ(IOService::copyMatchingService("Vennix"), nullptr);
    EXPECT_EQ(vennix->getMSR(0x198), 0u); // no processor: reads nothing, crashes nothing
    vennix->setMSR(0x1AD, 1);
    vennix->release();
}

TEST_F(Services, TimeHasMicrosecondResolution)
{
    Vennix* vennix = startService<Vennix>("Vennix", platform);
    ASSERT_NE(vennix, nullptr);
    EXPECT_DOUBLE_EQ(vennix->getTime(), 1500000000.25);
    clock.set(1500000001, 1);
    EXPECT_DOUBLE_EQ(vennix->getTime(), 1500000001.000001);
    stopService(vennix);
}

TEST_F(Services, MSRsGoToTheProcessor)
{
    Vennix* vennix = startService<Vennix>("Vennix", platform);
    ASSERT_NE(vennix, nullptr);
    EXPECT_EQ(vennix->getMSR(0xCE) >> 8 & 0xFF, 40u);
    vennix->setMSR(0x1AD, 0x26272829);
    EXPECT_EQ(vennix->getMSR(0x1AD), 0x26272829u);
    EXPECT_EQ(vennix->getMSR(0x12345678), 0u);
    stopService(vennix);
}

class FileBackedServices : public ::testing::Test {
protected:
    FileBackedServices()
    {
        files.create({0});
        device = MSRDevice::open(files.directory(), &error, {0});
    }

    testing::MSRFiles files;
    std::string error;
    std::unique_ptr<MSRDevice> device;
    IOLogCapture log;
};

TEST_F(FileBackedServices, SixtyFourBitValuesCrossWhole)
{
    ASSERT_TRUE(device) << error;
    // EDX 0x00000001, EAX 0x80000000.
    files.put(0, 0x198, 0x0000000180000000);
    IOPlatformDevice* platform = IOPlatformDevice::withHardware(device.get());
    auto* vennix = OSDynamicCast<Vennix>(OSMetaClass::allocClassWithName("Vennix"));
    ASSERT_TRUE(vennix && vennix->init(nullptr));
    vennix->start(platform);

    testing::RunOnCPU onCPU0(0);
    EXPECT_EQ(vennix->getMSR(0x198), 0x0000000180000000u);
    vennix->setMSR(0x199, 0xFFFFFFFF00000002);
    EXPECT_EQ(files.get(0, 0x199), 0xFFFFFFFF00000002u);

    vennix->terminate();
    vennix->release();
    platform->release();
}

// The first processor block of /proc/cpuinfo, field by field.
std::map<std::string, std::string> firstProcessorOfCPUInfo()
{
    std::map<std::string, std::string> fields;
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && !line.empty()) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, colon);
        key.erase(key.find_last_not_of(" \t") + 1);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        fields[key] = value;
    }
    return fields;
}

std::string readLine(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Threads and cores of the package of a CPU, as Linux counts them among the online CPUs.
std::pair<uint32_t, uint32_t> sysfsPackage(const std::vector<int>& online, int cpu)
{
    const std::string root = "/sys/devices/system/cpu/cpu";
    const std::string package = readLine(root + std::to_string(cpu) + "/topology/physical_package_id");
    std::set<std::string> cores;
    uint32_t threads = 0;
    for (int other : online) {
        const std::string topology = root + std::to_string(other) + "/topology/";
        if (readLine(topology + "physical_package_id") != package)
            continue;
        ++threads;
        cores.insert(readLine(topology + "core_id"));
    }
    return {threads, static_cast<uint32_t>(cores.size())};
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

    const auto kernel = firstProcessorOfCPUInfo();
    ASSERT_TRUE(kernel.count("vendor_id")) << "no vendor in /proc/cpuinfo";
    EXPECT_EQ(std::string(info.cpuid_vendor), kernel.at("vendor_id"));
    EXPECT_EQ(std::to_string(info.cpuid_family), kernel.at("cpu family"));
    // The record adds the extended model for families 6 and 15 only; Linux for every family
    // from 6 on, so the comparison adds it where the record leaves it out.
    const unsigned model = info.cpuid_family == 6 || info.cpuid_family == 15
        ? info.cpuid_model
        : info.cpuid_model + (unsigned{info.cpuid_extmodel} << 4);
    EXPECT_EQ(std::to_string(model), kernel.at("model"));
    EXPECT_EQ(std::to_string(info.cpuid_stepping), kernel.at("stepping"));
    std::string brand = info.cpuid_brand_string;
    brand.erase(brand.find_last_not_of(' ') + 1);
    // Linux reads the brand once, at boot. A guest restored from a snapshot on another host
    // (seen here: "AMD EPYC" at boot, "Oxide Virtual Turin-like Processor" now) reports what
    // its hypervisor said then; on bare metal the two must agree.
    const bool guest = kernel.count("flags") && (" " + kernel.at("flags") + " ").find(" hypervisor ") != std::string::npos;
    if (!brand.empty() && !(guest && brand != kernel.at("model name")))
        EXPECT_EQ(brand, kernel.at("model name"));
    else if (!brand.empty())
        std::printf("note: brand \"%s\" differs from /proc/cpuinfo's \"%s\" on this guest\n", brand.c_str(),
                    kernel.at("model name").c_str());
    if (kernel.count("microcode"))
        EXPECT_EQ(info.cpuid_microcode_version, std::stoul(kernel.at("microcode"), nullptr, 16));

    if (kernel.count("siblings"))
        EXPECT_EQ(std::to_string(info.thread_count), kernel.at("siblings"));
    if (kernel.count("cpu cores"))
        EXPECT_EQ(std::to_string(info.core_count), kernel.at("cpu cores"));
    const auto [threads, cores] = sysfsPackage(online, online.front());
    if (threads > 0) {
        EXPECT_EQ(info.thread_count, threads);
        EXPECT_EQ(info.core_count, cores);
    }
    EXPECT_LE(info.thread_count, online.size());

    for (int cpu : online)
        EXPECT_EQ(std::filesystem::file_size(files.path(cpu)), 0u) << "an MSR was written on CPU " << cpu;
}

} // namespace
} // namespace vennix
