// The installer script, run as root as pkexec runs it, into a temporary root with fake systemctl
// and modprobe that record their arguments. A started service is the real vennixd on the
// simulated processor, on a socket in the temporary directory.

#include "platform/Process.h"

#include "TestFiles.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qarn {
namespace {

using testing::exists;
using testing::readFile;
using testing::writeFile;
using testing::writeScript;

const std::string kUnit = "org.qarn.vennix.service";

struct Installed {
    int status = -1;
    std::string output; // standard output and standard error
};

mode_t modeOf(const std::string& path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

struct stat statOf(const std::string& path)
{
    struct stat status{};
    ::lstat(path.c_str(), &status);
    return status;
}

class VennixInstallerScriptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the installer runs as root";
        ASSERT_EQ(::mkdir(fBin.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(fBundle.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(fSystemd.c_str(), 0755), 0);
        writeScript(fBin + "/modprobe", "echo \"$*\" >> \"$d/modprobe.calls\"\n");
        // enable --now starts the service, as systemd would.
        writeScript(fBin + "/systemctl",
                    "echo \"$*\" >> \"$d/systemctl.calls\"\n"
                    "if [ \"$1\" = enable ]; then\n"
                    "  setsid \"$QARN_TEST_VENNIXD\" --simulate --socket \"$VENNIX_SOCKET\" >> \"$d/vennixd.log\" 2>&1 < /dev/null &\n"
                    "  echo $! >> \"$d/vennixd.pids\"\n"
                    "fi\n");
        // The bundle's vennixd leaves a marker with its pid, then is the real one.
        writeScript(fBundle + "/vennixd",
                    "echo $$ > \"$QARN_TEST_MARKER\"\n"
                    "exec \"$QARN_TEST_VENNIXD\" --simulate --socket \"$VENNIX_SOCKET\"\n");
        writeFile(fBundle + "/" + kUnit, readFile(VENNIX_UNIT_PATH));

        if (const passwd* nobody = ::getpwnam("nobody")) {
            fNamedUid = std::to_string(nobody->pw_uid);
            fNamedUser = nobody->pw_name;
        }
    }

    void TearDown() override
    {
        // The daemons the runs started, by their pids.
        std::vector<pid_t> pids;
        if (const pid_t marked = testing::pidIn(fMarker); marked > 0)
            pids.push_back(marked);
        std::istringstream started(readFile(fBin + "/vennixd.pids"));
        for (pid_t pid; started >> pid;)
            pids.push_back(pid);
        for (const pid_t pid : pids) {
            if (pid > 0 && testing::isAlive(pid))
                ::kill(pid, SIGTERM);
        }
        for (const pid_t pid : pids)
            EXPECT_TRUE(pid <= 0 || testing::endsSoon(pid)) << "vennixd " << pid << " did not stop";
    }

    // Runs the script on the bundle and staging path, as user uid (empty: PKEXEC_UID unset).
    Installed install(const std::string& uid, std::vector<std::string> arguments = {})
    {
        if (arguments.empty())
            arguments = {fBundle, fStaging};
        std::vector<std::string> argv{
            "/usr/bin/env",
            "-u", "PKEXEC_UID",
            "VENNIX_INSTALL_ROOT=" + fRoot,
            "VENNIX_SYSTEMCTL=" + fBin + "/systemctl",
            "VENNIX_MODPROBE=" + fBin + "/modprobe",
            "VENNIX_SYSTEMD_DIR=" + fSystemd,
            "VENNIX_SOCKET=" + fSocket,
            "VENNIX_START_WAIT=" + fStartWait,
            std::string("QARN_TEST_VENNIXD=") + VENNIXD_PATH,
            "QARN_TEST_MARKER=" + fMarker,
        };
        if (!uid.empty())
            argv.push_back("PKEXEC_UID=" + uid);
        // Standard error into the captured output.
        argv.insert(argv.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", VENNIX_INSTALLER_PATH});
        argv.insert(argv.end(), arguments.begin(), arguments.end());

        Process::Options options;
        options.captureOutput = true;
        options.timeout = std::chrono::seconds(120);
        const Process::Result result = Process::run(argv, options);
        EXPECT_NE(result.ending, Process::Ending::TimedOut) << result.output;
        return {result.ending == Process::Ending::Exited ? result.exitStatus : -1, result.output};
    }

    // The run's own staging directories (the staging name + '.' + eight characters) still there.
    std::vector<std::string> stagingDirectoriesLeft() const
    {
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(std::string(fTemporary / "")))
            if (entry.path().filename().string().rfind("Vennix.kext.", 0) == 0)
                left.push_back(entry.path());
        return left;
    }

    bool installedNothing() const
    {
        return !exists(fRoot + "/usr/local/sbin/vennixd") && !exists(fRoot + "/etc/systemd/system/" + kUnit) &&
               !exists(fBin + "/systemctl.calls");
    }

    testing::TemporaryDirectory fTemporary;
    std::string fRoot = fTemporary / "root";
    std::string fBin = fTemporary / "bin";
    std::string fBundle = fTemporary / "the bundle's \"dir\" $x";
    std::string fStaging = fTemporary / "Vennix.kext";
    std::string fSystemd = fTemporary / "systemd";
    std::string fSocket = fTemporary / "vennix.sock";
    std::string fMarker = fTemporary / "vennixd.marker";
    std::string fStartWait = "60";
    std::string fNamedUid;
    std::string fNamedUser;
};

TEST_F(VennixInstallerScriptTest, WithSystemdInstallsTheFilesAddsTheUserAndStartsTheUnit)
{
    ASSERT_FALSE(fNamedUid.empty()) << "no user 'nobody' here";
    const Installed run = install(fNamedUid);
    ASSERT_EQ(run.status, 0) << run.output;

    const std::string program = fRoot + "/usr/local/sbin/vennixd";
    EXPECT_TRUE(S_ISREG(modeOf(program)));
    EXPECT_EQ(modeOf(program) & 07777, 0755u);
    EXPECT_EQ(statOf(program).st_uid, 0u);
    EXPECT_EQ(readFile(program), readFile(fBundle + "/vennixd"));

    const std::string unit = fRoot + "/etc/systemd/system/" + kUnit;
    EXPECT_EQ(modeOf(unit) & 07777, 0644u);
    EXPECT_EQ(readFile(unit), readFile(VENNIX_UNIT_PATH));

    EXPECT_TRUE(S_ISDIR(modeOf(fRoot + "/etc/vennix")));
    EXPECT_EQ(modeOf(fRoot + "/etc/vennix") & 07777, 0755u);
    EXPECT_EQ(modeOf(fRoot + "/etc/vennix/users") & 07777, 0644u);
    EXPECT_EQ(readFile(fRoot + "/etc/vennix/users"), fNamedUser + "\n");

    EXPECT_EQ(readFile(fBin + "/modprobe.calls"), "msr\n");
    EXPECT_EQ(readFile(fBin + "/systemctl.calls"), "daemon-reload\nenable --now " + kUnit + "\n");
    EXPECT_TRUE(S_ISSOCK(modeOf(fSocket))) << "the script ended before the service listened";
    EXPECT_FALSE(exists(fStaging));
    EXPECT_FALSE(exists(fMarker)) << "vennixd was started directly although systemd runs";

    // Every line it wrote carries its prefix.
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.rfind("vennix-install: ", 0), 0u) << line;
}

TEST_F(VennixInstallerScriptTest, ListsTheUserOnceHoweverOftenItRuns)
{
    ASSERT_FALSE(fNamedUid.empty()) << "no user 'nobody' here";
    const std::string users = fRoot + "/etc/vennix/users";
    ASSERT_EQ(install(fNamedUid).status, 0);
    ASSERT_EQ(install(fNamedUid).status, 0);
    EXPECT_EQ(readFile(users), fNamedUser + "\n");

    // Listed by number, with a comment: not added again.
    writeFile(users, "  " + fNamedUid + "  # by number\n");
    ASSERT_EQ(install(fNamedUid).status, 0);
    EXPECT_EQ(readFile(users), "  " + fNamedUid + "  # by number\n");

    // A last line without its line feed stays a line of its own.
    writeFile(users, "# who may connect\nalice");
    ASSERT_EQ(install(fNamedUid).status, 0);
    EXPECT_EQ(readFile(users), "# who may connect\nalice\n" + fNamedUser + "\n");
    // A commented-out name does not count as listed.
    writeFile(users, "# " + fNamedUser + "\n");
    ASSERT_EQ(install(fNamedUid).status, 0);
    EXPECT_EQ(readFile(users), "# " + fNamedUser + "\n" + fNamedUser + "\n");
}

TEST_F(VennixInstallerScriptTest, UserWithoutANameIsListedByUid)
{
    uid_t unnamed = 54321;
    while (::getpwuid(unnamed) != nullptr)
        ++unnamed;
    ASSERT_EQ(install(std::to_string(unnamed)).status, 0);
    ASSERT_EQ(install(std::to_string(unnamed)).status, 0);
    EXPECT_EQ(readFile(fRoot + "/etc/vennix/users"), std::to_string(unnamed) + "\n");

    // Root and a run without PKEXEC_UID add nobody.
    ASSERT_EQ(install("0").status, 0);
    ASSERT_EQ(install("").status, 0);
    EXPECT_EQ(readFile(fRoot + "/etc/vennix/users"), std::to_string(unnamed) + "\n");

    const Installed bad = install("12x");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("PKEXEC_UID"), std::string::npos) << bad.output;
}

