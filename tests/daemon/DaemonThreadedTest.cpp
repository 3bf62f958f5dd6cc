// The real vennixd --simulate on a temporary socket, driven through the real socket: the
// protocol's sequences, bad packets, clients that vanish, the connection limit, other users'
// rights, signals, a second daemon and a machine without the msr module.

#include <gtest/gtest.h>

#include "tests/daemon/TestCalls.h"
#include "tests/daemon/TestSocket.h"
#include "tests/support/VennixdProcess.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <functional>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace vennix {
namespace {

using namespace protocol;
using testing::TestSocket;
using testing::VennixdProcess;
using testing::Captured;
using testing::spawnProgram;

constexpr uid_t kReader = 4242;
constexpr uid_t kStranger = 4343;

bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

struct Finished {
    int status = -1;
    std::string output; // standard output and error together
};

// Runs a program to its end with its output in a file.
Finished run(const std::vector<std::string>& arguments, const std::string& outputPath)
{
    Finished finished;
    int failure = 0;
    const pid_t pid = spawnProgram(arguments, outputPath, Captured::OutputAndError, &failure);
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << arguments[0] << ": " << std::strerror(failure);
        return finished;
    }
    waitpid(pid, &finished.status, 0);
    finished.output = readFile(outputPath);
    return finished;
}

