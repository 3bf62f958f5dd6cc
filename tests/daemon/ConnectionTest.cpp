// One connection's state machine (match, open, call) on the four services started on the
// simulated processor and ACPI namespace, packet by packet without a socket.

#include <gtest/gtest.h>

#include "daemon/AccessControl.h"
#include "daemon/Connection.h"
#include "host/PlatformBackends.h"
#include "host/ServiceSet.h"
#include "kext/platform/IOLog.h"
#include "sim/SimulatedACPI.h"
#include "tests/daemon/TestCalls.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace vennix {
namespace {

using namespace protocol;
using testing::kTurboRatioLimitMSR;

constexpr uid_t kListedUser = 4242;
constexpr uid_t kOtherUser = 4343;

std::string temporaryDirectory()
{
    char pattern[] = "/tmp/vennix-connection-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made ? made : "/nonexistent";
}

class ConnectionTest : public ::testing::Test {
protected:
    ConnectionTest()
    {
        std::ofstream(usersFile) << "# readers\n" << kListedUser << "\n";
        services = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    }

    ~ConnectionTest() override
    {
        services.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    // The rights are decided when a peer connects, as the server does.
    std::unique_ptr<Connection> connectionOf(uid_t uid, const AccessControl& rules)
    {
        AccessControl::Peer peer;
        peer.pid = 77;
        peer.uid = uid;
        peer.gid = uid;
        return std::make_unique<Connection>(peer, rules.rightsOf(peer), policy);
    }
    std::unique_ptr<Connection> connectionOf(uid_t uid) { return connectionOf(uid, access); }

    // A connection of uid, matched and opened on service.
    std::unique_ptr<Connection> opened(uid_t uid, const char* service = "Vennix")
    {
        auto connection = connectionOf(uid);
        EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch(service))), true);
        EXPECT_EQ(decodeOpenReply(connection->handle(encodeOpen(0))), kIOReturnSuccess);
        return connection;
    }

    static CallReply call(Connection& connection, const CallRequest& request)
    {
        const auto reply = decodeCallReply(connection.handle(encodeCall(request)));
        EXPECT_TRUE(reply);
        return reply.value_or(CallReply{kIOReturnIPCError, {}, {}});
    }

    uint64_t turboRatioLimit() { return backends->hardware()->rdmsr(kTurboRatioLimitMSR); }

    static bool userClientPublished()
    {
        IOService* client = IOService::copyMatchingService("AccessorUserClient");
        const bool found = client != nullptr;
        OSSafeReleaseNULL(client);
        return found;
    }

    IOLogCapture log;
    ManualClock clock{1500000000, 0};
    std::unique_ptr<PlatformBackends> backends = PlatformBackends::simulated(&clock);
    std::unique_ptr<ServiceSet> services;
    std::string directory = temporaryDirectory();
    std::string usersFile = directory + "/users";
    AccessControl access{usersFile, false};
    std::string msrsFile = directory + "/msrs";
    std::string acpiFile = directory + "/acpi";
    ReaderPolicy policy{msrsFile, acpiFile};
};

TEST_F(ConnectionTest, MatchOpenCallAndClose)
{
    ASSERT_TRUE(services);
    auto connection = opened(0);
    EXPECT_TRUE(connection->isOpen());
    EXPECT_TRUE(userClientPublished());

    const CallReply info = call(*connection, testing::getInfoCall());
    EXPECT_EQ(info.result, kIOReturnSuccess);
    ASSERT_EQ(info.structureOutput.size(), 464u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.structureOutput.data())), "GenuineIntel");

    const CallReply msr = call(*connection, testing::readMSRCall(kTurboRatioLimitMSR));
    EXPECT_EQ(msr.result, kIOReturnSuccess);
    EXPECT_EQ(testing::msrValue(msr), turboRatioLimit());

    connection.reset();
    EXPECT_FALSE(userClientPublished());
}

TEST_F(ConnectionTest, CallBeforeOpenIsNotAttached)
{
    auto connection = connectionOf(0);
    CallReply reply = call(*connection, testing::getInfoCall());
    EXPECT_EQ(reply.result, kIOReturnNotAttached);
    EXPECT_TRUE(reply.scalarOutput.empty());
    EXPECT_TRUE(reply.structureOutput.empty());

    // Matched but not yet open: still nothing to call.
    EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch("Vennix"))), true);
    reply = call(*connection, testing::getInfoCall());
    EXPECT_EQ(reply.result, kIOReturnNotAttached);
}

