// The real vennixd --simulate on a socket of its own: where it listens, clients' mistakes, other
// users (child processes that become them), signals, bad options and a machine without msr.

#include <gtest/gtest.h>

#include "daemon/SocketServer.h"
#include "host/PlatformBackends.h"
#include "host/ServiceSet.h"
#include "tests/daemon/TestCalls.h"
#include "tests/daemon/TestSocket.h"
#include "tests/support/VennixdProcess.h"

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>

namespace vennix {
namespace {

using namespace protocol;
using namespace testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr uid_t kReader = 4242;

// What a client saw, as one word; "none" when nothing came back. Words joins them in order.
std::string said(const std::optional<bool>& found) { return found ? std::to_string(*found) : "none"; }
std::string said(const std::optional<IOReturn>& result)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(result.value_or(0)));
    return result ? text : "none";
}
std::string said(const std::optional<CallReply>& r) { return said(r ? std::optional(r->result) : std::nullopt); }
std::string words(std::initializer_list<std::string> words)
{
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// A child process and the pipe its words come through.
using Child = std::pair<pid_t, int>;

// Runs client in a child process that becomes uid (its gid too, no other groups).
Child startAs(uid_t uid, const std::function<std::string()>& client)
{
    int ends[2] = {-1, -1};
    const pid_t pid = pipe2(ends, O_CLOEXEC) == 0 ? fork() : -1;
    if (pid == 0) {
        const bool became = setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0;
        const std::string text = became && setresuid(uid, uid, uid) == 0 ? client() : "cannot become the user";
        _exit(::write(ends[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
    }
    ::close(ends[1]);
    return {pid, ends[0]};
}

std::string finish(const Child& child)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(child.second, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    ::close(child.second);
    waitpid(child.first, nullptr, 0);
    return text;
}

std::string runAs(uid_t uid, const std::function<std::string()>& client) { return finish(startAs(uid, client)); }

// For seconds, as many connections as the daemon lets this user have, each made again when
// closed: held ("hold"), sent matches whose replies are never read ("noread") or matched,
// opened and closed ("reconnect"). Answers how many were made.
std::string flood(const std::string& path, const std::string& mode, std::chrono::seconds seconds)
{
    const Packet match = encodeMatch("Vennix");
    std::vector<std::unique_ptr<TestSocket>> sockets;
    unsigned made = 0;
    for (const auto end = Clock::now() + seconds; Clock::now() < end; std::this_thread::sleep_for(5ms)) {
        for (; sockets.size() < 256; ++made)
            sockets.push_back(std::make_unique<TestSocket>(path));
        std::erase_if(sockets, [&](const std::unique_ptr<TestSocket>& socket) {
            pollfd state{socket->fd(), POLLRDHUP, 0};
            while (mode == "noread" && ::send(state.fd, match.data(), match.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
            }
            if (mode == "reconnect" && socket->match("Vennix"))
                socket->open();
            return mode == "reconnect" || ::poll(&state, 1, 0) > 0;
        });
    }
    return std::to_string(made);
}

// Every 20 ms for seconds, a fresh connection matched, opened and asked for the record:
// "<rounds> <failures> <longest round in ms>".
std::string probe(const std::string& path, std::chrono::seconds seconds)
{
    unsigned rounds = 0, failures = 0;
    Clock::duration worst{};
    for (const auto end = Clock::now() + seconds; Clock::now() < end; ++rounds, std::this_thread::sleep_for(20ms)) {
        const auto start = Clock::now();
        TestSocket socket(path);
        const auto seen = words({said(socket.match("Vennix")), said(socket.open()), said(socket.call(getInfoCall()))});
        failures += seen == "1 0x00000000 0x00000000" ? 0 : 1;
        worst = std::max(worst, Clock::now() - start);
    }
    return words({std::to_string(rounds), std::to_string(failures),
                  std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(worst).count())});
}

class Daemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root, to run clients as other users";
        std::ofstream(usersFile) << kReader << "\n";
    }
    static std::unique_ptr<TestSocket> opened(const VennixdProcess& daemon)
    {
        auto client = std::make_unique<TestSocket>(daemon.socketPath());
        EXPECT_EQ(words({said(client->match("Vennix")), said(client->open())}), "1 0x00000000");
        return client;
    }

    TemporaryDirectory scratch;
    std::string usersFile = scratch / "users";
};

TEST_F(Daemon, ListensWhereEveryoneCanReachAndRefusesPathsItMayNotTake)
{
    const std::string path = scratch / "run/vennix/vennix.sock"; // in directories not there yet
    VennixdProcess({"--simulate", "--socket", path}).stop(SIGKILL); // the later --socket counts
    VennixdProcess daemon({"--simulate", "--socket", path});        // in place of the stale socket
    struct stat status{};
    EXPECT_TRUE(stat((scratch / "run/vennix").c_str(), &status) == 0 && status.st_mode == (S_IFDIR | 0755));
    EXPECT_TRUE(stat(path.c_str(), &status) == 0 && status.st_mode == (S_IFSOCK | 0666));
    std::ofstream(scratch / "file") << "keep me";
    const std::string tooLong = scratch / std::string(100, 'x');
    const struct { std::string path, error; } cases[] = {
        {path, "another vennixd listens on " + path}, // and gives up before it starts anything
        {scratch / "file", scratch / "file exists and is not a socket"},
        {tooLong, "socket path is empty or longer than 107 bytes: " + tooLong},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(exitedWith(runToEnd({VENNIXD_PATH, "--simulate", "--socket", c.path}, scratch / "out"), 1));
        EXPECT_EQ(readFile(scratch / "out"), "vennixd: " + c.error + "\n");
    }
    EXPECT_EQ(readFile(scratch / "file"), "keep me");
    EXPECT_EQ(TestSocket(path).match("Vennix"), true) << "the first daemon's socket was left alone";
    EXPECT_TRUE(exitedWith(daemon.stop(), 0));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Daemon, AClientsMistakesCostOnlyItsOwnConnection)
{
    VennixdProcess daemon({"--simulate", "--max-connections", "2"});
    auto first = opened(daemon);
    // Empty and oversized packets are answered, and the connection goes on.
    ASSERT_TRUE(first->sendPacket(nullptr, 0));
    EXPECT_EQ(first->receive(), encodeErrorReply(kIOReturnBadArgument));
    EXPECT_EQ(first->exchange(encodeCall(getInfoCall(kMaxPacketSize))),
              encodeCallReply(kIOReturnBadArgument, nullptr, 0, nullptr, 0));
    EXPECT_EQ(said(first->call(getInfoCall())), "0x00000000");
    // Beyond the limit one is closed at once; one that vanishes mid-call frees its place.
    auto second = opened(daemon);
    EXPECT_EQ(TestSocket(daemon.socketPath()).match("Vennix"), std::nullopt);
    ASSERT_TRUE(first->sendPacket(encodeCall(readMSRCall(0x10, 8))));
    first.reset();
    for (const auto deadline = Clock::now() + 30s; TestSocket(daemon.socketPath()).match("Vennix") != true;)
        ASSERT_LT(Clock::now(), deadline) << "no place again";
    // One that calls and never reads the replies holds nobody up, and is dropped once a reply
    // has waited too long.
    const Packet call = encodeCall(getInfoCall());
    for (pollfd room{second->fd(), POLLOUT, 0}; ::poll(&room, 1, 200) > 0 && room.revents == POLLOUT;)
        ::send(second->fd(), call.data(), call.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    const auto start = Clock::now();
    EXPECT_EQ(said(opened(daemon)->call(getInfoCall())), "0x00000000");
    EXPECT_LT(Clock::now() - start, 500ms) << "another client is served at once";
    pollfd hung{second->fd(), POLLRDHUP, 0};
    EXPECT_EQ(::poll(&hung, 1, 5000), 1);
    EXPECT_LT(Clock::now() - start, 4s);
}

TEST(SocketServerInThisProcess, ConnectionsThatNeverOpenAreClosedInTimeEvenWhenTheyTalk)
{
    const auto backends = PlatformBackends::simulated();
    const auto services = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    TemporaryDirectory directory;
    const SocketServer::Options options{.path = directory / "vennix.sock", .usersFile = directory / "users",
                                        .openTimeout = 300ms};
    std::string error;
    auto server = SocketServer::listen(options, &error);
    ASSERT_TRUE(server && server->serve(&error)) << error;
    TestSocket opened(options.path), talker(options.path);
    EXPECT_EQ(words({said(opened.match("Vennix")), said(opened.open())}), "1 0x00000000");
    const auto start = Clock::now();
    while (talker.match("Vennix") == true && Clock::now() - start < 5s)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(Clock::now() - start >= 200ms && Clock::now() - start < 2s) << "talking kept it open";
    EXPECT_EQ(said(opened.call(getInfoCall())), "0x00000000") << "the one that opened stays";
}

TEST_F(Daemon, StopsCleanlyOnTermOrInterrupt)
{
    const struct { int signal; Lines options; std::string writers; } cases[] = {
        {SIGTERM, {"--simulate"}, "only root may write"},
        {SIGINT, {"--simulate", "--allow-writes"}, "every allowed user may write"},
    };
    for (const auto& c : cases) {
        VennixdProcess daemon(c.options);
        auto client = opened(daemon);
        TestSocket idle(daemon.socketPath());
        EXPECT_TRUE(exitedWith(daemon.stop(c.signal), 0)) << daemon.log();
        EXPECT_TRUE(!client->receive() && !idle.receive()) << "every connection ends";
        const std::string log = daemon.log();
        EXPECT_NE(log.find("vennixd/ serving simulated processor and ACPI namespace (simulated) on "
                           + daemon.socketPath() + "; " + c.writers + "\n"), std::string::npos) << log;
        // Connections end before the services go, in this order.
        EXPECT_TRUE(log.ends_with("PCIAccessor/ free\nH_ECAccessor/ free\nACPIAccessor/ free\nVennix/ free\n"
                                  "vennixd/ stopped\n")) << log;
    }
}

TEST_F(Daemon, BadOptionsExitWithTwoAndNoMSRModuleWithWhatToDo)
{
    for (const Lines& arguments : {Lines{"--bogus"}, {"--socket"}, {"--socket="}, {"--max-connections", "0"},
                                   {"--max-connections", "100001"}, {"--max-connections", "12x"},
                                   {"--simulate=yes"}, {"--simulate", "--msr-directory", "/tmp"}, {"stray"}}) {
        Lines argv{VENNIXD_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        EXPECT_TRUE(exitedWith(runToEnd(argv, scratch / "out"), 2)) << arguments[0];
        EXPECT_NE(readFile(scratch / "out").find("\nusage: vennixd"), std::string::npos) << readFile(scratch / "out");
    }
    EXPECT_TRUE(exitedWith(runToEnd({VENNIXD_PATH, "--help"}, scratch / "out"), 0));
    EXPECT_EQ(readFile(scratch / "out").rfind("usage: vennixd [--simulate | --msr-directory DIR]", 0), 0u);
    if (std::filesystem::exists("/dev/cpu/0/msr"))
        return; // the machine has the msr module
    EXPECT_TRUE(exitedWith(runToEnd({VENNIXD_PATH, "--socket", scratch / "real.sock"}, scratch / "out"), 1));
    const std::string output = readFile(scratch / "out");
    EXPECT_TRUE(output.find("msr") != std::string::npos && output.find("--simulate") != std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(scratch / "real.sock"));
}

TEST_F(Daemon, OtherUsersReadWhenListedAndNeverWrite)
{
    VennixdProcess daemon({"--simulate", "--users-file", usersFile});
    const auto session = [&] {
        TestSocket s(daemon.socketPath());
        return words({said(s.match("Vennix")), said(s.open()), said(s.call(getInfoCall())),
                      said(s.call(writeMSRCall(kTurboRatioLimitMSR, 0x26272829)))});
    };
    EXPECT_EQ(runAs(kReader, session), "1 0x00000000 0x00000000 0xe00002c1");
    // Told once, then the connection ends: a stranger holds no place.
    EXPECT_EQ(runAs(4343, session), "1 0xe00002e2 none none");
}

TEST_F(Daemon, AllowWritesLetsListedUsersWrite)
{
    VennixdProcess daemon({"--simulate", "--users-file", usersFile, "--allow-writes"});
    EXPECT_EQ(runAs(kReader, [&] {
        TestSocket s(daemon.socketPath());
        return words({said(s.match("Vennix")), said(s.open()), said(s.call(writeMSRCall(kTurboRatioLimitMSR, 7)))});
    }), "1 0x00000000 0x00000000");
}

TEST_F(Daemon, OneUserCannotTakeEveryPlace)
{
    // Eight places: two for each user but root.
    VennixdProcess daemon({"--simulate", "--users-file", usersFile, "--max-connections", "8"});
    EXPECT_EQ(runAs(kReader, [&] {
        TestSocket first(daemon.socketPath()), second(daemon.socketPath()), third(daemon.socketPath());
        return words({said(first.match("Vennix")), said(second.match("Vennix")), said(third.match("Vennix"))});
    }), "1 1 none");
}

TEST_F(Daemon, ARemovedUsersSessionEnds)
{
    VennixdProcess daemon({"--simulate", "--users-file", usersFile});
    const Child reader = startAs(kReader, [&] {
        TestSocket s(daemon.socketPath());
        const std::string before = words({said(s.match("Vennix")), said(s.open()), said(s.call(getInfoCall()))});
        std::this_thread::sleep_for(2s);
        return words({before, said(s.call(getInfoCall()))});
    });
    std::this_thread::sleep_for(500ms);
    std::ofstream(usersFile) << "# nobody any more\n";
    EXPECT_EQ(finish(reader), "1 0x00000000 0x00000000 none");
    EXPECT_NE(daemon.log().find("vennixd/ uid 4242 is no longer allowed: its connection ends\n"), std::string::npos);
}

std::pair<int, long> threadsAndFiles(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid), status = readFile(proc + "/status");
    return {std::atoi(status.c_str() + status.find("Threads:") + 8),
            std::distance(std::filesystem::directory_iterator(proc + "/fd"), {})};
}

TEST_F(Daemon, HostileUsersLockNobodyOut)
{
    VennixdProcess daemon({"--simulate", "--users-file", usersFile});
    const auto idle = threadsAndFiles(daemon.pid());
    // Four users who may not open, for four seconds: holding, not reading twice, reconnecting.
    std::vector<Child> floods;
    for (const char* mode : {"hold", "noread", "noread", "reconnect"})
        floods.push_back(startAs(5001 + floods.size(), [&] { return flood(daemon.socketPath(), mode, 4s); }));
    std::this_thread::sleep_for(300ms);
    // Meanwhile root and a reader are served within a second, every round.
    for (const Child& prober : {startAs(0, [&] { return probe(daemon.socketPath(), 3s); }),
                                startAs(kReader, [&] { return probe(daemon.socketPath(), 3s); })}) {
        const std::string seen = finish(prober);
        unsigned rounds = 0, failures = 1, longest = 1000;
        std::sscanf(seen.c_str(), "%u %u %u", &rounds, &failures, &longest);
        EXPECT_TRUE(rounds >= 5 && failures == 0 && longest < 1000) << "rounds, failures, longest in ms: " << seen;
    }
    for (const Child& flooder : floods)
        EXPECT_GT(std::stoi(finish(flooder)), 0);
    // Once they are gone, the daemon holds what it held before.
    for (const auto deadline = Clock::now() + 1s; threadsAndFiles(daemon.pid()) != idle && Clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(threadsAndFiles(daemon.pid()), idle);
    // Tens of thousands of refusals, a line or two per uid.
    const std::string log = daemon.log();
    size_t lines = 0;
    for (size_t at = log.find("uid 5004 "); at != std::string::npos; at = log.find("uid 5004 ", at + 1))
        ++lines;
    EXPECT_NE(log.find("vennixd/ uid 5004 may not open a connection"), std::string::npos) << log;
    EXPECT_LE(lines, 2u) << log;
}

} // namespace
} // namespace vennix
