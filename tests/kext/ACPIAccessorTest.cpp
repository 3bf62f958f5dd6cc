// The ACPI service's three operations on the simulated namespace: what they answer, and the
// exact lines they log.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kext/ACPIAccessor.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"
#include "sim/SimulatedACPI.h"
#include "tests/kext/RecordedCPU.h"

namespace vennix {
namespace {

constexpr const char* kEC = sim::SimulatedACPI::kECPath;
constexpr const char* kMissing = "IOACPIPlane:/_SB/PCI0/LPCB/EC9";

std::string deviceLine(const char* path, const void* device)
{
    char line[256];
    std::snprintf(line, sizeof line, "ACPIAccessor/ %s Device %p\n", path, device);
    return line;
}

std::string errorLine(const char* key, IOReturn status)
{
    return std::string("ACPIAccessor/ ") + key + " Object error " + std::to_string(status) + "\n";
}

class ACPIService : public ::testing::Test {
protected:
    ACPIService() : platform(IOPlatformDevice::withHardware(&processor, &clock, &acpi))
    {
        acpi.defineMethod(kEC, "_PS0", 0, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; });
        acpi.defineMethod(kEC, "CLRV", 1, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; });
        accessor = OSDynamicCast<ACPIAccessor>(OSMetaClass::allocClassWithName("ACPIAccessor"));
        EXPECT_NE(accessor, nullptr);
        EXPECT_TRUE(accessor->init(nullptr));
        EXPECT_TRUE(accessor->start(platform));
        log.clear();
    }
    ~ACPIService() override
    {
        accessor->terminate();
        accessor->release();
        platform->release();
    }

    // Runs an operation with fresh symbols and answers its result (the test's reference).
    OSObject* check(const char* key, const char* path) { return run(0, key, path); }
    OSObject* get(const char* key, const char* path) { return run(1, key, path); }
    OSObject* set(const char* key, const char* path, OSObject* value) { return run(2, key, path, value); }

    OSObject* run(int operation, const char* key, const char* path, OSObject* value = nullptr)
    {
        const OSSymbol* keySymbol = OSSymbol::withCString(key);
        const OSSymbol* pathSymbol = OSSymbol::withCString(path);
        OSObject* result = operation == 0 ? accessor->checkValueOnDevice(keySymbol, pathSymbol)
                         : operation == 1 ? accessor->getValueOnDevice(keySymbol, pathSymbol)
                                          : accessor->setValueOnDevice(keySymbol, pathSymbol, value);
        // The operations keep nothing of their inputs.
        EXPECT_EQ(keySymbol->getRetainCount(), 1);
        EXPECT_EQ(pathSymbol->getRetainCount(), 1);
        keySymbol->release();
        pathSymbol->release();
        return result;
    }

    static std::string textOf(OSObject* object)
    {
        const auto* string = OSDynamicCast<OSString>(object);
        EXPECT_NE(string, nullptr);
        std::string text = string ? string->getCStringNoCopy() : "";
        OSSafeReleaseNULL(object);
        return text;
    }

    // The device line's pointer: the address of the device found, never null for a device.
    static bool isDeviceLine(const std::string& line, const char* path)
    {
        const std::string head = std::string("ACPIAccessor/ ") + path + " Device 0x";
        return line.rfind(head, 0) == 0 && line.back() == '\n';
    }

    test::RecordedCPU processor; // records no access: the ACPI operations never touch the CPU
    ManualClock clock;
    sim::SimulatedACPI acpi;
    IOPlatformDevice* platform;
    ACPIAccessor* accessor = nullptr;
    IOLogCapture log;
};

TEST_F(ACPIService, StartsQuietlyOnItsProvider)
{
    auto* other = OSDynamicCast<ACPIAccessor>(OSMetaClass::allocClassWithName("ACPIAccessor"));
    ASSERT_TRUE(other && other->init(nullptr));
    EXPECT_TRUE(other->start(platform));
    EXPECT_EQ(other->getRegistry(), platform);
    other->terminate();
    other->release();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"ACPIAccessor/ init\n", "ACPIAccessor/ start\n",
                                                     "ACPIAccessor/ free\n"}));
}

TEST_F(ACPIService, CheckNamesTheResultsClass)
{
    EXPECT_EQ(textOf(check("_STA", kEC)), "OSNumber");
    EXPECT_EQ(textOf(check("BUFF", kEC)), "OSData");
    EXPECT_EQ(textOf(check("NAME", kEC)), "OSString");
    EXPECT_EQ(textOf(check("PKG0", kEC)), "OSArray");
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines)
        EXPECT_TRUE(isDeviceLine(line, kEC)) << line;
}

TEST_F(ACPIService, CheckOfABadKeyIsFalscherKey)
{
    EXPECT_EQ(textOf(check("NOPE", kEC)), "Falscher Key");
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(isDeviceLine(lines[0], kEC)) << lines[0];
    EXPECT_EQ(lines[1], errorLine("NOPE", kIOReturnNotFound));

    // A method that needs an argument, and one that returns nothing: both "Falscher Key".
    log.clear();
    EXPECT_EQ(textOf(check("SETV", kEC)), "Falscher Key");
    EXPECT_EQ(textOf(check("_PS0", kEC)), "Falscher Key");
    lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], errorLine("SETV", kIOReturnBadArgument));
    EXPECT_EQ(lines[3], errorLine("_PS0", kIOReturnSuccess));
}