bool exitedWith(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class Daemon : public ::testing::Test {
protected:
    ~Daemon() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    }

    // The daemon's socket, matched and opened on service by root.
    std::unique_ptr<TestSocket> openClient(VennixdProcess& daemon, const char* service = "Vennix")
    {
        auto client = std::make_unique<TestSocket>(daemon.socketPath());
        EXPECT_EQ(client->match(service), true);
        EXPECT_EQ(client->open(), kIOReturnSuccess);
        return client;
    }

    // As openClient, once the daemon has room for one more connection (the start-up probe
    // and clients that have just gone may still hold theirs).
    std::unique_ptr<TestSocket> servedClient(VennixdProcess& daemon)
    {
        std::unique_ptr<TestSocket> client;
        EXPECT_TRUE(eventually([&] {
            client = std::make_unique<TestSocket>(daemon.socketPath());
            return client->match("Vennix") == true;
        }));
        EXPECT_EQ(client->open(), kIOReturnSuccess);
        return client;
    }

    // The test client's lines, run as uid with gid (and no other groups).
    std::vector<std::string> runAs(uid_t uid, const VennixdProcess& daemon,
                                   const std::vector<std::string>& steps)
    {
        // The client must reach the socket through the daemon's private directory.
        chmod(daemon.directory().c_str(), 0755);
        std::vector<std::string> arguments{VENNIX_TEST_CLIENT_PATH, std::to_string(uid),
                                           std::to_string(uid), daemon.socketPath()};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        const Finished finished = run(arguments, scratch + "/client.out");
        EXPECT_TRUE(exitedWith(finished.status, 0)) << finished.output;
        std::vector<std::string> lines;
        std::istringstream text(finished.output);
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    // The test client as uid, in the background; finish() collects its lines.
    pid_t startAs(uid_t uid, const VennixdProcess& daemon, const std::vector<std::string>& steps,
                  const std::string& outputPath)
    {
        chmod(daemon.directory().c_str(), 0755);
        std::vector<std::string> arguments{VENNIX_TEST_CLIENT_PATH, std::to_string(uid), std::to_string(uid),
                                           daemon.socketPath()};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        int failure = 0;
        const pid_t pid = spawnProgram(arguments, outputPath, Captured::OutputAndError, &failure);
        EXPECT_GT(pid, 0) << std::strerror(failure);
        return pid;
    }
    static std::vector<std::string> finish(pid_t pid, const std::string& outputPath)
    {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(exitedWith(status, 0)) << readFile(outputPath);
        std::vector<std::string> lines;
        std::istringstream text(readFile(outputPath));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    static std::string temporaryDirectory()
    {
        char pattern[] = "/tmp/vennixd-scratch-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made)
            chmod(made, 0755);
        return made ? made : "/nonexistent";
    }

    std::string scratch = temporaryDirectory();
    std::string usersFile = scratch + "/users";
};

TEST_F(Daemon, MatchOpenAndCallEachService)
{
    VennixdProcess daemon;
    ASSERT_TRUE(daemon.running());
    auto vennix = openClient(daemon);
    const auto info = vennix->call(testing::getInfoCall());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->result, kIOReturnSuccess);
    ASSERT_EQ(info->structureOutput.size(), 464u);
    EXPECT_STREQ(reinterpret_cast<const char*>(info->structureOutput.data()), "GenuineIntel");

    // APERF on all eight simulated CPUs: eight rows.
    const auto batch = vennix->call(testing::readMSRCall(0xE8, 8));
    ASSERT_TRUE(batch);
    EXPECT_EQ(batch->result, kIOReturnSuccess);
    ASSERT_EQ(batch->structureOutput.size(), MSRBatchResult::size(1, 8));
    EXPECT_EQ(readU32(batch->structureOutput.data(), 4), 8u);

    auto acpi = openClient(daemon, "ACPIAccessor");
    const auto name = acpi->call(testing::acpiCall(kAccessorMethodGetValueOnDevice, "NAME"));
    ASSERT_TRUE(name);
    EXPECT_EQ(name->result, kIOReturnSuccess);
    ASSERT_GE(name->structureOutput.size(), 4u + sizeof "Simulated EC");
    EXPECT_EQ(readU32(name->structureOutput.data(), 0), 2u); // a string
    EXPECT_STREQ(reinterpret_cast<const char*>(name->structureOutput.data() + 4), "Simulated EC");

    TestSocket unknown(daemon.socketPath());
    EXPECT_EQ(unknown.match("NoSuchService"), false);
    EXPECT_EQ(unknown.open(), kIOReturnNotAttached);
}

TEST_F(Daemon, BadPacketsAreAnsweredWithoutHarm)
{
    VennixdProcess daemon;
    ASSERT_TRUE(daemon.running());
    TestSocket client(daemon.socketPath());
    ASSERT_TRUE(client.connected());

    // A call before open.
    const auto early = client.call(testing::getInfoCall());
    ASSERT_TRUE(early);
    EXPECT_EQ(early->result, kIOReturnNotAttached);

    EXPECT_EQ(client.match("Vennix"), true);
    EXPECT_EQ(client.open(), kIOReturnSuccess);

    // Lengths that do not add up, a short packet, an unknown type, an empty packet.
    Packet call = encodeCall(testing::getInfoCall());
    call.pop_back();
    EXPECT_EQ(client.exchange(call), encodeCallReply(kIOReturnBadArgument, nullptr, 0, nullptr, 0));
    EXPECT_EQ(client.exchange(Packet{3, 0, 0}), encodeErrorReply(kIOReturnBadArgument));
    EXPECT_EQ(client.exchange(Packet{0xFF, 0xFF, 0xFF, 0xFF}), encodeErrorReply(kIOReturnBadArgument));
    EXPECT_EQ(client.exchange(Packet{}), encodeErrorReply(kIOReturnBadArgument));
    // More scalars than the protocol allows.
    CallRequest scalars = testing::writeMSRCall(testing::kTurboRatioLimitMSR, 0);
    scalars.scalarInput.resize(kMaxScalarCount + 2);
    EXPECT_EQ(client.call(scalars)->result, kIOReturnBadArgument);
    // A packet longer than any the daemon takes.
    Packet huge = encodeCall(testing::getInfoCall(kMaxPacketSize));
    EXPECT_EQ(client.exchange(huge), encodeCallReply(kIOReturnBadArgument, nullptr, 0, nullptr, 0));

    // The connection and the daemon go on.
    const auto info = client.call(testing::getInfoCall());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->result, kIOReturnSuccess);
    TestSocket other(daemon.socketPath());
    EXPECT_EQ(other.match("Vennix"), true);
}

TEST_F(Daemon, ClientThatVanishesMidCallFreesItsConnection)
{
    VennixdProcess daemon({"--simulate", "--max-connections", "1"});
    ASSERT_TRUE(daemon.running());
    // With room for one connection, each is served only once the one before has ended.
    for (int i = 0; i < 3; ++i) {
        auto client = servedClient(daemon);
        ASSERT_TRUE(client->sendPacket(encodeCall(testing::readMSRCall(0x10, 8))));
    }
    auto client = servedClient(daemon);
    EXPECT_EQ(client->call(testing::getInfoCall())->result, kIOReturnSuccess);
    client.reset();
    EXPECT_TRUE(exitedWith(daemon.stop(), 0)) << daemon.log();
}

