// The simulated ACPI namespace: the embedded controller's methods, argument counts, unknown
// names and paths, and methods added by tests.

#include <gtest/gtest.h>

#include "kext/platform/OSArray.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"
#include "sim/SimulatedACPI.h"

namespace sim {
namespace {

using namespace vennix;

class SimulatedNamespace : public ::testing::Test {
protected:
    // The result of a method without arguments; fails the test on any error.
    OSObject* evaluate(const char* method, const char* path = SimulatedACPI::kECPath)
    {
        OSObject* result = nullptr;
        EXPECT_EQ(acpi.evaluateObject(path, method, nullptr, 0, &result), kIOReturnSuccess) << method;
        return result;
    }

    IOReturn statusOf(const char* path, const char* method, IOItemCount count = 0)
    {
        OSNumber* one = OSNumber::withNumber(1, 64);
        OSObject* params[8] = {one, one, one, one, one, one, one, one};
        OSObject* result = reinterpret_cast<OSObject*>(0x1);
        const IOReturn status = acpi.evaluateObject(path, method, params, count, &result);
        if (status != kIOReturnSuccess) {
            EXPECT_EQ(result, nullptr);
        }
        OSSafeReleaseNULL(result);
        one->release();
        return status;
    }

    SimulatedACPI acpi;
};

TEST_F(SimulatedNamespace, TheEmbeddedControllersMethods)
{
    EXPECT_TRUE(acpi.isSimulated());
    EXPECT_STREQ(acpi.description(), "simulated");
    EXPECT_TRUE(acpi.deviceExists(SimulatedACPI::kECPath));

    OSObject* status = evaluate("_STA");
    ASSERT_NE(OSDynamicCast<OSNumber>(status), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(status)->unsigned64BitValue(), 0xFu);
    status->release();

    OSObject* temperature = evaluate("TEMP");
    ASSERT_NE(OSDynamicCast<OSNumber>(temperature), nullptr);
    const uint64_t tenthsOfKelvin = OSDynamicCast<OSNumber>(temperature)->unsigned64BitValue();
    EXPECT_GT(tenthsOfKelvin, 2731u + 200u); // warmer than 20 C
    EXPECT_LT(tenthsOfKelvin, 2731u + 1000u);
    temperature->release();
    acpi.setTemperature(3232);
    temperature = evaluate("TEMP");
    EXPECT_EQ(OSDynamicCast<OSNumber>(temperature)->unsigned64BitValue(), 3232u);
    temperature->release();

    OSObject* name = evaluate("NAME");
    ASSERT_NE(OSDynamicCast<OSString>(name), nullptr);
    EXPECT_TRUE(OSDynamicCast<OSString>(name)->isEqualTo("Simulated EC"));
    name->release();

    OSObject* buffer = evaluate("BUFF");
    ASSERT_NE(OSDynamicCast<OSData>(buffer), nullptr);
    EXPECT_TRUE(OSDynamicCast<OSData>(buffer)->isEqualTo(SimulatedACPI::kBuffer, 4));
    buffer->release();

    OSObject* package = evaluate("PKG0");
    const auto* array = OSDynamicCast<OSArray>(package);
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->getCount(), 2u);
    EXPECT_EQ(OSDynamicCast<OSNumber>(array->getObject(0))->unsigned64BitValue(), 0x2Au);
    EXPECT_TRUE(OSDynamicCast<OSString>(array->getObject(1))->isEqualTo("Qarn"));
    package->release();

