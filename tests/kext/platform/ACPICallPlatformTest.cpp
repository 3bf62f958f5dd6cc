// The ACPI layer: registry paths and names, the acpi_call backend against files in a temporary
// directory (a sysfs device tree and a stand-in for /proc/acpi/call), its answer parser and
// request lines, and the registry lookup of IOPlatformDevice.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kext/platform/ACPICallPlatform.h"
#include "kext/platform/IOACPIPlatformDevice.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSArray.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

namespace vennix {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEC = "IOACPIPlane:/_SB/PCI0/LPCB/EC0";

// One reference for the test's scope.
struct Held {
    explicit Held(OSObject* object = nullptr) : object(object) {}
    ~Held() { OSSafeReleaseNULL(object); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    OSObject* get() const { return object; }
    OSObject* object;
};

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

fs::path makeTemporaryDirectory()
{
    std::string pattern = (fs::temp_directory_path() / "vennix-acpi-XXXXXX").string();
    return mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
}

class ACPIFiles : public ::testing::Test {
protected:
    ACPIFiles()
    {
        EXPECT_FALSE(root.empty());
        fs::create_directories(root / "devices");
        device("LNXSYSTM:00", "\\");
        device("LNXSYBUS:00", "\\_SB_");
        device("PNP0A08:00", "\\_SB_.PCI0");
        device("PNP0C09:00", "\\_SB_.PCI0.LPCB.EC0_");
        device("PNP0C0A:00", "\\_SB_.BAT0");
        fs::create_directories(root / "devices" / "device:17"); // no path file
        writeAll(callFile(), "");
    }
    ~ACPIFiles() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path callFile() const { return root / "call"; }

    void device(const std::string& name, const std::string& acpiPath)
    {
        fs::create_directories(root / "devices" / name);
        writeAll(root / "devices" / name / "path", acpiPath + "\n");
    }

    // What the module answers next: the text and its NUL.
    void answer(const std::string& text) { writeAll(callFile(), text + std::string(1, '\0')); }

    // The request line the backend wrote behind the answer.
    std::string request() const
    {
        const std::string all = readAll(callFile());
        const size_t nul = all.find('\0');
        return nul == std::string::npos ? all : all.substr(nul + 1);
    }

