// The ACPI layer: registry paths and names, and the acpi_call backend against a stand-in for
// /proc/acpi/call and a sysfs device tree, with its answers and request lines.

#include "kext/platform/ACPICallPlatform.h"
#include "kext/platform/OSArray.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSSymbol.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace vennix {
namespace {

constexpr const char* kEC = "IOACPIPlane:/_SB/PCI0/LPCB/EC0";

// An object as text, 0x1f, "text", {01ff}, [0x1, "a"], and released.
std::string render(OSObject* object, bool release = true)
{
    std::ostringstream out;
    if (auto* number = OSDynamicCast<OSNumber>(object))
        out << std::hex << "0x" << number->unsigned64BitValue() << (number->numberOfBits() == 64 ? "" : "?");
    else if (auto* string = OSDynamicCast<OSString>(object))
        out << '"' << string->getCStringNoCopy() << '"';
    else if (auto* data = OSDynamicCast<OSData>(object))
        out << '{' << std::string(static_cast<const char*>(data->getBytesNoCopy()), data->getLength()) << '}';
    else if (auto* array = OSDynamicCast<OSArray>(object)) {
        for (unsigned i = 0; i < array->getCount(); ++i)
            out << (i ? ", " : "[") << render(array->getObject(i), false);
        out << (array->getCount() ? "]" : "[]");
    } else
        out << (object ? "?" : "null");
    if (release)
        OSSafeReleaseNULL(object);
    return out.str();
}

class ACPICallPlatformTest : public ::testing::Test {
protected:
    ACPICallPlatformTest()
    {
        for (const char* path : {"\\", "\\_SB_", "\\_SB_.PCI0", "\\_SB_.PCI0.LPCB.EC0_", "\\_SB_.BAT0", ""})
            device(path);
        answer("");
    }
    void device(const std::string& acpiPath) // "": a device without a path file
    {
        const std::string directory = root + "/devices/" + std::to_string(devices++);
        std::filesystem::create_directories(directory);
        if (!acpiPath.empty())
            std::ofstream(directory + "/path") << acpiPath << "\n";
    }
    // What the module answers next: the text and its NUL, unless an old module leaves that out.
    void answer(std::string text, bool nul = true) { std::ofstream(root + "/call") << text << std::string(nul, 0); }
    // The answer and the request line written behind it.
    std::string call() const { return (std::stringstream() << std::ifstream(root + "/call").rdbuf()).str(); }
    IOReturn evaluate(const char* path, const char* method, OSObject* param, std::string& result)
    {
        OSObject* value = kOSBooleanTrue; // replaced, by null on failure
        const IOReturn status = acpi.evaluateObject(path, method, &param, param ? 1 : 0, &value);
        result = render(value);
        return status;
    }

