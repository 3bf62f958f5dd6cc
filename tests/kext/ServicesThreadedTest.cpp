// The four services' life cycle on the simulated processor, recorded processors and the
// file-backed MSR device.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
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

    const auto ecStart = startOf("H_ECAccessor/ start\n");
    ASSERT_LT(ecStart + 2, static_cast<long>(lines.size()));
    EXPECT_EQ(lines[ecStart + 1].rfind("Vennix/ CPU: Simulated", 0), 0u);
    EXPECT_EQ(lines[ecStart + 2], "Vennix/ Family: 37FC219F\n");

    const auto pciStart = startOf("PCIAccessor --------------/ start\n");
    ASSERT_LT(pciStart + 2, static_cast<long>(lines.size()));
    EXPECT_EQ(lines[pciStart - 1], "PCIAccessor/ init\n");
    EXPECT_EQ(lines[pciStart + 1].rfind("Vennix/ CPU: Simulated", 0), 0u);

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
    EXPECT_EQ(vennix->getInfo()->core_count, 16u);
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

TEST_F(FileBackedServices, RealCPUIDIdentifiesThisMachine)
{
    ASSERT_TRUE(device) << error;
    // The MSR files are empty: identification reads 0 for every MSR and still finishes.
    i386_cpu_info_t info{};
    cpuid_set_info(*device, &info);

    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, vendor;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("vendor_id", 0) == 0) {
            vendor = line.substr(line.find(':') + 2);
            break;
        }
    }
    ASSERT_FALSE(vendor.empty());
    EXPECT_EQ(std::string(info.cpuid_vendor), vendor);
    EXPECT_GE(info.cpuid_max_basic, 1u);
    EXPECT_NE(info.cpuid_signature, 0u);
    EXPECT_GE(info.thread_count, 1u);
    const std::vector<std::string> lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("Vennix/ CPU: ", 0), 0u);
}

} // namespace
} // namespace vennix