TEST_F(ConnectionTest, MatchesThatFindNothing)
{
    auto connection = connectionOf(0);
    EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch("NoSuchService"))), false);
    EXPECT_EQ(decodeMatchReply(connection->handle(Packet{1, 0, 0, 0, 'V'})), false); // no NUL
    EXPECT_EQ(decodeOpenReply(connection->handle(encodeOpen(0))), kIOReturnNotAttached);

    // A failed match forgets the one before it.
    EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch("Vennix"))), true);
    EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch("Vennix\n"))), false);
    EXPECT_EQ(decodeOpenReply(connection->handle(encodeOpen(0))), kIOReturnNotAttached);
}

TEST_F(ConnectionTest, OneSocketOneService)
{
    auto connection = opened(0);
    EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch("ACPIAccessor"))), false);
    EXPECT_EQ(decodeOpenReply(connection->handle(encodeOpen(0))), kIOReturnBadArgument);
    // The connection that was open goes on as before.
    EXPECT_EQ(call(*connection, testing::getInfoCall()).result, kIOReturnSuccess);
}

TEST_F(ConnectionTest, ServiceWithoutUserClientCannotBeOpened)
{
    auto connection = connectionOf(0);
    EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch("H_ECAccessor"))), true);
    EXPECT_EQ(decodeOpenReply(connection->handle(encodeOpen(0))), kIOReturnUnsupported);
    EXPECT_FALSE(connection->isOpen());
}

TEST_F(ConnectionTest, ACPIThroughItsOwnService)
{
    auto connection = opened(0, "ACPIAccessor");
    const CallReply reply =
        call(*connection, testing::acpiCall(kAccessorMethodGetValueOnDevice, "_STA"));
    EXPECT_EQ(reply.result, kIOReturnSuccess);
    ASSERT_GE(reply.structureOutput.size(), 12u);
    EXPECT_EQ(readU32(reply.structureOutput.data(), 0), 3u); // a number
    EXPECT_EQ(readU64(reply.structureOutput.data(), 4), sim::SimulatedACPI::kStatus);
}

TEST_F(ConnectionTest, OutputBytesTheCallDoesNotWriteGoBackAsSent)
{
    auto* acpi = dynamic_cast<sim::SimulatedACPI*>(backends->acpi());
    ASSERT_NE(acpi, nullptr);
    ASSERT_TRUE(acpi->defineMethod(testing::kECPath, "NONE", 0,
                                   [](OSObject* const*, OSObject** result) {
                                       *result = nullptr;
                                       return kIOReturnSuccess;
                                   }));
    auto connection = opened(0, "ACPIAccessor");
    CallRequest request = testing::acpiCall(kAccessorMethodGetValueOnDevice, "NONE");
    for (size_t i = 0; i < request.structureOutput.size(); ++i)
        request.structureOutput[i] = static_cast<uint8_t>(0xA0 + i);
    const CallReply reply = call(*connection, request);
    EXPECT_EQ(reply.result, kIOReturnSuccess);
    EXPECT_EQ(reply.structureOutput, request.structureOutput);

    // The reply never carries more than the record, even when the buffer is larger.
    auto vennix = opened(0);
    const CallReply info = call(*vennix, testing::getInfoCall(600));
    EXPECT_EQ(info.result, kIOReturnSuccess);
    EXPECT_EQ(info.structureOutput.size(), 464u);
}

TEST_F(ConnectionTest, StructuresOverTheLimitCountAsMissing)
{
    auto connection = opened(0);
    CallReply reply = call(*connection, testing::getInfoCall(kMaxStructureSize + 1));
    EXPECT_EQ(reply.result, kIOReturnBadArgument);
    EXPECT_TRUE(reply.structureOutput.empty());

    CallRequest batch = testing::readMSRCall(kTurboRatioLimitMSR);
    batch.structureInput.resize(kMaxStructureSize + 1);
    reply = call(*connection, batch);
    EXPECT_EQ(reply.result, kIOReturnBadArgument);
    // At the limit the same call goes through: the padding after the MSR list is ignored.
    batch.structureInput.resize(kMaxStructureSize);
    EXPECT_EQ(call(*connection, batch).result, kIOReturnSuccess);
}

