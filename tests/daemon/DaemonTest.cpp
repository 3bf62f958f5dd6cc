// vennixd's decisions without a socket: who may open and who may write, root's files under
// /etc/vennix, what readers get, and one connection's state machine on the simulated services.

#include <gtest/gtest.h>

#include "daemon/Connection.h"
#include "host/PlatformBackends.h"
#include "host/ServiceSet.h"
#include "kext/platform/IOLog.h"
#include "sim/SimulatedACPI.h"
#include "tests/daemon/TestCalls.h"
#include "tests/support/TemporaryDirectory.h"

#include <fstream>
#include <numeric>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace vennix {
namespace {

using namespace protocol;
using namespace testing;
using namespace std::string_literals;
using Lines = std::vector<std::string>;

constexpr gid_t kGroup = 990;
constexpr uid_t kReader = 4242;

AccessControl::Peer peer(uid_t uid, gid_t gid = 100, std::vector<gid_t> groups = {}) { return {77, uid, gid, groups}; }

// The user database the tests pretend to have.
std::optional<uid_t> resolve(std::string_view name)
{
    if (name == "alice" || name == "alias")
        return 1000;
    return name == "bob" ? std::optional<uid_t>(1001) : std::nullopt;
}

TEST(AccessControl, WhoMayOpenAndWhoMayWrite)
{
    const std::nullopt_t none = std::nullopt;
    const struct { const char* what; AccessControl::Peer peer; std::optional<std::string_view> file; bool allowWrites;
                   std::optional<gid_t> group; bool mayOpen, mayWrite; } cases[] = {
        {"root without file or group", peer(0, 0), none, false, none, true, true},
        {"unlisted, writes allowed", peer(1002), "alice\n1001\n", true, kGroup, false, false},
        {"no file", peer(1000), none, false, kGroup, false, false},
        {"listed", peer(1000), "alice\n", false, kGroup, true, false},
        {"listed, writes allowed", peer(1000), "alice\n", true, kGroup, true, true},
        {"primary group", peer(1005, kGroup), none, false, kGroup, true, false},
        {"supplementary group, writes allowed", peer(1005, 100, {4, kGroup}), none, true, kGroup, true, true},
        {"other groups, writes allowed", peer(1005, 100, {4, 24}), none, true, kGroup, false, false},
        {"group not on the system", peer(1005, kGroup), none, false, none, false, false},
    };
    for (const auto& c : cases) {
        const auto rights = AccessControl::decide(c.peer, c.file, c.group, c.allowWrites, resolve);
        EXPECT_EQ(std::pair(rights.mayOpen, rights.mayWrite), std::pair(c.mayOpen, c.mayWrite)) << c.what;
    }
    int pair[2]; // the peer as the kernel tells it
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const auto told = AccessControl::peerOf(pair[0]);
    std::vector<gid_t> groups(64);
    groups.resize(static_cast<size_t>(getgroups(64, groups.data())));
    EXPECT_TRUE(told && told->pid == getpid() && told->uid == getuid() && told->gid == getgid());
    EXPECT_TRUE(told && std::is_permutation(groups.begin(), groups.end(), told->groups.begin(), told->groups.end()));
    EXPECT_EQ(AccessControl::peerOf(-1), std::nullopt);
    for (int end : pair)
        ::close(end);
}

TEST(AccessControl, UsersFileNamesAndNumbers)
{
    const std::string_view file = "# readers\n\n   \t\n  bob  # the admin\n\t1234\t\r\n#alice\nalias";
    const struct { std::string_view file; uid_t uid; bool listed; } cases[] = {
        {file, 1001, true}, {file, 1234, true}, {file, 1000, true}, {file, 1002, false}, {"carol\n", 1000, false},
        {"0042\n", 42, true}, {"4294967294\n", 4294967294, true}, {"4294967295\n", 4294967295, false},
        {"4294967296\n", 0, false}, {"18446744073709551617\n", 1, false}, {"-1\n", uid_t(-1), false},
        {"+42\n", 42, false}, {"42abc\n", 42, false}, {"alice 1001\n", 1001, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AccessControl::listsUser(c.file, c.uid, resolve), c.listed) << c.file << " " << c.uid;
    // Junk makes a line invalid, never a match; names as useradd takes them are valid.
    const std::string text = "al\0ice\nalice bob\nbob;carol\n42abc\n-1\nbo b\n\xC3\xA9mile\na$b\n1ab\n"s
        + std::string(33, 'x') + "\n_svc$\n" + std::string(32, 'x') + "\na.b-c_d\n1001\n";
    std::vector<size_t> invalid;
    EXPECT_EQ(AccessControl::listedUsers(text, resolve, &invalid), std::set<uid_t>{1001});
    EXPECT_EQ(invalid, (std::vector<size_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

class RootsFiles : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& text, mode_t mode = 0644)
    {
        std::ofstream(directory / name, std::ios::binary) << text;
        chmod((directory / name).c_str(), mode);
        return directory / name;
    }

    TemporaryDirectory directory;
    IOLogCapture log;
};

TEST_F(RootsFiles, TheUsersFileIsReadAgainOnlyWhenItChangesAndOnlyInWholeLines)
{
    const AccessControl access(write("users", "# nobody yet\n"), false);
    EXPECT_FALSE(access.rightsOf(peer(kReader)).mayOpen);
    EXPECT_FALSE(access.refresh()) << "unchanged: not read again";
    write("users", "4242\nno body\nnobody\n");
    EXPECT_TRUE(access.refresh());
    EXPECT_TRUE(access.rightsOf(peer(kReader)).mayOpen && !access.rightsOf(peer(kReader)).mayWrite);
    const passwd* nobody = getpwnam("nobody"); // a name as the system's user database has it
    EXPECT_TRUE(!nobody || access.rightsOf(peer(nobody->pw_uid)).mayOpen);
    EXPECT_EQ(log.lines(), Lines{"vennixd/ " + directory / "users" + " line 2 is neither a user name nor a uid: "
                                 "it lists nobody\n"});
    std::filesystem::remove(directory / "users");
    EXPECT_FALSE(access.rightsOf(peer(kReader)).mayOpen);
    // "alice" straddles the limit: a cut name is not taken for a shorter one.
    const std::string comment(AccessControl::kMaxUsersFileSize - 3, '#');
    const std::string big = write("big", comment + "\nalice\n4242\n");
    EXPECT_EQ(ConfigFile::readTrusted(big, comment.size() + 3, nullptr), comment + "\n");
}

TEST_F(RootsFiles, AFileOthersCouldHaveWrittenListsNobody)
{
    ASSERT_EQ(symlink(write("real", "4242\n").c_str(), (directory / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((directory / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(chown(write("theirs", "4242\n").c_str(), kReader, kReader), 0) << "needs root";
    const struct { std::string path, why; } cases[] = {
        {write("world", "4242\n", 0666), "others may write it"},
        {write("group", "4242\n", 0620), "others may write it"},
        {directory / "link", "it is a symbolic link"}, {directory.path(), "it is not a regular file"},
        {directory / "fifo", "it is not a regular file"}, // without waiting for a writer
        {directory / "theirs", "it belongs to uid 4242, not root"},
    };
    for (const auto& c : cases) {
        log.clear();
        EXPECT_FALSE(AccessControl(c.path, false).rightsOf(peer(kReader)).mayOpen) << c.path;
        EXPECT_EQ(log.lines(), Lines{"vennixd/ " + c.path + " lists nobody: " + c.why + "\n"});
    }
}

TEST_F(RootsFiles, TheReadersFilesWidenTheirListsWhenTrusted)
{
    ReaderPolicy policy(directory / "msrs", directory / "acpi");
    write("msrs", "0x3A\n58x\n1234 # a comment\n");
    write("acpi", kECPath + " _Q66\n* FANS\nlonely\n"s + kECPath + " A B\n");
    EXPECT_TRUE(policy.mayReadMSR(0x3A) && policy.mayReadMSR(1234) && policy.mayEvaluate(kECPath, "_Q66"));
    EXPECT_FALSE(policy.mayEvaluate("IOACPIPlane:/_SB/PCI0/LPCB/EC1", "_Q66")) << "that device only";
    EXPECT_TRUE(policy.mayEvaluate("IOACPIPlane:/_SB/ANY", "FANS"));
    const std::string msrs = "vennixd/ " + directory / "msrs", acpi = "vennixd/ " + directory / "acpi";
    EXPECT_EQ(log.lines(), (Lines{msrs + " line 2 is not an MSR number: ignored\n",
                                  acpi + " line 3 is not \"PATH METHOD\": ignored\n",
                                  acpi + " line 4 is not \"PATH METHOD\": ignored\n"}));
    log.clear();
    chmod((directory / "msrs").c_str(), 0666);
    EXPECT_FALSE(policy.mayReadMSR(0x3A));
    EXPECT_EQ(log.lines(), Lines{msrs + " adds nothing: others may write it\n"});
    // Names from clients cannot forge lines or send escapes.
    EXPECT_EQ(escapeForLog("EC0\nvennixd/ uid 0 may write\n"), "EC0\\x0avennixd/ uid 0 may write\\x0a");
    EXPECT_EQ(escapeForLog("_SB.PCI0\x1b[2J\\\x7f\xc3\xa9"), "_SB.PCI0\\x1b[2J\\x5c\\x7f\\xc3\\xa9");
    EXPECT_EQ(escapeForLog(std::string(300, 'a'), 4), "aaaa...");
}

TEST(ReaderPolicy, EnergyCountersComeFreshTwentyTimesASecondPerUserAndCounter)
{
    const auto start = std::chrono::steady_clock::time_point(std::chrono::seconds(1000));
    auto now = start;
    ReaderPolicy policy("/nonexistent/msrs", "/nonexistent/acpi", [&] { return now; });
    // What uid is answered for msrs on rows CPUs that read first, first + 1, ...
    auto answer = [&](uid_t uid, std::vector<uint32_t> msrs, uint64_t first, uint32_t rows = 2) {
        std::vector<uint64_t> values(msrs.size() * rows);
        std::iota(values.begin(), values.end(), first);
        policy.limitEnergy(uid, msrs, reinterpret_cast<uint8_t*>(values.data()), rows);
        return values;
    };
    // A reading every millisecond with the counter moved: within 50 ms, the one answered before.
    std::set<uint64_t> answered;
    for (uint64_t step = 0; step < 200; ++step, now += std::chrono::milliseconds(1))
        answered.insert(answer(1000, {0x611}, 5000 + step)[0]);
    EXPECT_EQ(answered, (std::set<uint64_t>{5000, 5050, 5100, 5150}));
    now -= std::chrono::milliseconds(1); // 49 ms after the last fresh one
    // Each user and counter apart; other MSRs as read; rows beyond the last reading get its first.
    EXPECT_EQ(answer(1001, {0x611}, 9), (std::vector<uint64_t>{9, 10}));
    EXPECT_EQ(answer(1000, {0x198, 0x639, 0x611}, 1), (std::vector<uint64_t>{1, 2, 5150, 4, 5, 5151}));
    EXPECT_EQ(answer(1000, {0x611}, 0, 3), (std::vector<uint64_t>{5150, 5151, 5150}));
    now += std::chrono::milliseconds(1);
    EXPECT_EQ(answer(1000, {0x611}, 7), (std::vector<uint64_t>{7, 8}));
    const std::vector<uint32_t> counters{0x611, 0x619, 0x639, 0x641, 0x64D, 0xC001029A, 0xC001029B};
    const std::vector<uint64_t> first = answer(1002, counters, 1, 1);
    EXPECT_EQ(answer(1002, counters, 100, 1), first) << "every energy counter";
}

class ConnectionTest : public ::testing::Test {
protected:
    // A connection of uid with the rights the server decided when it connected; root may write.
    std::unique_ptr<Connection> connect(uid_t uid, bool mayOpen = true, bool mayWrite = false)
    {
        return std::make_unique<Connection>(peer(uid), AccessControl::Rights{mayOpen, mayWrite || uid == 0}, policy);
    }
    static auto match(Connection& c, const char* name) { return decodeMatchReply(c.handle(encodeMatch(name))); }
    static auto open(Connection& c) { return decodeOpenReply(c.handle(encodeOpen(0))); }
    // Connected, matched and opened on service.
    std::unique_ptr<Connection> opened(uid_t uid, const char* service = "Vennix", bool mayWrite = false)
    {
        auto connection = connect(uid, true, mayWrite);
        EXPECT_EQ(match(*connection, service), true);
        EXPECT_EQ(open(*connection), kIOReturnSuccess);
        return connection;
    }
    static CallReply call(Connection& c, const CallRequest& request)
    {
        return decodeCallReply(c.handle(encodeCall(request))).value_or(CallReply{kIOReturnIPCError, {}, {}});
    }
    uint64_t turboRatioLimit() { return backends->hardware()->rdmsr(kTurboRatioLimitMSR); }
    static bool userClientPublished()
    {
        IOService* client = IOService::copyMatchingService("AccessorUserClient");
        const bool found = client != nullptr;
        OSSafeReleaseNULL(client);
        return found;
    }

    std::unique_ptr<PlatformBackends> backends = PlatformBackends::simulated();
    std::unique_ptr<ServiceSet> services = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    TemporaryDirectory directory;
    ReaderPolicy policy{directory / "msrs", directory / "acpi"};
};

TEST_F(ConnectionTest, MatchOpenCallAndClose)
{
    auto connection = connect(0);
    const CallReply early = call(*connection, getInfoCall());
    EXPECT_TRUE(early.result == kIOReturnNotAttached && early.scalarOutput.empty() && early.structureOutput.empty());
    // Nothing to open without a match; a failed match forgets the one before it.
    EXPECT_EQ(match(*connection, "NoSuchService"), false);
    EXPECT_EQ(open(*connection), kIOReturnNotAttached);
    EXPECT_EQ(match(*connection, "Vennix"), true);
    EXPECT_EQ(call(*connection, getInfoCall()).result, kIOReturnNotAttached) << "matched, not open";
    EXPECT_EQ(decodeMatchReply(connection->handle(Packet{1, 0, 0, 0, 'V'})), false) << "no NUL";
    EXPECT_EQ(open(*connection), kIOReturnNotAttached);
    EXPECT_EQ(match(*connection, "Vennix"), true);
    EXPECT_EQ(open(*connection), kIOReturnSuccess);
    EXPECT_TRUE(userClientPublished());
    // The record, and no more of a larger buffer than the record fills.
    const CallReply info = call(*connection, getInfoCall(600));
    ASSERT_EQ(info.structureOutput.size(), 464u);
    EXPECT_STREQ(reinterpret_cast<const char*>(info.structureOutput.data()), "GenuineIntel");
    const CallReply msr = call(*connection, readMSRCall(kTurboRatioLimitMSR));
    EXPECT_EQ(readU64(msr.structureOutput.data(), MSRBatchResult::kHeaderSize), turboRatioLimit());
    // One socket, one service: the open one stays.
    EXPECT_EQ(match(*connection, "ACPIAccessor"), false);
    EXPECT_EQ(open(*connection), kIOReturnBadArgument);
    EXPECT_EQ(call(*connection, getInfoCall()).result, kIOReturnSuccess);
    connection->closeClient();
    EXPECT_FALSE(connection->isOpen() || userClientPublished());
    connection.reset();
    EXPECT_FALSE(userClientPublished());
    auto ec = connect(0);
    EXPECT_EQ(match(*ec, "H_ECAccessor"), true);
    EXPECT_EQ(open(*ec), kIOReturnUnsupported) << "a service without a user client";
    // One who may not open learns nothing: every well-formed name is found.
    auto stranger = connect(4343, false);
    for (const char* name : {"Vennix", "NoSuchService", "AccessorUserClient"})
        EXPECT_EQ(match(*stranger, name), true) << name;
    EXPECT_EQ(decodeMatchReply(stranger->handle(Packet{1, 0, 0, 0, 'V'})), false) << "no NUL";
    EXPECT_FALSE(stranger->refused());
    EXPECT_EQ(open(*stranger), kIOReturnNotPermitted);
    EXPECT_TRUE(stranger->refused() && !stranger->isOpen()) << "the server closes it after this answer";
    EXPECT_EQ(call(*stranger, getInfoCall()).result, kIOReturnNotAttached);
}

TEST_F(ConnectionTest, UnreadablePacketsAreAnsweredInTheirOwnFormAndOutputGoesBackAsTheCallLeftIt)
{
    auto connection = opened(0);
    const Packet badCall = encodeCallReply(kIOReturnBadArgument, nullptr, 0, nullptr, 0);
    const Packet error = encodeErrorReply(kIOReturnBadArgument);
    Packet longer = encodeCall(getInfoCall());
    longer.push_back(0);
    const CallRequest scalars{kAccessorMethodSetMSRs, std::vector<uint64_t>(kMaxScalarCount + 1), {}, 0, {}};
    const struct { const char* what; Packet packet; bool truncated; Packet answer; } cases[] = {
        {"a call longer than it says", longer, false, badCall},
        {"too many scalars", encodeCall(scalars), false, badCall},
        {"longer than any packet", encodeCall(getInfoCall(kMaxPacketSize)), false, badCall},
        {"cut to the largest packet", encodeCall(getInfoCall()), true, badCall},
        {"a match cut", encodeMatch("Vennix"), true, encodeMatchReply(false)},
        {"an open of 7 bytes", {2, 0, 0, 0, 0, 0, 0}, false, encodeOpenReply(kIOReturnBadArgument)},
        {"an unknown type", {9, 0, 0, 0, 0, 0, 0, 0}, false, error},
        {"no whole type", {3, 0}, false, error},
        {"empty", {}, false, error},
    };
    for (const auto& c : cases)
        EXPECT_EQ(connection->handle(c.packet, c.truncated), c.answer) << c.what;
    EXPECT_EQ(call(*connection, getInfoCall()).result, kIOReturnSuccess) << "the connection goes on";
    auto* acpi = dynamic_cast<sim::SimulatedACPI*>(backends->acpi());
    ASSERT_TRUE(acpi && acpi->defineMethod(kECPath, "NONE", 0, [](OSObject* const*, OSObject** result) {
        *result = nullptr;
        return kIOReturnSuccess;
    }));
    CallRequest request = acpiCall(kAccessorMethodGetValueOnDevice, "NONE");
    std::iota(request.structureOutput.begin(), request.structureOutput.end(), uint8_t{0xA0});
    const CallReply reply = call(*opened(0, "ACPIAccessor"), request);
    EXPECT_EQ(reply.result, kIOReturnSuccess);
    EXPECT_EQ(reply.structureOutput, request.structureOutput) << "bytes not written go back as sent";
    const CallReply big = call(*connection, getInfoCall(kMaxStructureSize + 1));
    EXPECT_TRUE(big.result == kIOReturnBadArgument && big.structureOutput.empty());
    CallRequest batch = readMSRCall(kTurboRatioLimitMSR);
    batch.structureInput.resize(kMaxStructureSize + 1);
    EXPECT_EQ(call(*connection, batch).result, kIOReturnBadArgument);
    batch.structureInput.resize(kMaxStructureSize); // the padding after the list is ignored
    EXPECT_EQ(call(*connection, batch).result, kIOReturnSuccess);
}

TEST_F(ConnectionTest, ReadersReadWhatAMonitorNeedsAndOnlyWritersWrite)
{
    const uint64_t before = turboRatioLimit();
    auto vennix = opened(kReader);
    auto acpi = opened(kReader, "ACPIAccessor");
    const struct { const char* what; Connection& on; CallRequest request; IOReturn result; } cases[] = {
        {"the record", *vennix, getInfoCall(), kIOReturnSuccess},
        {"IA32_PERF_STATUS", *vennix, readMSRCall(0x198, 8), kIOReturnSuccess},
        {"LSTAR", *vennix, readMSRCall(0xC0000082), kIOReturnNotPrivileged},
        {"KERNEL_GS_BASE on all CPUs", *vennix, readMSRCall(0xC0000102, 8), kIOReturnNotPrivileged},
        {"PP1 energy", *vennix, readMSRCall(0x641), kIOReturnNotPrivileged},
        {"an MSR write", *vennix, writeMSRCall(kTurboRatioLimitMSR, 0x26272829), kIOReturnNotPrivileged},
        {"a bad write", *vennix, {kAccessorMethodSetMSRs, {1, 1, 0x1AD, 1, 0}, {}, 0, {}}, kIOReturnNotPrivileged},
        {"_STA", *acpi, acpiCall(kAccessorMethodGetValueOnDevice, "_STA"), kIOReturnSuccess},
        {"check _STA", *acpi, acpiCall(kAccessorMethodCheckValueOnDevice, "_STA"), kIOReturnSuccess},
        {"_OFF", *acpi, acpiCall(kAccessorMethodGetValueOnDevice, "_OFF"), kIOReturnNotPrivileged},
        {"check _Q66", *acpi, acpiCall(kAccessorMethodCheckValueOnDevice, "_Q66"), kIOReturnNotPrivileged},
        {"TEMP", *acpi, acpiCall(kAccessorMethodGetValueOnDevice, "TEMP"), kIOReturnNotPrivileged},
        {"SETV", *acpi, setValueCall(7), kIOReturnNotPrivileged},
    };
    for (const auto& c : cases) {
        const CallReply reply = call(c.on, c.request);
        EXPECT_EQ(reply.result, c.result) << c.what;
        EXPECT_TRUE(c.result == kIOReturnSuccess || (reply.scalarOutput.empty() && reply.structureOutput.empty()));
    }
    EXPECT_EQ(turboRatioLimit(), before);
    // Root's files widen the lists, for that device or for any.
    std::ofstream(directory / "msrs") << "0xC0000082\n";
    std::ofstream(directory / "acpi") << "* TEMP\n" << kECPath << " _Q66\n";
    EXPECT_EQ(call(*vennix, readMSRCall(0xC0000082)).result, kIOReturnSuccess);
    EXPECT_EQ(call(*acpi, acpiCall(kAccessorMethodGetValueOnDevice, "TEMP")).result, kIOReturnSuccess);
    EXPECT_EQ(call(*acpi, acpiCall(kAccessorMethodCheckValueOnDevice, "_Q66")).result, kIOReturnSuccess);
    // Root writes and reads anything, and so does everyone who may open when writes are allowed.
    for (const uid_t uid : {uid_t{0}, kReader}) {
        auto writer = opened(uid, "Vennix", true);
        EXPECT_EQ(call(*writer, writeMSRCall(kTurboRatioLimitMSR, 0x26272829 + uid)).result, kIOReturnSuccess);
        EXPECT_EQ(turboRatioLimit(), 0x26272829u + uid);
        EXPECT_EQ(call(*writer, readMSRCall(0xC0000102, 8)).result, kIOReturnSuccess) << uid;
        CallReply echoed = call(*opened(uid, "ACPIAccessor", true), setValueCall(7));
        echoed.structureOutput.resize(12);
        EXPECT_EQ(echoed.result, kIOReturnSuccess) << uid;
        EXPECT_EQ(echoed.structureOutput, (Packet{3, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0})) << "the number 7";
    }
}

} // namespace
} // namespace vennix