TEST_F(Daemon, ConnectionsBeyondTheLimitAreClosed)
{
    VennixdProcess daemon({"--simulate", "--max-connections", "2"});
    ASSERT_TRUE(daemon.running());
    auto first = servedClient(daemon);
    auto second = servedClient(daemon);
    TestSocket third(daemon.socketPath());
    EXPECT_EQ(third.match("Vennix"), std::nullopt);
    EXPECT_EQ(second->call(testing::getInfoCall())->result, kIOReturnSuccess);

    first.reset();
    EXPECT_TRUE(eventually([&] {
        TestSocket next(daemon.socketPath());
        return next.match("Vennix") == true;
    }));
}

TEST_F(Daemon, OtherUsersReadWhenListedAndNeverWrite)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run clients as other users";
    std::ofstream(usersFile) << "# readers\n" << kReader << "\n";
    VennixdProcess daemon({"--simulate", "--users-file", usersFile});
    ASSERT_TRUE(daemon.running());
    auto root = openClient(daemon);
    const uint64_t before = testing::msrValue(*root->call(testing::readMSRCall(testing::kTurboRatioLimitMSR)));

    EXPECT_EQ(runAs(kReader, daemon,
                    {"match:Vennix", "open", "getinfo", "write:0x1AD:0x26272829", "open"}),
              (std::vector<std::string>{"match 1", "open 0x00000000", "getinfo 0x00000000 464",
                                        "write 0xe00002c1", "open 0xe00002c2"}));
    EXPECT_EQ(runAs(kReader, daemon, {"match:ACPIAccessor", "open", "setv:7"}),
              (std::vector<std::string>{"match 1", "open 0x00000000", "setv 0xe00002c1 "}));
    // The refused write changed nothing.
    EXPECT_EQ(testing::msrValue(*root->call(testing::readMSRCall(testing::kTurboRatioLimitMSR))), before);

    // Told once, then the connection ends: a stranger holds no place.
    EXPECT_EQ(runAs(kStranger, daemon, {"match:Vennix", "open", "getinfo"}),
              (std::vector<std::string>{"match 1", "open 0xe00002e2", "getinfo none"}));

    // The file is read again when it changes: listed now, the next connection opens.
    std::ofstream(usersFile, std::ios::app) << kStranger << "\n";
    EXPECT_EQ(runAs(kStranger, daemon, {"match:Vennix", "open"}),
              (std::vector<std::string>{"match 1", "open 0x00000000"}));

    // Users named by name.
    if (const passwd* nobody = getpwnam("nobody")) {
        EXPECT_EQ(runAs(nobody->pw_uid, daemon, {"match:Vennix", "open"}),
                  (std::vector<std::string>{"match 1", "open 0xe00002e2"}));
        std::ofstream(usersFile, std::ios::app) << "  nobody  # by name\n";
        EXPECT_EQ(runAs(nobody->pw_uid, daemon, {"match:Vennix", "open"}),
                  (std::vector<std::string>{"match 1", "open 0x00000000"}));
    }
}

TEST_F(Daemon, AllowWritesLetsListedUsersWrite)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run clients as other users";
    std::ofstream(usersFile) << kReader << "\n";
    VennixdProcess daemon({"--simulate", "--users-file", usersFile, "--allow-writes"});
    ASSERT_TRUE(daemon.running());
    EXPECT_EQ(runAs(kReader, daemon, {"match:Vennix", "open", "write:0x1AD:0x26272829", "read:0x1AD"}),
              (std::vector<std::string>{"match 1", "open 0x00000000", "write 0x00000000",
                                        "read 0x00000000 0x26272829"}));
    // SETV answers its argument, a number: tag 3, then 7.
    EXPECT_EQ(runAs(kReader, daemon, {"match:ACPIAccessor", "open", "setv:7"}),
              (std::vector<std::string>{"match 1", "open 0x00000000",
                                        "setv 0x00000000 030000000700000000000000"}));
    // Unlisted users still may not open.
    EXPECT_EQ(runAs(kStranger, daemon, {"match:Vennix", "open"}),
              (std::vector<std::string>{"match 1", "open 0xe00002e2"}));
}

TEST_F(Daemon, OneUserCannotTakeEveryPlace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run clients as other users";
    // Eight places: two for each user but root.
    std::ofstream(usersFile) << kReader << "\n";
    VennixdProcess daemon({"--simulate", "--max-connections", "8", "--users-file", usersFile});
    ASSERT_TRUE(daemon.running());
    EXPECT_EQ(runAs(kReader, daemon, {"match:Vennix", "another:Vennix", "another:Vennix"}),
              (std::vector<std::string>{"match 1", "another 1", "another none"}));
    // Root still gets in while others hold their share.
    auto root = servedClient(daemon);
    EXPECT_EQ(root->call(testing::getInfoCall())->result, kIOReturnSuccess);
}

