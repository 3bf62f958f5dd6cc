// Programs run without a shell, and the installation check with fake status tools and a fake
// pkexec in a directory whose name is full of what a shell would take apart. The installer script
// itself is tested by installer_test.sh.

#include "platform/Process.h"
#include "shell/VennixInstallation.h"
#include "tests/support/Spawn.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/support/VennixdChild.h"
#include <gtest/gtest.h>
#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qarn {
namespace {

using namespace std::chrono_literals;
using vennix::testing::readFile;
using vennix::testing::TemporaryDirectory;
using Lines = std::vector<std::string>;

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << "cannot write " << path;
}
pid_t pidIn(const std::string& path) {
    return static_cast<pid_t>(std::atol(readFile(path).c_str()));
}
// Whether pid names a process that has not ended (a zombie has ended); false for none.
bool isAlive(pid_t pid) {
    const std::string stat = pid > 0 ? readFile("/proc/" + std::to_string(pid) + "/stat") : "";
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}
// Waits until pid has ended: a killed process ends soon, not the instant kill() returns.
bool endsSoon(pid_t pid) {
    for (int i = 0; i < 1000 && isAlive(pid); ++i)
        std::this_thread::sleep_for(10ms);
    return !isAlive(pid);
}

Process::Result shell(const std::string& script, size_t maxOutput = 1 << 20, std::chrono::milliseconds timeout = {},
                      const std::string& argument = "") {
    Process::Options options;
    options.captureOutput = true;
    options.maxOutput = maxOutput;
    options.timeout = timeout;
    options.ownProcessGroup = true;
    return Process::run({"/bin/sh", "-c", script, "sh", argument}, options);
}

TEST(ProcessTest, CapturesOutputWholeUpToItsBoundWhereTheWriterGetsSIGPIPE) {
    const Process::Result seven = shell("printf 'a\\0b'; exit 7");
    EXPECT_TRUE(seven.output == std::string("a\0b", 3) && !seven.outputTruncated && seven.exitStatus == 7);
    const auto previous = std::signal(SIGPIPE, SIG_IGN); // ignored here, default in the program
    const Process::Result bounded = shell("exec yes 0123456789", 1000);
    std::signal(SIGPIPE, previous);
    EXPECT_EQ(bounded.output.size(), 1000u);
    EXPECT_TRUE(bounded.outputTruncated);
    EXPECT_EQ(bounded.output.substr(0, 11), "0123456789\n");
    EXPECT_EQ(std::make_pair(bounded.ending, bounded.signal), std::make_pair(Process::Ending::Signalled, SIGPIPE));
}

TEST(ProcessTest, KillsAProgramThatRunsPastItsTimeWithWhatItStarted) {
    TemporaryDirectory directory;
    // The program ends at once, but a child it left behind holds the output open.
    const auto leftBehind = shell("sleep 1000 & echo $! > \"$1\"; echo early", 99, 200ms, directory / "child");
    EXPECT_EQ(leftBehind.ending, Process::Ending::TimedOut);
    EXPECT_EQ(leftBehind.output, "early\n");
    EXPECT_TRUE(pidIn(directory / "child") > 0 && endsSoon(pidIn(directory / "child")));
    // The program itself hangs, its output closed.
    const Process::Result hanging = shell("echo $$ > \"$1\"; exec sleep 1000 >&-", 99, 200ms, directory / "self");
    EXPECT_EQ(std::make_pair(hanging.ending, hanging.signal), std::make_pair(Process::Ending::TimedOut, SIGKILL));
    EXPECT_TRUE(pidIn(directory / "self") > 0 && !isAlive(pidIn(directory / "self"))) << "killed and reaped";
    Process::Options plain; // not capturing: the time still counts
    plain.timeout = 200ms;
    EXPECT_EQ(Process::run({"sleep", "1000"}, plain).ending, Process::Ending::TimedOut) << "found through PATH";
}

