// The hosted CPU service: the choice of backends, and the set of services built from the
// personalities, started in order and freed in reverse.

#include "host/PlatformBackends.h"
#include "host/ServiceSet.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/MSRDevice.h"
#include "kext/platform/OSString.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

namespace vennix {
namespace {

TEST(PlatformBackendsTest, RealBackendsSayWhatIsMissing)
{
    testing::MSRFiles files;
    const PlatformBackends::RealPaths paths{files.directory(), files.directory() + "/no-call", files.directory()};
    const std::string first = files.path(MSRDevice::onlineCPUs().front());
    std::string error;
    EXPECT_TRUE(!PlatformBackends::real(&error, paths)
                && error == "no " + first + ": load the msr kernel module (modprobe msr) or run with --simulate");
    std::filesystem::create_directories(first); // a directory where the file should be
    EXPECT_EQ(PlatformBackends::real(&error, paths), nullptr);
    EXPECT_EQ(error, "cannot open " + first + ": Is a directory");
    std::filesystem::remove(first);
    files.create(MSRDevice::onlineCPUs());
    auto real = PlatformBackends::real(&error, paths);
    ASSERT_TRUE(real) << error;
    EXPECT_FALSE(real->isSimulated() || real->acpi()->isSimulated());
    EXPECT_EQ(real->description(),
        "MSRs through " + files.directory() + " (" + std::to_string(MSRDevice::onlineCPUs().size())
            + " CPUs), ACPI through " + paths.acpiCall + " (missing: load the acpi_call module for ACPI methods)");
    EXPECT_EQ(PlatformBackends::simulated(nullptr), nullptr);
}

TEST(ServiceSetTest, StartsThePersonalitiesInOrderAndFreesThemInReverse)
{
    IOLogCapture log;
    ManualClock clock;
    auto backends = PlatformBackends::simulated(&clock);
    ASSERT_TRUE(backends->isSimulated() && backends->acpi()->isSimulated() && backends->clock() == &clock);
    EXPECT_EQ(backends->description(), "simulated processor and ACPI namespace (simulated)");
    EXPECT_EQ(ServiceSet::start(nullptr, &clock, backends->acpi()), nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"vennixd/ no platform device for the hardware\n"});
    log.clear();
    auto set = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    EXPECT_TRUE(log.lines()[0] == "Vennix/ init\n" && log.lines()[4] == "ACPIAccessor/ init\n" // in table order
                && log.lines()[6] == "H_ECAccessor/ init\n" && log.lines()[8] == "PCIAccessor/ init\n");
    auto other = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    ASSERT_TRUE(set && other);
    EXPECT_EQ(set->platformDevice()->getACPIPlatform(), backends->acpi());
    const char* names[] = {"Vennix", "ACPIAccessor", "H_ECAccessor", "PCIAccessor"};
    for (size_t i = 0; i < 4; ++i) {
        IOService* service = set->service(names[i]);
        EXPECT_TRUE(!strcmp(service->getClassName(), names[i]) && service->getProvider() == set->platformDevice());
        OSObject* property = service->copyProperty(kIOUserClientClassKey); // the personality reached it
        const auto* className = OSDynamicCast<OSString>(property);
        EXPECT_TRUE(i < 2 ? className && className->isEqualTo("AccessorUserClient") : !property) << names[i];
        OSSafeReleaseNULL(property);
        for (ServiceSet* owner : {set.get(), other.get()}) { // each set's own, never the other's
            IOService* found = owner->copyService(names[i]);
            EXPECT_EQ(found, owner->service(names[i]));
            OSSafeReleaseNULL(found);
        }
    }
    EXPECT_FALSE(set->service("AccessorUserClient") || set->service(nullptr) || set->copyService(nullptr));
    set->service("H_ECAccessor")->terminate();
    EXPECT_EQ(set->copyService("H_ECAccessor"), nullptr); // active ones only
    log.clear();
    set.reset();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"PCIAccessor/ free\n", "H_ECAccessor/ free\n",
                                                     "ACPIAccessor/ free\n", "Vennix/ free\n"}));
    IOService* found = IOService::copyMatchingService("Vennix"); // the other set's only
    EXPECT_EQ(found, other->service("Vennix"));
    OSSafeReleaseNULL(found);
}

} // namespace
} // namespace vennix