    const fs::path root = makeTemporaryDirectory();
    ACPICallPlatform acpi{(root / "call").string(), (root / "devices").string()};
};

TEST(ACPIPaths, RegistryPathsBecomeACPIPaths)
{
    std::string plain, padded;
    ASSERT_TRUE(ACPIPlatform::acpiPathOf(kEC, false, plain));
    ASSERT_TRUE(ACPIPlatform::acpiPathOf(kEC, true, padded));
    EXPECT_EQ(plain, "\\_SB.PCI0.LPCB.EC0");
    EXPECT_EQ(padded, "\\_SB_.PCI0.LPCB.EC0_");

    ASSERT_TRUE(ACPIPlatform::acpiPathOf("IOACPIPlane:/_SB/PCI0@0/LPCB@1f,3/EC0@62", false, plain));
    EXPECT_EQ(plain, "\\_SB.PCI0.LPCB.EC0");
    ASSERT_TRUE(ACPIPlatform::acpiPathOf("IOACPIPlane:/_SB_/EC0_", true, padded));
    EXPECT_EQ(padded, "\\_SB_.EC0_");
    ASSERT_TRUE(ACPIPlatform::acpiPathOf("IOACPIPlane:/_SB", false, plain));
    EXPECT_EQ(plain, "\\_SB");
}

TEST(ACPIPaths, AnythingElseNamesNoDevice)
{
    const char* refused[] = {
        "",
        "IOACPIPlane:",
        "IOACPIPlane:/",
        "IOService:/_SB/PCI0/LPCB/EC0",
        "IODeviceTree:/_SB/PCI0",
        "_SB/PCI0/LPCB/EC0",
        "/_SB/PCI0",
        "IOACPIPlane:_SB/PCI0",
        "IOACPIPlane://_SB",
        "IOACPIPlane:/_SB//PCI0",
        "IOACPIPlane:/_SB/",
        "IOACPIPlane:/_SB/pci0",
        "IOACPIPlane:/_SB/PCI00",
        "IOACPIPlane:/_SB/0PCI",
        "IOACPIPlane:/_SB/PC I0",
        "IOACPIPlane:/_SB/PCI0 ",
        "IOACPIPlane:/_SB/EC0\n",
        "IOACPIPlane:/_SB/EC0\t",
        "IOACPIPlane:/_SB.PCI0",
        "IOACPIPlane:/_SB/EC0;reboot",
        "IOACPIPlane:/_SB/../EC0",
        "IOACPIPlane:/_SB/EC0 0x1",
        "IOACPIPlane:/_SB/EC0@",
        "IOACPIPlane:/_SB/EC0@0x",
        "IOACPIPlane:/_SB/EC0@1 2",
        "IOACPIPlane:/_SB/EC0@1@2",
        "IOACPIPlane:/\\_SB",
    };
    for (const char* path : refused) {
        std::string out = "untouched";
        EXPECT_FALSE(ACPIPlatform::acpiPathOf(path, false, out)) << '"' << path << '"';
        EXPECT_EQ(out, "untouched");
    }
    std::string out;
    EXPECT_FALSE(ACPIPlatform::acpiPathOf(nullptr, false, out));
}

TEST(ACPIPaths, MethodNames)
{
    for (const char* name : {"_STA", "TEMP", "A", "X1", "_0_"})
        EXPECT_TRUE(ACPIPlatform::isACPIName(name, std::strlen(name))) << name;
    for (const char* name : {"", "SETVX", "sta", "1ABC", "_ST A", "_ST.", "_S\"T"})
        EXPECT_FALSE(ACPIPlatform::isACPIName(name, std::strlen(name))) << name;
    std::string padded;
    ASSERT_TRUE(ACPIPlatform::paddedName("EC0", padded));
    EXPECT_EQ(padded, "EC0_");
    EXPECT_FALSE(ACPIPlatform::paddedName("TOOLONG", padded));
    EXPECT_FALSE(ACPIPlatform::paddedName(nullptr, padded));
}

TEST_F(ACPIFiles, DevicesAreFoundThroughSysfs)
{
    EXPECT_TRUE(acpi.deviceExists(kEC));
    EXPECT_TRUE(acpi.deviceExists("IOACPIPlane:/_SB/PCI0@0/LPCB@1F/EC0@62"));
    EXPECT_TRUE(acpi.deviceExists("IOACPIPlane:/_SB_/PCI0/LPCB/EC0_"));
    EXPECT_TRUE(acpi.deviceExists("IOACPIPlane:/_SB"));
    EXPECT_TRUE(acpi.deviceExists("IOACPIPlane:/_SB/BAT0"));
    EXPECT_FALSE(acpi.deviceExists("IOACPIPlane:/_SB/PCI0/LPCB/EC1"));
    EXPECT_FALSE(acpi.deviceExists("IOACPIPlane:/_SB/PCI0/LPCB"));
    EXPECT_FALSE(acpi.deviceExists("IOService:/_SB/PCI0/LPCB/EC0"));
    EXPECT_FALSE(acpi.deviceExists(nullptr));

    // A path file that is far too long is not read whole, and matches nothing.
    device("PNP0C09:01", "\\_SB_.EC1_" + std::string(4096, ' '));
    EXPECT_FALSE(acpi.deviceExists("IOACPIPlane:/_SB/EC1"));

    ACPICallPlatform nowhere((root / "call").string(), (root / "missing").string());
    EXPECT_FALSE(nowhere.deviceExists(kEC));
}

TEST(ACPIAnswers, ValuesOfEveryKind)
{
    auto parse = [](const std::string& text, IOReturn& status) {
        OSObject* result = reinterpret_cast<OSObject*>(0x1);
        status = ACPICallPlatform::parseAnswer(text.data(), text.size(), &result);
        return result;
    };
    IOReturn status;

    Held number(parse("0xf", status));
    EXPECT_EQ(status, kIOReturnSuccess);
    ASSERT_NE(OSDynamicCast<OSNumber>(number.get()), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(number.get())->unsigned64BitValue(), 0xFu);
    EXPECT_EQ(OSDynamicCast<OSNumber>(number.get())->numberOfBits(), 64u);

    Held wide(parse("0xFFFFFFFFFFFFFFFF\n", status));
    ASSERT_NE(OSDynamicCast<OSNumber>(wide.get()), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(wide.get())->unsigned64BitValue(), UINT64_MAX);

    Held text(parse("\"Simulated EC\"", status));
    ASSERT_NE(OSDynamicCast<OSString>(text.get()), nullptr);
    EXPECT_TRUE(OSDynamicCast<OSString>(text.get())->isEqualTo("Simulated EC"));

    // Quotes are not escaped by the module: a string ends at the last quote of the answer, or
    // inside a package at a quote that a comma or bracket follows.
    Held quoted(parse("\"say \"hi\", ok\"", status));
    ASSERT_NE(OSDynamicCast<OSString>(quoted.get()), nullptr);
    EXPECT_TRUE(OSDynamicCast<OSString>(quoted.get())->isEqualTo("say \"hi\", ok"));
    Held inPackage(parse("[\"a \"b\" c\", \"d\"]", status));
    ASSERT_NE(OSDynamicCast<OSArray>(inPackage.get()), nullptr);
    ASSERT_EQ(OSDynamicCast<OSArray>(inPackage.get())->getCount(), 2u);
    EXPECT_TRUE(OSDynamicCast<OSString>(OSDynamicCast<OSArray>(inPackage.get())->getObject(0))
                    ->isEqualTo("a \"b\" c"));

    Held buffer(parse("{0x01, 0x02, 0xff}", status));
    ASSERT_NE(OSDynamicCast<OSData>(buffer.get()), nullptr);
    const uint8_t bytes[] = {0x01, 0x02, 0xFF};
    EXPECT_TRUE(OSDynamicCast<OSData>(buffer.get())->isEqualTo(bytes, 3));

    Held empty(parse("{}", status));
    ASSERT_NE(OSDynamicCast<OSData>(empty.get()), nullptr);
    EXPECT_EQ(OSDynamicCast<OSData>(empty.get())->getLength(), 0u);

    Held package(parse("[0x2a, \"Qarn\", {0x01}, [], [0x1, \"a, b\"]]", status));
    EXPECT_EQ(status, kIOReturnSuccess);
    const auto* array = OSDynamicCast<OSArray>(package.get());
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->getCount(), 5u);
    EXPECT_EQ(OSDynamicCast<OSNumber>(array->getObject(0))->unsigned64BitValue(), 0x2Au);
    EXPECT_TRUE(OSDynamicCast<OSString>(array->getObject(1))->isEqualTo("Qarn"));
    EXPECT_EQ(OSDynamicCast<OSData>(array->getObject(2))->getLength(), 1u);
    EXPECT_EQ(OSDynamicCast<OSArray>(array->getObject(3))->getCount(), 0u);
    const auto* inner = OSDynamicCast<OSArray>(array->getObject(4));
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(inner->getCount(), 2u);
    EXPECT_TRUE(OSDynamicCast<OSString>(inner->getObject(1))->isEqualTo("a, b"));