TEST(ProcessTest, SaysWhatCouldNotStartAndCapturesWithOurStandardInputAndOutputClosed) {
    TemporaryDirectory directory;
    writeFile(directory / "not-executable", "#!/bin/sh\n", 0644);
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{directory / "missing"}, ENOENT}, {{directory / "not-executable"}, EACCES}, {{}, EINVAL}, {{""}, EINVAL}};
    for (const auto& [argv, error] : cases) {
        const Process::Result result = Process::run(argv, Process::Options{});
        EXPECT_EQ(std::make_pair(result.ending, result.startError), std::make_pair(Process::Ending::NotStarted, error));
    }
    // The pipe then gets descriptors 0 and 1, its writing end the one it must be copied onto.
    fflush(stdout);
    const int input = ::dup(STDIN_FILENO), output = ::dup(STDOUT_FILENO);
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    const Process::Result result = shell("echo through");
    ::dup2(input, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    ::close(input);
    ::close(output);
    EXPECT_EQ(result.output, "through\n");
}

const std::string kRunning = "Accessor l\xC3\xA4uft", kNotRunning = "Accessor l\xC3\xA4uft nicht";
const std::string kInstalled = "Accessor installiert", kNotInstalled = "Accessor nicht installiert";

class VennixInstallationTest : public ::testing::Test {
protected:
    VennixInstallationTest() {
        EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0);
        installation.pkexecPath = dir + "/pkexec";
        installation.scriptPath = dir + "/it's the \"command\"";
        installation.bundlePath = dir + "/Vennix bundle; rm -rf ~";
        installation.log = [this](std::string_view line) { logged.emplace_back(line); };
        installation.packagedUnitPath = dir + "/packaged.service";
        pkexecExits(0);
    }
    // The fake pkexec records each run and its arguments.
    void pkexecExits(int status) {
        const std::string records = "echo >> \"$d/runs\"\nprintf '%s\\n' \"$@\" > \"$d/argv\"\n";
        writeFile(installation.pkexecPath, "#!/bin/sh\nd=${0%/*}\n" + records + "exit " + std::to_string(status), 0755);
    }
    // A status tool that prints exactly output and exits with exitStatus.
    std::vector<std::string> prints(const std::string& output, int exitStatus = 0) {
        const std::string file = dir + "/out" + std::to_string(++outputs);
        writeFile(file, output);
        return {"/bin/sh", "-c", "cat \"$0\"; exit " + std::to_string(exitStatus), file};
    }
    Lines check() { // the lines one check logs
        logged.clear();
        installation.loadVennix();
        return logged;
    }
    size_t pkexecRuns() const { return readFile(dir + "/runs").size(); }

    TemporaryDirectory temporary;
    const std::string dir = temporary / "dir with 'single' \"double\" $HOME `x`";
    VennixInstallation installation;
    Lines logged;
    int outputs = 0;
};

TEST_F(VennixInstallationTest, OutputMentioningTheIdentifierAnywhereCountsAsRunningWhateverTheExitStatus) {
    const std::pair<std::vector<std::string>, bool> tools[] = {
        {prints("org.qarn.vennix.service loaded active running Qarn CPU service (vennixd)\n"), true},
        {prints("something else\nunrelated org.qarn.vennixd-like line\n"), true},
        {prints(std::string(200000, 'x') + "org.qarn.vennix"), true},
        {prints(std::string("\0\xff", 2) + "org.qarn.vennix"), true},
        {prints("org.qarn.vennix.service\n", 3), true},
        {prints(""), false}, {prints("org.qarn.venni"), false}, {prints("ORG.QARN.VENNIX"), false},
        {prints("org.qarn.\nvennix"), false}, {{dir + "/no-systemctl-here"}, false}, {{}, false}, // cannot start
        // It printed the identifier before it hung: a tool that does not end says nothing.
        {{"/bin/sh", "-c", "echo org.qarn.vennix; echo $$ > \"$0\"; exec sleep 1000", dir + "/pid"}, false},
    };
    installation.statusTimeout = 300ms;
    for (const auto& [tool, running] : tools) {
        installation.statusCommand = tool;
        EXPECT_EQ(check(), (running ? Lines{kRunning} : Lines{kNotRunning, kInstalled}))
            << ::testing::PrintToString(tool).substr(0, 99);
    }
    EXPECT_FALSE(isAlive(pidIn(dir + "/pid"))) << "killed";
    EXPECT_EQ(pkexecRuns(), 7u);
    const std::string argv = installation.scriptPath + "\n" + installation.bundlePath + "\n/tmp/Vennix.kext\n";
    EXPECT_EQ(readFile(dir + "/argv"), argv) << "exactly its arguments";
}