TEST_F(ACPIService, CheckOfAMissingPathEchoesIt)
{
    for (const char* path : {kMissing, "IOService:/AppleACPIPlatformExpert", "not a path at all", ""}) {
        log.clear();
        EXPECT_EQ(textOf(check("_STA", path)), path);
        EXPECT_EQ(log.lines(), std::vector<std::string>{deviceLine(path, nullptr)});
    }
}

TEST_F(ACPIService, GetAnswersTheResultItself)
{
    OSObject* status = get("_STA", kEC);
    ASSERT_NE(OSDynamicCast<OSNumber>(status), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(status)->unsigned64BitValue(), 0xFu);
    EXPECT_EQ(status->getRetainCount(), 1);
    status->release();

    OSObject* buffer = get("BUFF", "IOACPIPlane:/_SB/PCI0@0/LPCB@1F/EC0@62");
    ASSERT_NE(OSDynamicCast<OSData>(buffer), nullptr);
    EXPECT_TRUE(OSDynamicCast<OSData>(buffer)->isEqualTo(sim::SimulatedACPI::kBuffer, 4));
    buffer->release();
    EXPECT_TRUE(log.lines().empty()); // a successful get writes nothing
}

TEST_F(ACPIService, GetFailuresAreNull)
{
    EXPECT_EQ(get("_STA", kMissing), nullptr);
    EXPECT_TRUE(log.lines().empty()); // no line at all for a missing path

    EXPECT_EQ(get("NOPE", kEC), nullptr);
    EXPECT_EQ(get("_PS0", kEC), nullptr);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{errorLine("NOPE", kIOReturnNotFound),
                                                     errorLine("_PS0", kIOReturnSuccess)}));
}

TEST_F(ACPIService, SetEvaluatesWithOneArgument)
{
    OSNumber* seven = OSNumber::withNumber(7, 64);
    OSObject* result = set("SETV", kEC, seven);
    ASSERT_NE(OSDynamicCast<OSNumber>(result), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(result)->unsigned64BitValue(), 7u);
    result->release();
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(isDeviceLine(lines[0], kEC)) << lines[0];
    EXPECT_EQ(lines[1], "ACPIAccessor/ SETV Object ist ein OSNumber\n");

    // A method that returns nothing: null after a successful evaluation, no further line.
    log.clear();
    EXPECT_EQ(set("CLRV", kEC, seven), nullptr);
    lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(isDeviceLine(lines[0], kEC));

    // A method that takes no argument fails with the platform's code.
    log.clear();
    EXPECT_EQ(set("_STA", kEC, seven), nullptr);
    lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], errorLine("_STA", kIOReturnBadArgument));

    log.clear();
    EXPECT_EQ(set("SETV", kMissing, seven), nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{deviceLine(kMissing, nullptr)});

    EXPECT_EQ(seven->getRetainCount(), 1);
    seven->release();
}

TEST_F(ACPIService, WithoutAnACPILayerNoPathResolves)
{
    // Started on a provider that is no platform device, or on a machine without ACPI.
    IOPlatformDevice* bare = IOPlatformDevice::withHardware(&processor, &clock);
    for (IOService* provider : {static_cast<IOService*>(nullptr), static_cast<IOService*>(bare)}) {
        auto* lone = OSDynamicCast<ACPIAccessor>(OSMetaClass::allocClassWithName("ACPIAccessor"));
        ASSERT_TRUE(lone && lone->init(nullptr));
        lone->start(provider);
        const OSSymbol* key = OSSymbol::withCString("_STA");
        const OSSymbol* path = OSSymbol::withCString(kEC);
        EXPECT_EQ(textOf(lone->checkValueOnDevice(key, path)), kEC);
        EXPECT_EQ(lone->getValueOnDevice(key, path), nullptr);
        EXPECT_EQ(lone->setValueOnDevice(key, path, const_cast<OSSymbol*>(key)), nullptr);
        key->release();
        path->release();
        lone->terminate();
        lone->release();
    }
    bare->release();
    EXPECT_EQ(acpi.evaluationCount(), 0u);
}

TEST_F(ACPIService, TheOperationsWorkOnAnyRegistry)
{
    const OSSymbol* key = OSSymbol::withCString("TEMP");
    const OSSymbol* path = OSSymbol::withCString(kEC);
    EXPECT_EQ(textOf(ACPIAccessor::checkValueOnDevice(platform, key, path)), "OSNumber");
    EXPECT_EQ(textOf(ACPIAccessor::checkValueOnDevice(nullptr, key, path)), kEC);
    EXPECT_EQ(ACPIAccessor::getValueOnDevice(nullptr, key, path), nullptr);
    // Null inputs are refused, not dereferenced.
    EXPECT_EQ(textOf(ACPIAccessor::checkValueOnDevice(platform, nullptr, path)), "Falscher Key");
    EXPECT_EQ(ACPIAccessor::getValueOnDevice(platform, key, nullptr), nullptr);
    EXPECT_EQ(ACPIAccessor::setValueOnDevice(platform, key, path, nullptr), nullptr);
    key->release();
    path->release();
}

} // namespace
} // namespace vennix