TEST_F(VennixInstallerScriptTest, WithoutSystemdStartsVennixdDirectly)
{
    ASSERT_EQ(::rmdir(fSystemd.c_str()), 0);
    const Installed run = install(fNamedUid);
    ASSERT_EQ(run.status, 0) << run.output;

    const pid_t started = testing::pidIn(fMarker);
    ASSERT_GT(started, 0) << run.output;
    EXPECT_TRUE(testing::isAlive(started)) << "vennixd ended with the installer";
    EXPECT_TRUE(S_ISSOCK(modeOf(fSocket)));
    EXPECT_FALSE(exists(fBin + "/systemctl.calls"));
    EXPECT_EQ(readFile(fBin + "/modprobe.calls"), "msr\nacpi_call\n");
    EXPECT_TRUE(exists(fRoot + "/var/log/vennixd.log"));
    EXPECT_NE(run.output.find("systemd is not running"), std::string::npos) << run.output;
    EXPECT_FALSE(exists(fStaging));
}

TEST_F(VennixInstallerScriptTest, WithoutSystemdAServiceThatEndsAtOnceFails)
{
    ASSERT_EQ(::rmdir(fSystemd.c_str()), 0);
    writeScript(fBundle + "/vennixd", "echo $$ > \"$QARN_TEST_MARKER\"\necho 'no msr here' >&2\nexit 1\n");
    const Installed run = install(fNamedUid);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("ended at once"), std::string::npos) << run.output;
    EXPECT_NE(readFile(fRoot + "/var/log/vennixd.log").find("no msr here"), std::string::npos);
}