TEST_F(VennixInstallationTest, AFailedOrImpossibleInstallationIsLoggedAndNotRetried) {
    installation.statusCommand = prints("");
    pkexecExits(126); // the password dialog dismissed
    EXPECT_EQ(check(), (Lines{kNotRunning, kNotInstalled}));
    EXPECT_EQ(pkexecRuns(), 1u);
    installation.bundlePath.clear(); // nothing to install: no password asked
    EXPECT_EQ(check(), (Lines{kNotRunning, kNotInstalled}));
    installation.bundlePath = "b";
    installation.scriptPath.clear();
    EXPECT_EQ(check(), (Lines{kNotRunning, kNotInstalled}));
    EXPECT_EQ(pkexecRuns(), 1u);
    installation.scriptPath = "s";
    writeFile(installation.packagedUnitPath, "[Unit]\n");   // the package's service: never asks
    installation.pkexecPath = dir + "/pkexec";
    EXPECT_EQ(check(), (Lines{kNotRunning, VennixInstallation::kPackagedMessage}));
    EXPECT_EQ(pkexecRuns(), 1u);
    ::unlink(installation.packagedUnitPath.c_str());
    installation.pkexecPath = dir + "/no-pkexec-here";
    EXPECT_EQ(check(), (Lines{kNotRunning, kNotInstalled}));
    installation.log = nullptr; // by default each message is one line on standard error
    ::testing::internal::CaptureStderr();
    installation.loadVennix();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), kNotRunning + "\n" + kNotInstalled + "\n");
}

TEST_F(VennixInstallationTest, AVennixdAnsweringOnTheSocketRunsWhereNoSystemdDoesAndTheSimulatedOneAlways) {
    vennix::testing::VennixdChild daemon;
    ASSERT_TRUE(daemon.running()) << daemon.problem();
    installation.statusCommand = {"/bin/sh", "-c", "touch \"$0\"", dir + "/status-ran"};
    installation.socketPath = daemon.socketPath();
    EXPECT_EQ(check(), Lines{kRunning});
    EXPECT_NE(::access((dir + "/status-ran").c_str(), F_OK), 0);
    daemon.stop();
    installation.simulated = true;
    EXPECT_EQ(check(), Lines{kRunning});
    EXPECT_NE(::access((dir + "/status-ran").c_str(), F_OK), 0);
    installation.simulated = false;
    EXPECT_EQ(check(), (Lines{kNotRunning, kInstalled})) << "nobody answers any more";
    EXPECT_EQ(pkexecRuns(), 1u);
}

TEST(VennixInstallationStandard, AsksSystemdForTheUnitAndFindsTheResourcesTheBuildPutsNextToTheMonitor) {
    const VennixInstallation standard = VennixInstallation::standard(false);
    EXPECT_TRUE(!standard.simulated && VennixInstallation::standard(true).simulated);
    EXPECT_EQ(standard.statusCommand.back(), "org.qarn.vennix.service");
    const std::string directory = VennixInstallation::executableDirectory(); // this test program's
    EXPECT_EQ(::access((directory + "/shell_tests").c_str(), X_OK), 0) << directory;
    EXPECT_EQ(standard.scriptPath, directory + "/command");
    EXPECT_EQ(standard.bundlePath, directory + "/Vennix.bundle");
    const std::string resources = QARN_RESOURCES_DIR; // where the build puts them
    EXPECT_EQ(::access((resources + "/command").c_str(), X_OK), 0);
    EXPECT_EQ(readFile(resources + "/Vennix.bundle/vennixd"), readFile(VENNIXD_PATH));
}

} // namespace
} // namespace qarn