    // SETV answers its argument.
    OSString* value = OSString::withCString("set me");
    OSObject* params[] = {value};
    OSObject* result = nullptr;
    ASSERT_EQ(acpi.evaluateObject(SimulatedACPI::kECPath, "SETV", params, 1, &result), kIOReturnSuccess);
    EXPECT_TRUE(value->isEqualTo(result));
    OSSafeReleaseNULL(result);
    EXPECT_EQ(value->getRetainCount(), 1);
    value->release();
}

TEST_F(SimulatedNamespace, PathsFollowTheRegistryRules)
{
    for (const char* path : {"IOACPIPlane:/_SB/PCI0@0/LPCB@1F/EC0@62", "IOACPIPlane:/_SB_/PCI0/LPCB/EC0_"}) {
        EXPECT_TRUE(acpi.deviceExists(path)) << path;
        OSObject* status = evaluate("_STA", path);
        EXPECT_NE(status, nullptr);
        OSSafeReleaseNULL(status);
    }
    for (const char* path : {"IOACPIPlane:/_SB/PCI0/LPCB/EC1", "IOACPIPlane:/_SB/PCI0/LPCB",
                             "IOService:/_SB/PCI0/LPCB/EC0", "IOACPIPlane:/_SB/PCI0/LPCB/EC0 ", ""}) {
        EXPECT_FALSE(acpi.deviceExists(path)) << path;
        EXPECT_EQ(statusOf(path, "_STA"), kIOReturnNotFound) << path;
    }
    EXPECT_FALSE(acpi.deviceExists(nullptr));
}

TEST_F(SimulatedNamespace, WrongArgumentsAndUnknownMethodsFail)
{
    EXPECT_EQ(statusOf(SimulatedACPI::kECPath, "NOPE"), kIOReturnNotFound);
    EXPECT_EQ(statusOf(SimulatedACPI::kECPath, "_STA", 1), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(SimulatedACPI::kECPath, "SETV", 0), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(SimulatedACPI::kECPath, "SETV", 2), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(SimulatedACPI::kECPath, "SETV", 8), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(SimulatedACPI::kECPath, "_sta"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(SimulatedACPI::kECPath, nullptr), kIOReturnBadArgument);
    OSObject* nulls[] = {nullptr};
    OSObject* result = nullptr;
    EXPECT_EQ(acpi.evaluateObject(SimulatedACPI::kECPath, "SETV", nulls, 1, &result), kIOReturnBadArgument);
    EXPECT_EQ(acpi.evaluateObject(SimulatedACPI::kECPath, "SETV", nullptr, 1, &result), kIOReturnBadArgument);
    // Evaluations that named a method count; the others never reached one.
    EXPECT_EQ(acpi.evaluationCount(), 3u);
}

TEST_F(SimulatedNamespace, TestsMayAddDevicesAndMethods)
{
    const char* battery = "IOACPIPlane:/_SB/BAT0";
    EXPECT_FALSE(acpi.defineMethod(battery, "_BST", 0, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; }));
    ASSERT_TRUE(acpi.addDevice(battery));
    EXPECT_FALSE(acpi.addDevice(battery));
    EXPECT_FALSE(acpi.addDevice("IOACPIPlane:/bad"));

    // A method that returns nothing, and one that fails.
    ASSERT_TRUE(acpi.defineMethod(battery, "_PS0", 0, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; }));
    ASSERT_TRUE(acpi.defineMethod(battery, "FAIL", 0, [](OSObject* const*, OSObject** result) {
        *result = OSNumber::withNumber(1, 64); // not handed out on failure
        return kIOReturnError;
    }));
    EXPECT_FALSE(acpi.defineMethod(battery, "TOOMANY", 0, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; }));
    EXPECT_FALSE(acpi.defineMethod(battery, "ARGS", 8, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; }));
    EXPECT_FALSE(acpi.defineMethod(battery, "NULL", 0, nullptr));

    OSObject* result = reinterpret_cast<OSObject*>(0x1);
    EXPECT_EQ(acpi.evaluateObject(battery, "_PS0", nullptr, 0, &result), kIOReturnSuccess);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(statusOf(battery, "FAIL"), kIOReturnError);
    EXPECT_EQ(statusOf(battery, "_STA"), kIOReturnNotFound); // methods belong to their device
}

} // namespace
} // namespace sim
