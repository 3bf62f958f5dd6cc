// The personalities and the set of services built from them: creation order, publication,
// and the reverse-order teardown with its "free" lines.

#include <gtest/gtest.h>

#include "host/Personalities.h"
#include "host/PlatformBackends.h"
#include "host/ServiceSet.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSString.h"

#include <algorithm>
#include <cstring>

namespace vennix {
namespace {

const char* stringProperty(const OSDictionary* dictionary, const char* key)
{
    const auto* value = OSDynamicCast<OSString>(dictionary->getObject(key));
    return value ? value->getCStringNoCopy() : nullptr;
}

bool published(const char* name)
{
    IOService* service = IOService::copyMatchingService(name);
    const bool found = service != nullptr;
    OSSafeReleaseNULL(service);
    return found;
}

TEST(Personalities, FourServicesTwoWithUserClients)
{
    const auto table = Personalities::table();
    ASSERT_EQ(table.size(), 4u);
    const char* names[] = {"Vennix", "ACPIAccessor", "H_ECAccessor", "PCIAccessor"};
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_STREQ(table[i].className, names[i]);
        OSDictionary* dictionary = Personalities::dictionary(table[i]);
        ASSERT_NE(dictionary, nullptr);
        EXPECT_STREQ(stringProperty(dictionary, "IOClass"), names[i]);
        if (i < 2)
            EXPECT_STREQ(stringProperty(dictionary, kIOUserClientClassKey), "AccessorUserClient");
        else
            EXPECT_EQ(dictionary->getObject(kIOUserClientClassKey), nullptr);
        dictionary->release();
    }
}

class ServiceSetTest : public ::testing::Test {
protected:
    IOLogCapture log;
    ManualClock clock{1500000000, 0};
    std::unique_ptr<PlatformBackends> backends = PlatformBackends::simulated(&clock);
};

TEST_F(ServiceSetTest, StartsInTableOrderAndFreesInReverse)
{
    auto set = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    ASSERT_TRUE(set);

    std::vector<std::string> starts;
    for (const std::string& line : log.lines()) {
        if (line.find("/ init\n") != std::string::npos)
            starts.push_back(line);
    }
    EXPECT_EQ(starts, (std::vector<std::string>{"Vennix/ init\n", "ACPIAccessor/ init\n",
                                                "H_ECAccessor/ init\n", "PCIAccessor/ init\n"}));

    for (const char* name : {"Vennix", "ACPIAccessor", "H_ECAccessor", "PCIAccessor"}) {
        IOService* service = set->service(name);
        ASSERT_NE(service, nullptr) << name;
        EXPECT_STREQ(service->getClassName(), name);
        EXPECT_EQ(service->getProvider(), set->platformDevice());
        EXPECT_TRUE(published(name)) << name;
    }
    EXPECT_EQ(set->service("AccessorUserClient"), nullptr);
    EXPECT_EQ(set->service(nullptr), nullptr);
    EXPECT_EQ(set->platformDevice()->getACPIPlatform(), backends->acpi());
    // The personality reached the service, so that connections find their class.
    OSObject* property = set->service("Vennix")->copyProperty(kIOUserClientClassKey);
    const auto* className = OSDynamicCast<OSString>(property);
    ASSERT_NE(className, nullptr);
    EXPECT_STREQ(className->getCStringNoCopy(), "AccessorUserClient");
    OSSafeReleaseNULL(property);

    log.clear();
    set.reset();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"PCIAccessor/ free\n", "H_ECAccessor/ free\n",
                                                     "ACPIAccessor/ free\n", "Vennix/ free\n"}));
    for (const char* name : {"Vennix", "ACPIAccessor", "H_ECAccessor", "PCIAccessor"})
        EXPECT_FALSE(published(name)) << name;
}

TEST_F(ServiceSetTest, WithoutHardwareNothingStarts)
{
    EXPECT_EQ(ServiceSet::start(nullptr, backends->clock(), backends->acpi()), nullptr);
    const auto lines = log.lines();
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("/ start\n") != std::string::npos;
    }));
    EXPECT_FALSE(published("Vennix"));
}

TEST_F(ServiceSetTest, TwoSetsOneAfterTheOther)
{
    // The monitor may start embedded services again after it stopped them.
    for (int round = 0; round < 2; ++round) {
        auto set = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
        ASSERT_TRUE(set);
        IOService* found = IOService::copyMatchingService("Vennix");
        EXPECT_EQ(found, set->service("Vennix"));
        OSSafeReleaseNULL(found);
    }
    EXPECT_FALSE(published("Vennix"));
}

} // namespace
} // namespace vennix
