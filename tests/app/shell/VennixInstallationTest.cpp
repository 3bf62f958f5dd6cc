#include "shell/VennixInstallation.h"

#include "TestFiles.h"
#include "tests/support/VennixdChild.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace qarn {
namespace {

using testing::exists;
using testing::readFile;
using testing::splitAtNul;
using testing::writeScript;

const std::string kRunning = "Accessor l\xC3\xA4uft";
const std::string kNotRunning = "Accessor l\xC3\xA4uft nicht";
const std::string kInstalled = "Accessor installiert";
const std::string kNotInstalled = "Accessor nicht installiert";

// An installation whose status tool and pkexec are fakes in a temporary directory whose name
// has blanks and quotes in it. The fake pkexec records each run and its arguments.
class VennixInstallationTest : public ::testing::Test {
protected:
    VennixInstallationTest()
    {
        fDirectory = fTemporary / "dir with 'single' \"double\" $HOME `x`";
        EXPECT_EQ(::mkdir(fDirectory.c_str(), 0755), 0);
        fInstallation.pkexecPath = fDirectory + "/pkexec";
        fInstallation.scriptPath = fDirectory + "/it's the \"command\"";
        fInstallation.bundlePath = fDirectory + "/Vennix bundle; rm -rf ~";
        fInstallation.log = [this](std::string_view line) { fLog.emplace_back(line); };
        pkexecExits(0);
    }

    void pkexecExits(int status)
    {
        writeScript(fDirectory + "/pkexec", "echo run >> \"$d/runs\"\nprintf '%s\\0' \"$@\" > \"$d/argv\"\nexit " +
                                                std::to_string(status) + "\n");
    }

    // A status tool that prints exactly output and exits with exitStatus.
    void statusPrints(const std::string& output, int exitStatus = 0)
    {
        testing::writeFile(fDirectory + "/status.out", output);
        fInstallation.statusCommand = {"/bin/sh", "-c", "cat \"$1\"; exit " + std::to_string(exitStatus), "sh",
                                       fDirectory + "/status.out"};
    }

    int pkexecRuns() const
    {
        const std::string runs = readFile(fDirectory + "/runs");
        return static_cast<int>(std::count(runs.begin(), runs.end(), '\n'));
    }
    std::vector<std::string> pkexecArguments() const { return splitAtNul(readFile(fDirectory + "/argv")); }

    testing::TemporaryDirectory fTemporary;
    std::string fDirectory;
    VennixInstallation fInstallation;
    std::vector<std::string> fLog;
};

TEST_F(VennixInstallationTest, MessagesAreTheExactUtf8Texts)
{
    EXPECT_EQ(VennixInstallation::kRunningMessage, kRunning);
    EXPECT_EQ(VennixInstallation::kNotRunningMessage, kNotRunning);
    EXPECT_EQ(VennixInstallation::kInstalledMessage, kInstalled);
    EXPECT_EQ(VennixInstallation::kNotInstalledMessage, kNotInstalled);
}

TEST_F(VennixInstallationTest, OutputMentioningTheIdentifierAnywhereCountsAsRunning)
{
    const std::vector<std::pair<std::string, int>> outputs{
        {"org.qarn.vennix.service loaded active running Qarn CPU service (vennixd)\n", 0},
        {"something else\nunrelated org.qarn.vennixd-like line\n", 0},
        {"org.qarn.vennix", 0},                    // no line feed at all
        {std::string(200000, 'x') + "org.qarn.vennix\n", 0},
        {std::string("\0\xff", 2) + "org.qarn.vennix", 0},
        {"org.qarn.vennix.service\n", 3},          // the exit status is not consulted
    };
    for (const auto& [output, status] : outputs) {
        fLog.clear();
        statusPrints(output, status);
        fInstallation.loadVennix();
        EXPECT_EQ(fLog, std::vector<std::string>{kRunning}) << output.substr(0, 80);
    }
    EXPECT_EQ(pkexecRuns(), 0);
}

TEST_F(VennixInstallationTest, OutputWithoutTheIdentifierCountsAsNotRunning)
{
    for (const std::string output : {"", "\n", "org.qarn.venni", "ORG.QARN.VENNIX", "org.qarn.\nvennix",
                                     "0 loaded units listed.\n"}) {
        statusPrints(output);
        EXPECT_FALSE(fInstallation.serviceIsRunning()) << output;
    }
}

TEST_F(VennixInstallationTest, NotRunningRunsTheInstallerOnceWithExactlyItsTwoArguments)
{
    statusPrints("");
    fInstallation.loadVennix();

    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kInstalled}));
    EXPECT_EQ(pkexecRuns(), 1);
    EXPECT_EQ(pkexecArguments(),
              (std::vector<std::string>{fInstallation.scriptPath, fInstallation.bundlePath, "/tmp/Vennix.kext"}));
}

TEST_F(VennixInstallationTest, CancelledOrFailedInstallationIsLoggedAndNotRetried)
{
    statusPrints("");
    pkexecExits(126); // what pkexec answers when the password dialog is dismissed
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kNotInstalled}));
    EXPECT_EQ(pkexecRuns(), 1);

    fLog.clear();
    pkexecExits(1);
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kNotInstalled}));
    EXPECT_EQ(pkexecRuns(), 2);
}

TEST_F(VennixInstallationTest, MissingPkexecIsNotInstalled)
{
    statusPrints("");
    fInstallation.pkexecPath = fDirectory + "/no-pkexec-here";
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kNotInstalled}));
}