TEST_F(ConnectionTest, UnreadablePacketsAreAnsweredInTheirOwnForm)
{
    auto connection = opened(0);
    const Packet badCall = encodeCallReply(kIOReturnBadArgument, nullptr, 0, nullptr, 0);
    const Packet badOpen = encodeOpenReply(kIOReturnBadArgument);
    const Packet error = encodeErrorReply(kIOReturnBadArgument);

    Packet call = encodeCall(testing::getInfoCall());
    call.push_back(0); // one byte more than the header says
    EXPECT_EQ(connection->handle(call), badCall);
    EXPECT_EQ(connection->handle(Packet{2, 0, 0, 0, 0, 0, 0}), badOpen);
    EXPECT_EQ(connection->handle(Packet{9, 0, 0, 0, 0, 0, 0, 0}), error);
    EXPECT_EQ(connection->handle(Packet{3, 0}), error);
    EXPECT_EQ(connection->handle(Packet{}), error);
    // A packet longer than any the daemon accepts: only its beginning is known.
    EXPECT_EQ(connection->handle(encodeCall(testing::getInfoCall()), true), badCall);
    EXPECT_EQ(connection->handle(encodeMatch("Vennix"), true), encodeMatchReply(false));
    // None of it closed the connection.
    EXPECT_EQ(ConnectionTest::call(*connection, testing::getInfoCall()).result, kIOReturnSuccess);
}

TEST_F(ConnectionTest, UnlistedUserMayNotOpenAndLearnsNothing)
{
    auto connection = connectionOf(kOtherUser);
    // Every well-formed name is "found": whether a service or a session exists is not told.
    for (const char* name : {"Vennix", "NoSuchService", "AccessorUserClient"})
        EXPECT_EQ(decodeMatchReply(connection->handle(encodeMatch(name))), true) << name;
    EXPECT_FALSE(connection->refused());
    EXPECT_EQ(decodeOpenReply(connection->handle(encodeOpen(0))), kIOReturnNotPermitted);
    EXPECT_TRUE(connection->refused()) << "the server closes it after this reply";
    EXPECT_FALSE(connection->isOpen());
    EXPECT_EQ(call(*connection, testing::getInfoCall()).result, kIOReturnNotAttached);
}

TEST_F(ConnectionTest, ReadersReadOnlyWhatAMonitorNeeds)
{
    auto vennix = opened(kListedUser);
    auto acpi = opened(kListedUser, "ACPIAccessor");
    const struct {
        const char* what;
        Connection* connection;
        CallRequest request;
        IOReturn expected;
    } cases[] = {
        {"IA32_PERF_STATUS", vennix.get(), testing::readMSRCall(0x198, 8), kIOReturnSuccess},
        {"LSTAR", vennix.get(), testing::readMSRCall(0xC0000082), kIOReturnNotPrivileged},
        {"KERNEL_GS_BASE on all CPUs", vennix.get(), testing::readMSRCall(0xC0000102, 8), kIOReturnNotPrivileged},
        {"PP1 energy", vennix.get(), testing::readMSRCall(0x641), kIOReturnNotPrivileged},
        {"_STA", acpi.get(), testing::acpiCall(kAccessorMethodGetValueOnDevice, "_STA"), kIOReturnSuccess},
        {"check _STA", acpi.get(), testing::acpiCall(kAccessorMethodCheckValueOnDevice, "_STA"), kIOReturnSuccess},
        {"_OFF", acpi.get(), testing::acpiCall(kAccessorMethodGetValueOnDevice, "_OFF"), kIOReturnNotPrivileged},
        {"check _Q66", acpi.get(), testing::acpiCall(kAccessorMethodCheckValueOnDevice, "_Q66"), kIOReturnNotPrivileged},
        {"TEMP", acpi.get(), testing::acpiCall(kAccessorMethodGetValueOnDevice, "TEMP"), kIOReturnNotPrivileged},
    };
    for (const auto& c : cases)
        EXPECT_EQ(call(*c.connection, c.request).result, c.expected) << c.what;

    // Root widens both lists in its files; the files are read again when they change.
    std::ofstream(msrsFile) << "# debugging\n0xC0000082\n";
    std::ofstream(acpiFile) << "* TEMP\n" << testing::kECPath << " _Q66\n";
    EXPECT_EQ(call(*vennix, testing::readMSRCall(0xC0000082)).result, kIOReturnSuccess);
    EXPECT_EQ(call(*acpi, testing::acpiCall(kAccessorMethodGetValueOnDevice, "TEMP")).result, kIOReturnSuccess);
    EXPECT_EQ(call(*acpi, testing::acpiCall(kAccessorMethodCheckValueOnDevice, "_Q66")).result, kIOReturnSuccess);
    EXPECT_EQ(call(*acpi, testing::acpiCall(kAccessorMethodGetValueOnDevice, "_OFF")).result, kIOReturnNotPrivileged);

    // Root reads everything, whatever the lists say.
    auto root = opened(0);
    EXPECT_EQ(call(*root, testing::readMSRCall(0xC0000102)).result, kIOReturnSuccess);
}