    testing::MSRFiles files; // for its temporary directory
    const std::string root = files.directory();
    int devices = 0;
    ACPICallPlatform acpi{root + "/call", root + "/devices"};
};

TEST(ACPIPaths, RegistryPathsBecomeACPIPathsAndAnythingElseNamesNoDevice)
{
    for (auto [path, plainPath, paddedPath] : {std::tuple{kEC, "\\_SB.PCI0.LPCB.EC0", "\\_SB_.PCI0.LPCB.EC0_"},
             {"IOACPIPlane:/_SB/PCI0@0/LPCB@1f,3/EC0@62", "\\_SB.PCI0.LPCB.EC0", "\\_SB_.PCI0.LPCB.EC0_"},
             {"IOACPIPlane:/A/Z9", "\\A.Z9", "\\A___.Z9__"}}) {
        std::string plain, padded;
        EXPECT_TRUE(ACPIPlatform::acpiPathOf(path, false, plain) && ACPIPlatform::acpiPathOf(path, true, padded));
        EXPECT_TRUE(plain == plainPath && padded == paddedPath) << plain << " " << padded;
    }
    for (const char* path : {"", "IOACPIPlane:", "IOACPIPlane:/", "IOService:/_SB/PCI0", "_SB/PCI0", "/_SB/PCI0",
             "IOACPIPlane:_SB", "IOACPIPlane://_SB", "IOACPIPlane:/_SB//PCI0", "IOACPIPlane:/_SB/",
             "IOACPIPlane:/_SB/pci0", "IOACPIPlane:/_SB/PCI00", "IOACPIPlane:/_SB/0PCI", "IOACPIPlane:/_SB/PCI0 ",
             "IOACPIPlane:/_SB/EC0\n", "IOACPIPlane:/_SB.PCI0", "IOACPIPlane:/_SB/../EC0", "IOACPIPlane:/_SB/EC0@",
             "IOACPIPlane:/_SB/EC0@0x", "IOACPIPlane:/_SB/EC0@1 2", "IOACPIPlane:/_SB/EC0@1@2", "IOACPIPlane:/\\_SB",
             static_cast<const char*>(nullptr)}) {
        std::string out = "untouched";
        EXPECT_FALSE(ACPIPlatform::acpiPathOf(path, false, out)) << (path ? path : "null");
        EXPECT_EQ(out, "untouched");
    }
    for (const char* name : {"", "SETVX", "sta", "1ABC", "_ST A", "_ST.", "@", "[", "`"})
        EXPECT_FALSE(ACPIPlatform::isACPIName(name, std::strlen(name))) << name;
    std::string padded = "untouched";
    EXPECT_FALSE(ACPIPlatform::paddedName("TOOLONG", padded) || ACPIPlatform::paddedName(nullptr, padded));
    EXPECT_TRUE(padded == "untouched" && ACPIPlatform::paddedName("EC0", padded) && padded == "EC0_");
}

TEST_F(ACPICallPlatformTest, DevicesAreFoundThroughSysfs)
{
    EXPECT_TRUE(!strcmp(acpi.description(), "/proc/acpi/call") && !acpi.isSimulated());
    device("\\_SB_.EC1_" + std::string(4096, ' ')); // too long to be read whole: matches nothing
    for (const char* path :
        {kEC, "IOACPIPlane:/_SB/PCI0@0/LPCB@1F/EC0@62", "IOACPIPlane:/_SB_", "IOACPIPlane:/_SB/BAT0"})
        EXPECT_TRUE(acpi.deviceExists(path)) << path;
    for (const char* path : {"IOACPIPlane:/_SB/PCI0/LPCB/EC1", "IOACPIPlane:/_SB/PCI0/LPCB", "IOACPIPlane:/_SB/EC1",
                             "IOService:/_SB/PCI0/LPCB/EC0", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(acpi.deviceExists(path)) << (path ? path : "null");
    EXPECT_FALSE(ACPICallPlatform(root + "/call", root + "/missing").deviceExists(kEC));
}

TEST(ACPIAnswers, EveryKindOfAnswerAndEveryMalformedOne)
{
    const std::tuple<const char*, IOReturn, const char*> cases[] = {// answer: status, value
        {"0xf", kIOReturnSuccess, "0xf"}, {"0xFFFFFFFFFFFFFFFF\n", kIOReturnSuccess, "0xffffffffffffffff"},
        {"\"say \"hi\", ok\"", kIOReturnSuccess, "\"say \"hi\", ok\""}, // quotes are not escaped
        {"[\"a \"b\" c\", \"d\"]", kIOReturnSuccess, "[\"a \"b\" c\", \"d\"]"},
        {"[0x2a, \"Qarn\", { }, [], {0x41, 0x62}, [0x1, \"a, b\"]]", kIOReturnSuccess,
            "[0x2a, \"Qarn\", {}, [], {Ab}, [0x1, \"a, b\"]]"},
        {" \n", kIOReturnSuccess, "null"}, {"Error: AE_NOT_FOUND", kIOReturnNotFound, "null"},
        {"Error: AE_AML_UNINITIALIZED_ARG\n", kIOReturnBadArgument, "null"},
        {"Error: AE_TYPE", kIOReturnBadArgument, "null"},
        {"Error: AE_BAD_PARAMETER extra", kIOReturnBadArgument, "null"},
        {"Error: AE_NO_MEMORY", kIOReturnNoMemory, "null"}, {"Error: AE_TIME", kIOReturnError, "null"},
        {"Error:", kIOReturnError, "null"}, {"not called", kIOReturnError, "null"},
        {"Object type 0x7\n", kIOReturnUnsupported, "null"},
        {"[0x1, Object type 0x7\n]", kIOReturnUnsupported, "null"}};
    for (const auto& [answer, status, value] : cases) {
        OSObject* result = kOSBooleanTrue;
        EXPECT_EQ(ACPICallPlatform::parseAnswer(answer, std::strlen(answer), &result), status) << answer;
        EXPECT_EQ(render(result), value) << answer;
    }
    for (const char* malformed : {"0x", "0x10000000000000000", "15", "0xfg", "0x1 0x2", "\"unterminated", "{0x01,",
                                  "{0x01, 0x02", "{0x100}", "{1}", "{0x01,}", "{,}", "[0x1, ", "[0x1 0x2]", "[0x1,]",
                                  "[", "]", "}", "ok"}) {
        OSObject* result = kOSBooleanTrue;
        const IOReturn status = ACPICallPlatform::parseAnswer(malformed, std::strlen(malformed), &result);
        EXPECT_TRUE(status == kIOReturnIOError && result == nullptr) << malformed;
    }
    OSObject* result = nullptr;
    EXPECT_EQ(ACPICallPlatform::parseAnswer("0x1", 3, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(ACPICallPlatform::parseAnswer(nullptr, 3, &result), kIOReturnBadArgument);
    EXPECT_EQ(ACPICallPlatform::parseAnswer("0x1F", 3, &result), kIOReturnSuccess); // only the length counts
    EXPECT_EQ(render(result), "0x1");
    for (int depth : {ACPICallPlatform::kMaxAnswerDepth, ACPICallPlatform::kMaxAnswerDepth + 1, 60000}) {
        const std::string nested = std::string(size_t(depth), '[') + "0x1" + std::string(size_t(depth), ']');
        const IOReturn status = ACPICallPlatform::parseAnswer(nested.data(), nested.size(), &result);
        EXPECT_EQ(status, depth == ACPICallPlatform::kMaxAnswerDepth ? kIOReturnSuccess : kIOReturnIOError) << depth;
        OSSafeReleaseNULL(result);
    }
}

TEST(ACPIRequests, LinesForTheModuleAndNothingThatCouldBreakOutOfThem)
{
    const uint8_t raw[] = {0x01, 0xAB, 0x00};
    std::vector<uint8_t> fill((ACPICallPlatform::kMaxRequestLength - 1 - std::strlen("\\A.SETV b")) / 2, 0x11);
    OSObject* objects[] = {OSNumber::withNumber(~0ull, 64), OSString::withCString("hello, world \xC2\xB0"),
        OSString::withCString(""), OSData::withBytes(raw, 3), OSArray::withCapacity(1), kOSBooleanTrue, nullptr,
        OSData::withBytes(fill.data(), unsigned(fill.size())), OSString::withCString("a\"b"),
        OSString::withCString("back\\slash"), OSString::withCString("nul\x01"), OSString::withCString("line\nfeed"),
        OSString::withCString("del\x7f")}; // could break out
    fill.push_back(0x11); // one byte more than the module's 511 with the line feed
    OSObject* tooLong = OSData::withBytes(fill.data(), unsigned(fill.size()));
    std::string line;
    ASSERT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", objects, 4, line), kIOReturnSuccess);
    EXPECT_EQ(line, "\\_SB.PCI0.LPCB.EC0.SETV 0xffffffffffffffff \"hello, world \xC2\xB0\" \"\" b01ab00");
    ASSERT_EQ(ACPICallPlatform::formatRequest("IOACPIPlane:/_SB@0/EC0", "_STA", nullptr, 0, line), kIOReturnSuccess);
    EXPECT_EQ(line, "\\_SB.EC0._STA");
    OSObject* seven[] = {objects[0], objects[0], objects[0], objects[0], objects[0], objects[0], objects[0]};
    EXPECT_TRUE(ACPICallPlatform::formatRequest(kEC, "SETV", seven, 7, line) == kIOReturnSuccess
                && ACPICallPlatform::formatRequest("IOACPIPlane:/A", "SETV", &objects[7], 1, line) == kIOReturnSuccess);
    const std::tuple<const char*, const char*, OSObject* const*, IOItemCount> refused[] = {
        {"IOACPIPlane:/_SB/EC0 0x1", "_STA", nullptr, 0}, {"IOService:/_SB/EC0", "_STA", nullptr, 0},
        {kEC, "_ST A", nullptr, 0}, {kEC, "SETVX", nullptr, 0}, {kEC, "_sta", nullptr, 0}, {kEC, nullptr, nullptr, 0},
        {kEC, "SETV", nullptr, 1}, {kEC, "SETV", &objects[6], 1}, {kEC, "SETV", objects, 8},
        {"IOACPIPlane:/A", "SETV", &tooLong, 1}};
    for (const auto& [path, method, params, count] : refused) {
        line = "untouched";
        EXPECT_EQ(ACPICallPlatform::formatRequest(path, method, params, count, line), kIOReturnBadArgument) << path;
        EXPECT_EQ(line, "untouched") << path << " " << method;
    }
    for (OSObject* const* untyped : {&objects[4], &objects[5]}) // an array, a boolean
        EXPECT_TRUE(ACPICallPlatform::formatRequest(kEC, "SETV", untyped, 1, line) == kIOReturnUnsupported
            && line == "untouched");
    for (size_t i = 8; i < std::size(objects); ++i)
        EXPECT_EQ(ACPICallPlatform::formatRequest(kEC, "SETV", &objects[i], 1, line), kIOReturnBadArgument) << i;
    for (OSObject* object : objects)
        OSSafeReleaseNULL(object);
    tooLong->release();
}

TEST_F(ACPICallPlatformTest, EvaluationWritesOneLineAndReadsTheAnswer)
{
    std::string result;
    OSObject* sixteen = OSNumber::withNumber(0x10, 64);
    const std::tuple<std::string, const char*, OSObject*, IOReturn, const char*> cases[]
        = {{"0xf", "_STA", nullptr, kIOReturnSuccess, "0xf"}, {"\"abc\"", "SETV", sixteen, kIOReturnSuccess, "\"abc\""},
            {"", "_PS0", nullptr, kIOReturnSuccess, "null"},
            {"Error: AE_NOT_FOUND", "NOPE", nullptr, kIOReturnNotFound, "null"},
            {"{0x01,", "BUFF", nullptr, kIOReturnIOError, "null"}}; // answer, method, argument: status, value
    for (const auto& [text, method, param, status, value] : cases) {
        answer(text);
        EXPECT_EQ(evaluate(kEC, method, param, result), status) << method;
        EXPECT_EQ(result, value) << method;
        EXPECT_EQ(call(), text + '\0' + "\\_SB.PCI0.LPCB.EC0." + method + (param ? " 0x10\n" : "\n")); // one line
    }
    answer("0x1");
    EXPECT_EQ(acpi.evaluateObject(kEC, "_STA", nullptr, 0, nullptr), kIOReturnSuccess); // no result wanted
    answer("0x1");
    OSObject* quote = OSString::withCString("\" ; x");
    EXPECT_EQ(evaluate("IOACPIPlane:/_SB/EC0 0x1", "_STA", nullptr, result), kIOReturnBadArgument);
    EXPECT_EQ(evaluate(kEC, "SETV", quote, result), kIOReturnBadArgument);
    EXPECT_EQ(call(), std::string("0x1") + '\0'); // refused requests write nothing
    answer("0x1", false); // an old module without the NUL: the request line runs on behind it
    const IOReturn runOn = evaluate(kEC, "_STA", nullptr, result);
    answer(std::string(ACPICallPlatform::kMaxAnswerLength + 10, ' ')); // more than is read
    EXPECT_TRUE(runOn == kIOReturnIOError && evaluate(kEC, "_STA", nullptr, result) == kIOReturnIOError);
    ACPICallPlatform missing(root + "/nocall", root + "/devices");
    EXPECT_EQ(missing.evaluateObject(kEC, "_STA", nullptr, 0, nullptr), kIOReturnUnsupported); // no module
    EXPECT_FALSE(std::filesystem::exists(root + "/nocall"));
    sixteen->release();
    quote->release();
}

} // namespace
} // namespace vennix