TEST_F(VennixInstallationTest, MissingResourcesAreNotInstalledWithoutAskingForAPassword)
{
    statusPrints("");
    fInstallation.scriptPath.clear();
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kNotInstalled}));
    EXPECT_EQ(pkexecRuns(), 0);
}

TEST_F(VennixInstallationTest, StatusToolThatCannotStartLeadsToInstallation)
{
    fInstallation.statusCommand = {fDirectory + "/no-systemctl-here", "list-units"};
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kInstalled}));
    EXPECT_EQ(pkexecRuns(), 1);

    fLog.clear();
    fInstallation.statusCommand.clear();
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kInstalled}));
    EXPECT_EQ(pkexecRuns(), 2);
}

TEST_F(VennixInstallationTest, HangingStatusToolIsKilledAndCountsAsNotRunning)
{
    // It even printed the identifier before it hung: a tool that does not end says nothing.
    fInstallation.statusCommand = {"/bin/sh", "-c", "echo org.qarn.vennix; echo $$ > \"$1\"; exec sleep 1000",
                                   "sh", fDirectory + "/status.pid"};
    fInstallation.statusTimeout = std::chrono::milliseconds(300);
    fInstallation.loadVennix();

    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kInstalled}));
    const pid_t tool = testing::pidIn(fDirectory + "/status.pid");
    ASSERT_GT(tool, 0);
    EXPECT_FALSE(testing::isAlive(tool));
}

TEST_F(VennixInstallationTest, AVennixdAnsweringOnTheSocketRunsWhereNoSystemdDoes)
{
    // The installer starts vennixd directly where systemd does not run; asking only systemd
    // would ask for the password at every start.
    vennix::testing::VennixdChild daemon;
    ASSERT_TRUE(daemon.running()) << daemon.problem();
    fInstallation.statusCommand = {fDirectory + "/no-systemctl-here"};
    fInstallation.socketPath = daemon.socketPath();
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, std::vector<std::string>{kRunning});
    EXPECT_EQ(pkexecRuns(), 0);

    daemon.stop();
    fLog.clear();
    fInstallation.loadVennix();
    EXPECT_EQ(fLog, (std::vector<std::string>{kNotRunning, kInstalled})) << "nobody answers any more";
}

TEST_F(VennixInstallationTest, SimulatedServiceRunsWithoutRunningAnything)
{
    fInstallation.statusCommand = {"/bin/sh", "-c", "touch \"$1\"", "sh", fDirectory + "/status-ran"};
    fInstallation.simulated = true;
    fInstallation.loadVennix();

    EXPECT_EQ(fLog, std::vector<std::string>{kRunning});
    EXPECT_FALSE(exists(fDirectory + "/status-ran"));
    EXPECT_EQ(pkexecRuns(), 0);
}

TEST_F(VennixInstallationTest, WithoutASinkEachMessageIsOneLineOnStandardError)
{
    statusPrints("");
    pkexecExits(126);
    fInstallation.log = nullptr;
    ::testing::internal::CaptureStderr();
    fInstallation.loadVennix();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), kNotRunning + "\n" + kNotInstalled + "\n");
}

TEST(VennixInstallationStandardTest, AsksSystemdForTheUnitAndFindsTheResourcesNextToTheProgram)
{
    const VennixInstallation standard = VennixInstallation::standard(false);
    EXPECT_FALSE(standard.simulated);
    EXPECT_TRUE(VennixInstallation::standard(true).simulated);
    EXPECT_EQ(VennixInstallation::unitName(), "org.qarn.vennix.service");
    ASSERT_FALSE(standard.statusCommand.empty());
    EXPECT_EQ(standard.statusCommand.front(), "systemctl");
    EXPECT_EQ(standard.statusCommand.back(), "org.qarn.vennix.service");
    EXPECT_EQ(standard.stagingPath, "/tmp/Vennix.kext");

    // This test program's own directory stands in for the monitor's.
    const std::string directory = VennixInstallation::executableDirectory();
    ASSERT_FALSE(directory.empty());
    struct stat self;
    ASSERT_EQ(::stat((directory + "/shell_tests").c_str(), &self), 0) << directory;
    EXPECT_EQ(standard.scriptPath, directory + "/command");
    EXPECT_EQ(standard.bundlePath, directory + "/Vennix.bundle");
}

TEST(VennixInstallationStandardTest, TheBuildPutsTheResourcesNextToTheMonitor)
{
    const std::string resources = QARN_RESOURCES_DIR;
    struct stat file;
    ASSERT_EQ(::stat((resources + "/command").c_str(), &file), 0);
    EXPECT_TRUE(S_ISREG(file.st_mode) && (file.st_mode & 0111) == 0111);
    EXPECT_EQ(readFile(resources + "/command"), readFile(VENNIX_INSTALLER_PATH));

    ASSERT_EQ(::stat((resources + "/Vennix.bundle/vennixd").c_str(), &file), 0);
    EXPECT_TRUE(S_ISREG(file.st_mode) && (file.st_mode & 0111) == 0111);
    EXPECT_EQ(readFile(resources + "/Vennix.bundle/vennixd"), readFile(VENNIXD_PATH));
    EXPECT_EQ(readFile(resources + "/Vennix.bundle/org.qarn.vennix.service"), readFile(VENNIX_UNIT_PATH));
}

} // namespace
} // namespace qarn