TEST_F(ConnectionTest, ListedUserReadsButMayNotWrite)
{
    const uint64_t before = turboRatioLimit();
    auto connection = opened(kListedUser);
    EXPECT_EQ(call(*connection, testing::getInfoCall()).result, kIOReturnSuccess);
    const CallReply read = call(*connection, testing::readMSRCall(kTurboRatioLimitMSR, 8));
    EXPECT_EQ(read.result, kIOReturnSuccess);

    const CallReply write = call(*connection, testing::writeMSRCall(kTurboRatioLimitMSR, 0x26272829));
    EXPECT_EQ(write.result, kIOReturnNotPrivileged);
    EXPECT_TRUE(write.scalarOutput.empty());
    EXPECT_EQ(turboRatioLimit(), before);

    // Refused before anything is looked at, malformed or not.
    CallRequest odd = testing::writeMSRCall(kTurboRatioLimitMSR, 1);
    odd.scalarInput.push_back(0);
    EXPECT_EQ(call(*connection, odd).result, kIOReturnNotPrivileged);

    auto acpi = opened(kListedUser, "ACPIAccessor");
    const CallReply setValue = call(*acpi, testing::setValueCall(7));
    EXPECT_EQ(setValue.result, kIOReturnNotPrivileged);
    EXPECT_TRUE(setValue.structureOutput.empty());
    EXPECT_EQ(call(*acpi, testing::acpiCall(kAccessorMethodCheckValueOnDevice, "_STA")).result,
              kIOReturnSuccess);
}

TEST_F(ConnectionTest, RootWrites)
{
    auto connection = opened(0);
    EXPECT_EQ(call(*connection, testing::writeMSRCall(kTurboRatioLimitMSR, 0x26272829)).result,
              kIOReturnSuccess);
    EXPECT_EQ(turboRatioLimit(), 0x26272829u);
    auto acpi = opened(0, "ACPIAccessor");
    const CallReply setValue = call(*acpi, testing::setValueCall(7));
    EXPECT_EQ(setValue.result, kIOReturnSuccess);
    ASSERT_GE(setValue.structureOutput.size(), 12u);
    EXPECT_EQ(readU64(setValue.structureOutput.data(), 4), 7u);
}

TEST_F(ConnectionTest, AllowedWritesForListedUsersOnly)
{
    const AccessControl permissive(usersFile, true);
    auto listed = connectionOf(kListedUser, permissive);
    EXPECT_EQ(decodeMatchReply(listed->handle(encodeMatch("Vennix"))), true);
    EXPECT_EQ(decodeOpenReply(listed->handle(encodeOpen(0))), kIOReturnSuccess);
    EXPECT_EQ(call(*listed, testing::writeMSRCall(kTurboRatioLimitMSR, 0x25252525)).result,
              kIOReturnSuccess);
    EXPECT_EQ(turboRatioLimit(), 0x25252525u);

    auto other = connectionOf(kOtherUser, permissive);
    EXPECT_EQ(decodeMatchReply(other->handle(encodeMatch("Vennix"))), true);
    EXPECT_EQ(decodeOpenReply(other->handle(encodeOpen(0))), kIOReturnNotPermitted);
}

TEST_F(ConnectionTest, ClosedClientCanOpenAgain)
{
    auto connection = opened(0);
    connection->closeClient();
    EXPECT_FALSE(connection->isOpen());
    EXPECT_FALSE(userClientPublished());
    EXPECT_EQ(call(*connection, testing::getInfoCall()).result, kIOReturnNotAttached);
    EXPECT_EQ(decodeOpenReply(connection->handle(encodeOpen(0))), kIOReturnSuccess);
}

} // namespace
} // namespace vennix