    // A method that returns nothing.
    EXPECT_EQ(parse("", status), nullptr);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(parse(" \n", status), nullptr);
    EXPECT_EQ(status, kIOReturnSuccess);
}

TEST(ACPIAnswers, ErrorsAndMalformedAnswers)
{
    auto statusOf = [](const std::string& text) {
        OSObject* result = reinterpret_cast<OSObject*>(0x1);
        const IOReturn status = ACPICallPlatform::parseAnswer(text.data(), text.size(), &result);
        EXPECT_EQ(result, nullptr) << '"' << text << '"';
        OSSafeReleaseNULL(result);
        return status;
    };
    EXPECT_EQ(statusOf("Error: AE_NOT_FOUND"), kIOReturnNotFound);
    EXPECT_EQ(statusOf("Error: AE_AML_UNINITIALIZED_ARG\n"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf("Error: AE_BAD_PARAMETER"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf("Error: AE_NO_MEMORY"), kIOReturnNoMemory);
    EXPECT_EQ(statusOf("Error: AE_TIME"), kIOReturnError);
    EXPECT_EQ(statusOf("Error:"), kIOReturnError);
    EXPECT_EQ(statusOf("not called"), kIOReturnError);
    EXPECT_EQ(statusOf("Object type 0x7\n"), kIOReturnUnsupported);
    EXPECT_EQ(statusOf("[0x1, Object type 0x7\n]"), kIOReturnUnsupported);

    const char* malformed[] = {
        "0x",                    // no digits
        "0x10000000000000000",   // more than 64 bits
        "15",                    // not the module's integer form
        "0xfg",
        "0x1 0x2",               // more than one value
        "\"unterminated",
        "{0x01,",                // the module's answer was cut
        "{0x01, 0x02",
        "{0x100}",               // more than a byte
        "{1}",
        "{0x01,}",
        "{,}",
        "[0x1, ",
        "[0x1 0x2]",
        "[0x1,]",
        "[",
        "]",
        "}",
        "ok",
    };
    for (const char* text : malformed)
        EXPECT_EQ(statusOf(text), kIOReturnIOError) << '"' << text << '"';

    OSObject* result = nullptr;
    EXPECT_EQ(ACPICallPlatform::parseAnswer("0x1", 3, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(ACPICallPlatform::parseAnswer(nullptr, 3, &result), kIOReturnBadArgument);
    // Only the given length counts.
    EXPECT_EQ(ACPICallPlatform::parseAnswer("0x1F", 3, &result), kIOReturnSuccess);
    ASSERT_NE(OSDynamicCast<OSNumber>(result), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(result)->unsigned64BitValue(), 1u);
    result->release();
}

TEST(ACPIAnswers, NestingIsBounded)
{
    auto nested = [](int depth) {
        return std::string(static_cast<size_t>(depth), '[') + "0x1" + std::string(static_cast<size_t>(depth), ']');
    };
    OSObject* result = nullptr;
    const std::string deepest = nested(ACPICallPlatform::kMaxAnswerDepth);
    EXPECT_EQ(ACPICallPlatform::parseAnswer(deepest.data(), deepest.size(), &result), kIOReturnSuccess);
    OSSafeReleaseNULL(result);
    const std::string tooDeep = nested(ACPICallPlatform::kMaxAnswerDepth + 1);
    EXPECT_EQ(ACPICallPlatform::parseAnswer(tooDeep.data(), tooDeep.size(), &result), kIOReturnIOError);
    EXPECT_EQ(result, nullptr);
    const std::string hostile(60000, '[');
    EXPECT_EQ(ACPICallPlatform::parseAnswer(hostile.data(), hostile.size(), &result), kIOReturnIOError);
}

TEST(ACPIRequests, LinesForTheModule)
{
    std::string line;
    ASSERT_EQ(ACPICallPlatform::formatRequest(kEC, "_STA", nullptr, 0, line), kIOReturnSuccess);
    EXPECT_EQ(line, "\\_SB.PCI0.LPCB.EC0._STA");
    ASSERT_EQ(ACPICallPlatform::formatRequest("IOACPIPlane:/_SB/PCI0@0/LPCB@1f,3/EC0", "TEMP",
                                              nullptr, 0, line),
              kIOReturnSuccess);
    EXPECT_EQ(line, "\\_SB.PCI0.LPCB.EC0.TEMP");

    Held five(OSNumber::withNumber(5, 64));
    Held big(OSNumber::withNumber(0xFFFFFFFFFFFFFFFF, 64));
    Held text(OSString::withCString("hello, world"));
    Held none(OSString::withCString(""));
    const uint8_t raw[] = {0x01, 0xAB, 0x00};
    Held bytes(OSData::withBytes(raw, 3));
    OSObject* params[] = {five.get(), big.get(), text.get(), none.get(), bytes.get()};
    ASSERT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", params, 5, line), kIOReturnSuccess);
    EXPECT_EQ(line, "\\_SB.PCI0.LPCB.EC0.SETV 0x5 0xffffffffffffffff \"hello, world\" \"\" b01ab00");
}

TEST(ACPIRequests, NothingThatCouldBreakOutOfTheLine)
{
    auto statusOf = [](const char* path, const char* method, OSObject* param = nullptr) {
        std::string line = "untouched";
        OSObject* params[] = {param};
        const IOReturn status =
            ACPICallPlatform::formatRequest(path, method, params, param ? 1 : 0, line);
        if (status != kIOReturnSuccess) {
            EXPECT_EQ(line, "untouched");
        }
        return status;
    };
    EXPECT_EQ(statusOf("IOACPIPlane:/_SB/EC0 0x1", "_STA"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf("IOService:/_SB/EC0", "_STA"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(kEC, "_ST A"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(kEC, "SETVX"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(kEC, "_sta"), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(kEC, ""), kIOReturnBadArgument);
    EXPECT_EQ(statusOf(kEC, nullptr), kIOReturnBadArgument);

    for (const char* text : {"a\"b", "back\\slash", "line\nfeed", "nul\x01", "del\x7f"}) {
        Held string(OSString::withCString(text));
        EXPECT_EQ(statusOf(kEC, "SETV", string.get()), kIOReturnBadArgument) << text;
    }
    Held utf8(OSString::withCString("Grad \xC2\xB0" "C"));
    EXPECT_EQ(statusOf(kEC, "SETV", utf8.get()), kIOReturnSuccess);

    Held array(OSArray::withCapacity(1));
    EXPECT_EQ(statusOf(kEC, "SETV", array.get()), kIOReturnUnsupported);
    EXPECT_EQ(statusOf(kEC, "SETV", kOSBooleanTrue), kIOReturnUnsupported);

    std::string line;
    EXPECT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", nullptr, 1, line), kIOReturnBadArgument);
    OSObject* nulls[] = {nullptr};
    EXPECT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", nulls, 1, line), kIOReturnBadArgument);
    Held one(OSNumber::withNumber(1, 64));
    OSObject* eight[8];
    std::fill(std::begin(eight), std::end(eight), one.get());
    EXPECT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", eight, 8, line), kIOReturnBadArgument);
    EXPECT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", eight, 7, line), kIOReturnSuccess);

    // The module takes 511 bytes with the line feed.
    const std::string head = "\\_SB.PCI0.LPCB.EC0.SETV b";
    const size_t room = (ACPICallPlatform::kMaxRequestLength - 1 - head.size()) / 2;
    std::vector<uint8_t> fits(room, 0x11);
    Held fitting(OSData::withBytes(fits.data(), static_cast<unsigned int>(fits.size())));
    OSObject* fitParams[] = {fitting.get()};
    ASSERT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", fitParams, 1, line), kIOReturnSuccess);
    EXPECT_LE(line.size() + 1, ACPICallPlatform::kMaxRequestLength);
    fits.push_back(0x11);
    Held tooLong(OSData::withBytes(fits.data(), static_cast<unsigned int>(fits.size())));
    OSObject* longParams[] = {tooLong.get()};
    EXPECT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", longParams, 1, line), kIOReturnBadArgument);
}

TEST_F(ACPIFiles, EvaluationWritesOneLineAndReadsTheAnswer)
{
    answer("0xf");
    OSObject* result = nullptr;
    ASSERT_EQ(acpi.evaluateObject(kEC, "_STA", nullptr, 0, &result), kIOReturnSuccess);
    Held held(result);
    ASSERT_NE(OSDynamicCast<OSNumber>(result), nullptr);
    EXPECT_EQ(OSDynamicCast<OSNumber>(result)->unsigned64BitValue(), 0xFu);
    EXPECT_EQ(request(), "\\_SB.PCI0.LPCB.EC0._STA\n");

    answer("\"abc\"");
    Held value(OSNumber::withNumber(0x10, 64));
    OSObject* params[] = {value.get()};
    ASSERT_EQ(acpi.evaluateObject(kEC, "SETV", params, 1, &result), kIOReturnSuccess);
    Held text(result);
    EXPECT_TRUE(OSDynamicCast<OSString>(result)->isEqualTo("abc"));
    EXPECT_EQ(request(), "\\_SB.PCI0.LPCB.EC0.SETV 0x10\n");

    answer("");
    result = reinterpret_cast<OSObject*>(0x1);
    EXPECT_EQ(acpi.evaluateObject(kEC, "_PS0", nullptr, 0, &result), kIOReturnSuccess);
    EXPECT_EQ(result, nullptr);

    answer("Error: AE_NOT_FOUND");
    result = reinterpret_cast<OSObject*>(0x1);
    EXPECT_EQ(acpi.evaluateObject(kEC, "NOPE", nullptr, 0, &result), kIOReturnNotFound);
    EXPECT_EQ(result, nullptr);

    answer("{0x01,");
    EXPECT_EQ(acpi.evaluateObject(kEC, "BUFF", nullptr, 0, &result), kIOReturnIOError);
    EXPECT_EQ(result, nullptr);
}

TEST_F(ACPIFiles, RefusedRequestsWriteNothing)
{
    answer("0x1");
    const std::string before = readAll(callFile());
    OSObject* result = nullptr;
    EXPECT_EQ(acpi.evaluateObject("IOACPIPlane:/_SB/EC0 0x1", "_STA", nullptr, 0, &result),
              kIOReturnBadArgument);
    Held quote(OSString::withCString("\" ; x"));
    OSObject* params[] = {quote.get()};
    EXPECT_EQ(acpi.evaluateObject(kEC, "SETV", params, 1, &result), kIOReturnBadArgument);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(readAll(callFile()), before);
}

TEST_F(ACPIFiles, AnswersThatCannotBeReadFail)
{
    // An old module answers without a NUL: then the request line stands behind the answer
    // and the whole is no answer.
    writeAll(callFile(), "0x1");
    OSObject* result = nullptr;
    EXPECT_EQ(acpi.evaluateObject(kEC, "_STA", nullptr, 0, &result), kIOReturnIOError);

    // More than the backend reads.
    writeAll(callFile(), std::string(ACPICallPlatform::kMaxAnswerLength + 10, ' '));
    EXPECT_EQ(acpi.evaluateObject(kEC, "_STA", nullptr, 0, &result), kIOReturnIOError);
    EXPECT_EQ(result, nullptr);

    // No acpi_call module.
    ACPICallPlatform missing((root / "nocall").string(), (root / "devices").string());
    EXPECT_EQ(missing.evaluateObject(kEC, "_STA", nullptr, 0, &result), kIOReturnUnsupported);
    EXPECT_FALSE(fs::exists(root / "nocall"));

    // A result pointer is optional.
    answer("0x1");
    EXPECT_EQ(acpi.evaluateObject(kEC, "_STA", nullptr, 0, nullptr), kIOReturnSuccess);
}

class NoProcessor final : public CPUHardware {
public:
    const char* description() const override { return "none"; }
    bool isSimulated() const override { return true; }
    unsigned cpuCount() const override { return 1; }
    unsigned currentCPU() const override { return 0; }
    void cpuid(uint32_t, uint32_t, uint32_t regs[4]) override { regs[0] = regs[1] = regs[2] = regs[3] = 0; }
    uint64_t rdmsr(uint32_t) override { return 0; }
    void wrmsr(uint32_t, uint64_t) override {}
    void rendezvous(Action action, void* argument) override { action(argument); }
};

TEST_F(ACPIFiles, RegistryLookupAnswersACPIDevices)
{
    NoProcessor processor;
    ManualClock clock;
    IOPlatformDevice* platform = IOPlatformDevice::withHardware(&processor, &clock, &acpi);
    ASSERT_NE(platform, nullptr);
    EXPECT_EQ(platform->getACPIPlatform(), &acpi);

    Held entry(platform->fromPath("IOACPIPlane:/_SB/PCI0@0/LPCB/EC0"));
    auto* device = OSDynamicCast<IOACPIPlatformDevice>(entry.get());
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->getClassName(), "IOACPIPlatformDevice");
    EXPECT_STREQ(device->getPath(), "IOACPIPlane:/_SB/PCI0@0/LPCB/EC0");

    answer("{0x01, 0x02}");
    const OSSymbol* name = OSSymbol::withCString("BUFF");
    OSObject* result = nullptr;
    EXPECT_EQ(device->evaluateObject(name, &result), kIOReturnSuccess);
    Held buffer(result);
    EXPECT_STREQ(result->getClassName(), "OSData");
    EXPECT_EQ(request(), "\\_SB.PCI0.LPCB.EC0.BUFF\n");

    EXPECT_EQ(device->evaluateObject(nullptr, &result), kIOReturnBadArgument);
    EXPECT_EQ(device->evaluateObject(name, &result, nullptr, 1), kIOReturnBadArgument);
    OSObject* nulls[] = {nullptr};
    EXPECT_EQ(device->evaluateObject(name, &result, nulls, 1), kIOReturnBadArgument);
    name->release();

    EXPECT_EQ(platform->fromPath("IOACPIPlane:/_SB/PCI0/LPCB/EC1"), nullptr);
    EXPECT_EQ(platform->fromPath("IOService:/_SB/PCI0/LPCB/EC0"), nullptr);
    EXPECT_EQ(platform->fromPath(nullptr), nullptr);
    platform->release();

    // A machine without an ACPI layer has no ACPI devices.
    IOPlatformDevice* bare = IOPlatformDevice::withHardware(&processor, &clock);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->getACPIPlatform(), nullptr);
    EXPECT_EQ(bare->fromPath(kEC), nullptr);
    bare->release();
}

} // namespace
} // namespace vennix