TEST_F(Daemon, ARemovedUsersSessionEnds)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run clients as other users";
    std::ofstream(usersFile) << kReader << "\n";
    VennixdProcess daemon({"--simulate", "--users-file", usersFile});
    ASSERT_TRUE(daemon.running());
    const pid_t reader = startAs(kReader, daemon, {"match:Vennix", "open", "getinfo", "wait:2000", "getinfo"},
                                 scratch + "/reader.out");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::ofstream(usersFile) << "# nobody any more\n";
    EXPECT_EQ(finish(reader, scratch + "/reader.out"),
              (std::vector<std::string>{"match 1", "open 0x00000000", "getinfo 0x00000000 464", "getinfo none"}));
    EXPECT_NE(daemon.log().find("uid 4242 is no longer allowed"), std::string::npos) << daemon.log();
}

// Threads and open files of a running process.
std::pair<int, int> threadsAndFiles(pid_t pid)
{
    int threads = 0;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            threads = std::stoi(line.substr(8));
    int files = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++files;
    return {threads, files};
}

TEST_F(Daemon, HostileUsersLockNobodyOut)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run clients as other users";
    std::ofstream(usersFile) << kReader << "\n";
    VennixdProcess daemon({"--simulate", "--users-file", usersFile});
    ASSERT_TRUE(daemon.running());
    // The start-up probe's connection has gone by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto idle = threadsAndFiles(daemon.pid());

    // Four users who may not open, each as many connections as it gets, for four seconds: one
    // holds them, two send and never read their replies, one reconnects as fast as it can.
    std::vector<pid_t> floods;
    const char* modes[] = {"hold", "noread", "noread", "reconnect"};
    for (int i = 0; i < 4; ++i)
        floods.push_back(startAs(5001 + i, daemon, {std::string("flood:") + modes[i] + ":4"},
                                 scratch + "/flood" + std::to_string(i) + ".out"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Meanwhile root and a reader are served within a second, every time (the rounds are few:
    // on two cores the flooding processes take most of the time the probes would run in).
    const pid_t root = startAs(0, daemon, {"probe:3"}, scratch + "/root.out");
    const pid_t reader = startAs(kReader, daemon, {"probe:3"}, scratch + "/reader.out");
    for (const auto& [who, pid] : {std::pair{"root", root}, std::pair{"reader", reader}}) {
        const std::vector<std::string> lines = finish(pid, scratch + "/" + who + ".out");
        ASSERT_EQ(lines.size(), 1u) << who;
        unsigned rounds = 0, failures = 0, worst = 0;
        ASSERT_EQ(std::sscanf(lines[0].c_str(), "probe %u %u %u", &rounds, &failures, &worst), 3) << lines[0];
        EXPECT_GE(rounds, 5u) << who;
        EXPECT_EQ(failures, 0u) << who << ": " << lines[0];
        EXPECT_LT(worst, 1000u) << who << " waited " << worst << " ms";
    }
    for (int i = 0; i < 4; ++i) {
        const auto lines = finish(floods[i], scratch + "/flood" + std::to_string(i) + ".out");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("flood ", 0), 0u) << lines[0];
    }
    // Once they are gone, the daemon holds what it held before.
    const auto backAt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (threadsAndFiles(daemon.pid()) != idle && std::chrono::steady_clock::now() < backAt)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(threadsAndFiles(daemon.pid()), idle)
        << "threads and files: " << threadsAndFiles(daemon.pid()).first << ", "
        << threadsAndFiles(daemon.pid()).second;
    // Tens of thousands of refusals, a line or two per uid.
    const std::string log = daemon.log();
    EXPECT_NE(log.find("uid 5004 may not open a connection"), std::string::npos) << log;
    size_t lines = 0;
    for (size_t at = log.find("uid 5004 "); at != std::string::npos; at = log.find("uid 5004 ", at + 1))
        ++lines;
    EXPECT_LE(lines, 2u) << log;
}

TEST_F(Daemon, TermSignalStopsCleanly)
{
    VennixdProcess daemon;
    ASSERT_TRUE(daemon.running());
    auto client = openClient(daemon);
    EXPECT_EQ(client->call(testing::getInfoCall())->result, kIOReturnSuccess);

    EXPECT_TRUE(exitedWith(daemon.stop(SIGTERM), 0)) << daemon.log();
    EXPECT_EQ(client->receive(), std::nullopt); // the open connection was closed
    EXPECT_FALSE(std::filesystem::exists(daemon.socketPath()));

    const std::string log = daemon.log();
    const size_t serving = log.find("vennixd/ serving simulated");
    ASSERT_NE(serving, std::string::npos) << log;
    EXPECT_NE(log.find(daemon.socketPath(), serving), std::string::npos) << log;
    EXPECT_NE(log.find("only root may write", serving), std::string::npos) << log;
    const size_t pci = log.find("PCIAccessor/ free\n", serving);
    const size_t ec = log.find("H_ECAccessor/ free\n", serving);
    const size_t acpi = log.find("ACPIAccessor/ free\n", serving);
    const size_t vennix = log.find("Vennix/ free\n", serving);
    ASSERT_NE(vennix, std::string::npos) << log;
    EXPECT_LT(pci, ec);
    EXPECT_LT(ec, acpi);
    EXPECT_LT(acpi, vennix);
}

TEST_F(Daemon, InterruptStopsCleanly)
{
    VennixdProcess daemon({"--simulate", "--allow-writes"});
    ASSERT_TRUE(daemon.running());
    EXPECT_TRUE(exitedWith(daemon.stop(SIGINT), 0)) << daemon.log();
    EXPECT_NE(daemon.log().find("every allowed user may write"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(daemon.socketPath()));
}

TEST_F(Daemon, SecondDaemonOnALiveSocketGivesUp)
{
    VennixdProcess daemon;
    ASSERT_TRUE(daemon.running());
    const Finished second = run({VENNIXD_PATH, "--simulate", "--socket", daemon.socketPath()},
                                scratch + "/second.out");
    EXPECT_TRUE(exitedWith(second.status, 1)) << second.output;
    EXPECT_NE(second.output.find("another vennixd listens on " + daemon.socketPath()),
              std::string::npos)
        << second.output;
    // It started no services of its own and left the first daemon's socket alone.
    EXPECT_EQ(second.output.find("/ init"), std::string::npos) << second.output;
    auto client = openClient(daemon);
    EXPECT_EQ(client->call(testing::getInfoCall())->result, kIOReturnSuccess);
}

TEST_F(Daemon, StaleSocketOfAKilledDaemonIsReplaced)
{
    VennixdProcess killed;
    ASSERT_TRUE(killed.running());
    killed.stop(SIGKILL);
    ASSERT_TRUE(std::filesystem::exists(killed.socketPath()));

    // A new daemon on the same path, in the background.
    const std::string logPath = scratch + "/replacement.log";
    const pid_t pid = spawnProgram({VENNIXD_PATH, "--simulate", "--socket", killed.socketPath()},
                                   logPath, Captured::StandardError);
    ASSERT_GT(pid, 0);

    const bool served = eventually([&] {
        TestSocket client(killed.socketPath());
        return client.match("Vennix") == true;
    });
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(served) << readFile(logPath);
    EXPECT_TRUE(exitedWith(status, 0)) << readFile(logPath);
}

TEST_F(Daemon, WithoutTheMSRModuleItSaysWhatToDo)
{
    if (std::filesystem::exists("/dev/cpu/0/msr"))
        GTEST_SKIP() << "this machine has /dev/cpu/0/msr";
    const std::string socketPath = scratch + "/real.sock";
    const Finished finished = run({VENNIXD_PATH, "--socket", socketPath}, scratch + "/real.out");
    EXPECT_TRUE(WIFEXITED(finished.status) && WEXITSTATUS(finished.status) != 0) << finished.output;
    EXPECT_NE(finished.output.find("msr"), std::string::npos) << finished.output;
    EXPECT_NE(finished.output.find("--simulate"), std::string::npos) << finished.output;
    EXPECT_FALSE(std::filesystem::exists(socketPath));
}

TEST_F(Daemon, BadOptionsExitWithTwo)
{
    const std::string out = scratch + "/options.out";
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--bogus"}, {"--socket"}, {"--max-connections", "0"},
          {"--max-connections", "12x"}, {"--simulate=yes"}, {"stray"}}) {
        std::vector<std::string> argv{VENNIXD_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const Finished finished = run(argv, out);
        EXPECT_TRUE(exitedWith(finished.status, 2)) << arguments.front() << ": " << finished.output;
        EXPECT_NE(finished.output.find("usage: vennixd"), std::string::npos) << finished.output;
    }
    const Finished help = run({VENNIXD_PATH, "--help"}, out);
    EXPECT_TRUE(exitedWith(help.status, 0));
    EXPECT_NE(help.output.find("--max-connections N"), std::string::npos);
}

} // namespace
} // namespace vennix
