// vennixctl's command line: numbers as users type them, and every mistake answered with a
// message and exit status 2 before anything is sent.

#include "tests/tools/vennixctl/RunVennixCtl.h"

#include <gtest/gtest.h>


namespace qarn {
namespace {

using testing::Outcome;

Outcome run(const std::vector<std::string>& arguments)
{
    return testing::runVennixCtl(arguments);
}

TEST(VennixCtlNumbers, DecimalAndHexadecimalOnly)
{
    EXPECT_EQ(VennixCtl::parseNumber("429"), 429u);
    EXPECT_EQ(VennixCtl::parseNumber("0x1AD"), 0x1ADu);
    EXPECT_EQ(VennixCtl::parseNumber("0X1ad"), 0x1ADu);
    EXPECT_EQ(VennixCtl::parseNumber("0"), 0u);
    EXPECT_EQ(VennixCtl::parseNumber("0xFFFFFFFFFFFFFFFF"), UINT64_MAX);
    EXPECT_EQ(VennixCtl::parseNumber("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "0x", "-1", "+1", " 1", "1 ", "1x", "0x1G", "1AD", "0x10000000000000000",
                            "18446744073709551616", "1.5", "0b101"})
        EXPECT_FALSE(VennixCtl::parseNumber(bad)) << bad;
}

TEST(VennixCtlNumbers, IntervalsInSeconds)
{
    EXPECT_EQ(VennixCtl::parseInterval("1"), std::chrono::milliseconds(1000));
    EXPECT_EQ(VennixCtl::parseInterval("0.25"), std::chrono::milliseconds(250));
    for (const char* bad : {"", "0", "0.001", "-1", "3601", "1s", "nan", "inf"})
        EXPECT_FALSE(VennixCtl::parseInterval(bad)) << bad;
}

TEST(VennixCtlUsage, MistakesAreRefusedBeforeAnythingIsSent)
{
    // The socket does not exist: a refusal that mentions it would mean a call was attempted.
    const std::string nowhere = "/nonexistent/vennix.sock";
    const std::vector<std::vector<std::string>> mistakes{
        {},
        {"--socket"},
        {"--bogus", "info"},
        {"frobnicate"},
        {"--simulate", "--socket", nowhere, "info"},
        {"--socket", nowhere, "info", "extra"},
        {"--socket", nowhere, "rdmsr"},
        {"--socket", nowhere, "rdmsr", "0x1G"},
        {"--socket", nowhere, "rdmsr", "0x100000000"},
        {"--socket", nowhere, "rdmsr", "0x1AD", "--cpu"},
        {"--socket", nowhere, "rdmsr", "0x1AD", "--cpu", "one"},
        {"--socket", nowhere, "rdmsr", "0x1AD", "--cpu", "1", "--all"},
        {"--socket", nowhere, "wrmsr", "0x1AD"},
        {"--socket", nowhere, "wrmsr", "0x1AD", "-5"},
        {"--socket", nowhere, "wrmsr", "0x1AD", "5", "--cpus", "1"},
        {"--socket", nowhere, "wrmsr", "0x1AD", "5", "--everywhere"},
        {"--socket", nowhere, "metrics", "--interval", "0"},
        {"--socket", nowhere, "acpi"},
        {"--socket", nowhere, "acpi", "peek", "P", "K"},
        {"--socket", nowhere, "acpi", "get", "IOACPIPlane:/_SB"},
        {"--socket", nowhere, "acpi", "set", "IOACPIPlane:/_SB", "SETV"},
        {"--socket", nowhere, "acpi", "set", "IOACPIPlane:/_SB", "SETV", "seven"},
    };
    for (const auto& arguments : mistakes) {
        const Outcome result = run(arguments);
        std::string line;
        for (const auto& a : arguments)
            line += a + " ";
        EXPECT_EQ(result.status, VennixCtl::kExitUsage) << line << "\n" << result.err;
        EXPECT_EQ(result.err.rfind("vennixctl: ", 0), 0u) << line;
        EXPECT_EQ(result.err.find("cannot connect"), std::string::npos) << line << "\n" << result.err;
        EXPECT_TRUE(result.out.empty()) << line;
    }
}

TEST(VennixCtlUsage, HelpAndAMissingService)
{
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("rdmsr MSR [--cpu N | --all]"), std::string::npos);

    const Outcome missing = run({"--socket", "/nonexistent/vennix.sock", "info"});
    EXPECT_EQ(missing.status, VennixCtl::kExitFailed);
    EXPECT_NE(missing.err.find("is vennixd running?"), std::string::npos) << missing.err;
}

} // namespace
} // namespace qarn