TEST_F(VennixInstallerScriptTest, WhateverIsPlantedAtTheStagingNameIsLeftAloneAndBlocksNothing)
{
    // Anyone may create /tmp/Vennix.kext first: a link to a directory of root's, a directory
    // of another user, a directory of root's with files in it. The run stages in a directory
    // of its own and never follows, uses or removes what it did not create.
    const std::string target = fTemporary / "elsewhere";
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    writeFile(target + "/keep", "mine");
    const std::vector<std::function<void()>> plants = {
        [&] { ASSERT_EQ(::symlink(target.c_str(), fStaging.c_str()), 0); },
        [&] {
            ASSERT_EQ(::mkdir(fStaging.c_str(), 0777), 0);
            writeFile(fStaging + "/planted", "theirs");
            ASSERT_EQ(::chown(fStaging.c_str(), 65534, 65534), 0);
        },
        [&] {
            ASSERT_EQ(::mkdir(fStaging.c_str(), 0700), 0);
            writeFile(fStaging + "/planted", "root's own");
        },
    };
    for (size_t i = 0; i < plants.size(); ++i) {
        std::filesystem::remove_all(fStaging);
        plants[i]();
        const struct stat before = statOf(fStaging);
        const Installed run = install(fNamedUid);
        ASSERT_EQ(run.status, 0) << "plant " << i << ": " << run.output;
        EXPECT_EQ(readFile(fRoot + "/usr/local/sbin/vennixd"), readFile(fBundle + "/vennixd")) << i;
        const struct stat after = statOf(fStaging);
        EXPECT_EQ(after.st_ino, before.st_ino) << "plant " << i << " was replaced";
        EXPECT_EQ(after.st_uid, before.st_uid) << i;
        EXPECT_EQ(readFile(target + "/keep"), "mine");
        EXPECT_FALSE(exists(target + "/vennixd"));
        EXPECT_TRUE(stagingDirectoriesLeft().empty()) << "plant " << i;
    }
    EXPECT_EQ(readFile(fStaging + "/planted"), "root's own");
}

TEST_F(VennixInstallerScriptTest, InstallsNoLinkFromTheBundle)
{
    const std::string secret = fTemporary / "secret";
    writeFile(secret, "root's secret", 0600);
    ASSERT_EQ(::unlink((fBundle + "/vennixd").c_str()), 0);
    ASSERT_EQ(::symlink(secret.c_str(), (fBundle + "/vennixd").c_str()), 0);

    const Installed run = install(fNamedUid);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("not a link"), std::string::npos) << run.output;
    EXPECT_TRUE(installedNothing());
    EXPECT_TRUE(stagingDirectoriesLeft().empty());
    EXPECT_EQ(modeOf(secret) & 07777, 0600u);
}

TEST_F(VennixInstallerScriptTest, FailuresOfTheSystemEndItNonZero)
{
    EXPECT_NE(install(fNamedUid, {fBundle}).status, 0);
    EXPECT_NE(install(fNamedUid, {fTemporary / "no bundle", fStaging}).status, 0);
    EXPECT_NE(install(fNamedUid, {fBundle, "relative/Vennix.kext"}).status, 0);

    writeScript(fBin + "/modprobe", "exit 1\n");
    EXPECT_NE(install(fNamedUid).status, 0);
    EXPECT_FALSE(exists(fBin + "/systemctl.calls"));
    EXPECT_TRUE(stagingDirectoriesLeft().empty());

    writeScript(fBin + "/modprobe", "exit 0\n");
    writeScript(fBin + "/systemctl", "echo \"$*\" >> \"$d/systemctl.calls\"\n[ \"$1\" != enable ]\n");
    const Installed refused = install(fNamedUid);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("cannot start"), std::string::npos) << refused.output;

    // The unit starts but never listens.
    writeScript(fBin + "/systemctl", "exit 0\n");
    fStartWait = "1";
    const Installed silent = install(fNamedUid);
    EXPECT_NE(silent.status, 0);
    EXPECT_NE(silent.output.find("did not open"), std::string::npos) << silent.output;
}

} // namespace
} // namespace qarn
