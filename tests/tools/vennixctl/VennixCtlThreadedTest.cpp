// vennixctl's commands on the simulated processor and ACPI namespace, in-process (--simulate).

#include "tests/tools/vennixctl/RunVennixCtl.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qarn {
namespace {

using testing::Outcome;

Outcome simulated(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "--simulate");
    return testing::runVennixCtl(arguments);
}

constexpr const char* kEC = "IOACPIPlane:/_SB/PCI0/LPCB/EC0";

TEST(VennixCtlSimulated, InfoDecodesTheRecordAndSaysItIsSimulated)
{
    const Outcome info = simulated({"info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("vendor       GenuineIntel\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("brand        Simulated"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("family       6\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("model        0x5E (94)\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("cores        4\nthreads      8\n"), std::string::npos) << info.out;
    EXPECT_NE(info.err.find("simulated processor"), std::string::npos);
}

TEST(VennixCtlSimulated, ReadsOneCPUOrEveryRow)
{
    const Outcome calling = simulated({"rdmsr", "0x1AD"});
    ASSERT_EQ(calling.status, 0) << calling.err;
    EXPECT_EQ(calling.out, "0x28292a2a\n");

    const Outcome all = simulated({"rdmsr", "0xCE", "--all"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 8) << all.out;
    EXPECT_EQ(all.out.rfind("CPU 0: 0x", 0), 0u) << all.out;
    EXPECT_NE(all.out.find("\nCPU 7: 0x"), std::string::npos) << all.out;

    EXPECT_EQ(simulated({"rdmsr", "0x1AD", "--cpu", "7"}).out, "0x28292a2a\n");
    const Outcome beyond = simulated({"rdmsr", "0x1AD", "--cpu", "8"});
    EXPECT_EQ(beyond.status, VennixCtl::kExitFailed);
    EXPECT_NE(beyond.err.find("there is no CPU 8"), std::string::npos) << beyond.err;
}

TEST(VennixCtlSimulated, WritesWhereTheWriteListSays)
{
    // Each --simulate run starts a fresh simulated processor, so a write is checked in the
    // same run's output only.
    const Outcome all = simulated({"wrmsr", "0x1AD", "0x26272829", "--all"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, "wrote 0x26272829 to MSR 0x1ad on every CPU\n");
    EXPECT_EQ(simulated({"wrmsr", "0x1AD", "1", "--cpus", "2"}).out, "wrote 0x1 to MSR 0x1ad on CPUs 0 to 1\n");
    EXPECT_EQ(simulated({"wrmsr", "0x1AD", "1"}).out, "wrote 0x1 to MSR 0x1ad on the calling CPU\n");
}

TEST(VennixCtlSimulated, ACPIChecksGetsAndSets)
{
    EXPECT_EQ(simulated({"acpi", "get", kEC, "_STA"}).out, "15\n");
    EXPECT_EQ(simulated({"acpi", "get", kEC, "BUFF"}).out, "01 02 03 04\n");
    EXPECT_EQ(simulated({"acpi", "get", kEC, "NAME"}).out, "Simulated EC\n");
    EXPECT_EQ(simulated({"acpi", "check", kEC, "_STA"}).out, "OSNumber\n");
    EXPECT_EQ(simulated({"acpi", "check", kEC, "NOPE"}).out, "Falscher Key\n");
    EXPECT_EQ(simulated({"acpi", "set", kEC, "SETV", "0x2A"}).out, "42\n");

    const Outcome missing = simulated({"acpi", "get", "IOACPIPlane:/_SB/NOPE", "_STA"});
    EXPECT_EQ(missing.status, VennixCtl::kExitFailed);
    EXPECT_NE(missing.err.find("no value"), std::string::npos) << missing.err;
}

TEST(VennixCtlSimulated, MetricsSampleTwice)
{
    const Outcome metrics = simulated({"metrics", "--interval", "0.05"});
    ASSERT_EQ(metrics.status, 0) << metrics.err;
    for (const char* line : {"multiplier ", "core voltage ", "core temperature ", "package temperature ",
                             "package power "})
        EXPECT_NE(metrics.out.find(line), std::string::npos) << line << "\n" << metrics.out;
    auto figure = [&](const char* name) {
        const size_t at = metrics.out.find(name);
        return at == std::string::npos ? -1.0 : std::stod(metrics.out.substr(metrics.out.find_first_of("0123456789", at)));
    };
    // The simulated package draws power: more than 0 W over the interval.
    EXPECT_GT(figure("package power"), 0.0) << metrics.out;
    // Every simulated CPU runs at 8 or more, and the mean of the default load never falls
    // below 22: a figure read at face value, not an eight-slot average after two samples.
    EXPECT_GE(figure("multiplier"), 22.0) << metrics.out;
    EXPECT_LE(figure("multiplier"), 42.0) << metrics.out;
}

} // namespace
} // namespace qarn
