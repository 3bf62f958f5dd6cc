// What readers may read: the energy counters' rate per user, and root's files that widen the
// lists (the lists themselves are tested through a connection, in ConnectionTest).

#include <gtest/gtest.h>

#include "daemon/ReaderPolicy.h"
#include "kext/platform/IOLog.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vennix {
namespace {

using namespace std::chrono_literals;

class ReaderPolicyTest : public ::testing::Test {
protected:
    static std::string makeDirectory()
    {
        char pattern[] = "/tmp/vennix-policy-XXXXXX";
        const char* made = mkdtemp(pattern);
        return made ? made : "/nonexistent";
    }
    ~ReaderPolicyTest() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    // A batch result's values of one MSR on rows CPUs, all reading value; what limitEnergy
    // leaves in row 0.
    uint64_t readAs(uid_t uid, uint32_t msr, uint64_t value, uint32_t rows = 2)
    {
        std::vector<uint8_t> values(8 * rows);
        for (uint32_t n = 0; n < rows; ++n)
            std::memcpy(values.data() + 8 * n, &value, 8);
        const uint32_t msrs[] = {msr};
        policy.limitEnergy(uid, msrs, values.data(), rows);
        uint64_t first;
        std::memcpy(&first, values.data(), 8);
        for (uint32_t n = 1; n < rows; ++n)
            EXPECT_EQ(std::memcmp(values.data() + 8 * n, &first, 8), 0) << "row " << n;
        return first;
    }

    std::string directory = makeDirectory();
    std::chrono::steady_clock::time_point now{std::chrono::seconds(1000)};
    ReaderPolicy policy{directory + "/msrs", directory + "/acpi", [this] { return now; }};
};

TEST_F(ReaderPolicyTest, EnergyCountersComeFreshTwentyTimesASecondPerUser)
{
    // Every read 1 ms apart with a counter that moves each time: within 50 ms, the cached one.
    std::vector<uint64_t> seen;
    const auto start = now;
    for (uint64_t step = 0; step < 200; ++step) {
        now = start + std::chrono::milliseconds(step);
        seen.push_back(readAs(1000, 0x611, 5000 + step));
    }
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen, (std::vector<uint64_t>{5000, 5050, 5100, 5150})) << "one fresh reading per 50 ms";

    // Each user has its own rate, each counter its own; other registers are never held back.
    EXPECT_EQ(readAs(1001, 0x611, 9), 9u);
    EXPECT_EQ(readAs(1000, 0x639, 7), 7u);
    EXPECT_EQ(readAs(1000, 0x198, 1), 1u);
    EXPECT_EQ(readAs(1000, 0x198, 2), 2u);
    // More rows than the cached reading had: the package's counter of its first row.
    EXPECT_EQ(readAs(1000, 0x611, 1, 8), 5150u);
    now += 50ms;
    EXPECT_EQ(readAs(1000, 0x611, 6000), 6000u);
}

TEST_F(ReaderPolicyTest, RootsFilesWidenTheListsWhenTrusted)
{
    IOLogCapture log;
    EXPECT_FALSE(policy.mayReadMSR(0xC0000082));
    EXPECT_TRUE(policy.mayReadMSR(0x198));
    EXPECT_TRUE(policy.mayEvaluate("IOACPIPlane:/_SB/AC", "_PSR"));
    EXPECT_FALSE(policy.mayEvaluate("IOACPIPlane:/_SB/PCI0/LPCB/EC0", "_Q66"));

    std::ofstream(directory + "/msrs") << "0x3A\n58x\n1234 # a comment\n";
    std::ofstream(directory + "/acpi") << "IOACPIPlane:/_SB/PCI0/LPCB/EC0 _Q66\n* FANS\nlonely\n";
    EXPECT_TRUE(policy.mayReadMSR(0x3A));
    EXPECT_TRUE(policy.mayReadMSR(1234));
    EXPECT_EQ(policy.extraMSRCount(), 2u);
    EXPECT_TRUE(policy.mayEvaluate("IOACPIPlane:/_SB/PCI0/LPCB/EC0", "_Q66"));
    EXPECT_FALSE(policy.mayEvaluate("IOACPIPlane:/_SB/PCI0/LPCB/EC1", "_Q66")) << "that device only";
    EXPECT_TRUE(policy.mayEvaluate("IOACPIPlane:/_SB/ANY", "FANS"));
    EXPECT_EQ(policy.extraACPICount(), 2u);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("line 2 is not an MSR number"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("line 3 is not \"PATH METHOD\""), std::string::npos) << lines[1];

    // A file others may write adds nothing.
    chmod((directory + "/msrs").c_str(), 0666);
    EXPECT_FALSE(policy.mayReadMSR(0x3A));
}

TEST(LogEscaping, ClientTextCannotForgeLinesOrSendEscapes)
{
    EXPECT_EQ(escapeForLog("_SB.PCI0"), "_SB.PCI0");
    EXPECT_EQ(escapeForLog("EC0\nvennixd/ uid 0 may write\n"), "EC0\\x0avennixd/ uid 0 may write\\x0a");
    EXPECT_EQ(escapeForLog("\x1b[2J\\\x7f\xc3\xa9"), "\\x1b[2J\\x5c\\x7f\\xc3\\xa9");
    EXPECT_EQ(escapeForLog(std::string(300, 'a'), 4), "aaaa...");
}

} // namespace
} // namespace vennix
