// The socket server in this process on a real socket: where and how it listens, the
// connection limit, clients that vanish, and a stop that ends every connection before the
// services go.

#include <gtest/gtest.h>

#include "daemon/Connection.h"
#include "host/PlatformBackends.h"
#include "host/ServiceSet.h"
#include "daemon/SocketServer.h"
#include "kext/platform/IOLog.h"
#include "tests/daemon/TestCalls.h"
#include "tests/daemon/TestSocket.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vennix {
namespace {

using namespace protocol;
using testing::TestSocket;

// Waits for something another thread brings about; false if it never happens.
bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool userClientPublished()
{
    IOService* client = IOService::copyMatchingService("AccessorUserClient");
    const bool found = client != nullptr;
    OSSafeReleaseNULL(client);
    return found;
}

std::string temporaryDirectory()
{
    char pattern[] = "/tmp/vennix-server-XXXXXX";
    const char* made = mkdtemp(pattern);
    return made ? made : "/nonexistent";
}

class SocketServerTest : public ::testing::Test {
protected:
    SocketServerTest()
    {
        services = ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    }

    ~SocketServerTest() override
    {
        server.reset(); // connections before services
        services.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    SocketServer::Options options(unsigned maxConnections = 64)
    {
        SocketServer::Options result;
        result.path = socketPath;
        result.usersFile = directory + "/users";
        result.maxConnections = maxConnections;
        return result;
    }

    void serve(unsigned maxConnections = 64,
               std::chrono::milliseconds openTimeout = SocketServer::kOpenTimeout)
    {
        std::string error;
        SocketServer::Options chosen = options(maxConnections);
        chosen.openTimeout = openTimeout;
        server = SocketServer::listen(chosen, &error);
        ASSERT_TRUE(server) << error;
        ASSERT_TRUE(server->serve(&error)) << error;
    }

    // A connection on which Vennix is matched and opened.
    std::unique_ptr<TestSocket> openClient()
    {
        auto client = std::make_unique<TestSocket>(socketPath);
        EXPECT_EQ(client->match("Vennix"), true);
        EXPECT_EQ(client->open(), kIOReturnSuccess);
        return client;
    }

    IOLogCapture log;
    std::unique_ptr<PlatformBackends> backends = PlatformBackends::simulated();
    std::unique_ptr<ServiceSet> services;
    std::string directory = temporaryDirectory();
    // In directories that do not exist yet.
    std::string socketPath = directory + "/run/vennix/vennix.sock";
    std::unique_ptr<SocketServer> server;
};

TEST_F(SocketServerTest, CreatesItsDirectoryAndASocketEveryoneCanReach)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    struct stat status{};
    ASSERT_EQ(stat((directory + "/run/vennix").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0755u);
    ASSERT_EQ(stat(socketPath.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0666u);

    server->stop();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    server->stop(); // again: nothing happens
}

TEST_F(SocketServerTest, ConnectionsThatNeverOpenAreClosedInTime)
{
    ASSERT_NO_FATAL_FAILURE(serve(8, std::chrono::milliseconds(300)));
    auto opened = openClient();
    TestSocket idle(socketPath);
    TestSocket talker(socketPath); // matches again and again, never opens
    ASSERT_TRUE(idle.connected() && talker.connected());
    EXPECT_TRUE(eventually([&] { return server->connectionCount() == 3; }));
    const auto start = std::chrono::steady_clock::now();
    while (talker.match("Vennix") == true)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "talking kept it open";
    // The idle one is closed once its time is up; the opened one stays.
    EXPECT_TRUE(eventually([&] { return server->connectionCount() == 1; }));
    EXPECT_EQ(idle.match("Vennix"), std::nullopt);
    const auto info = opened->call(testing::getInfoCall());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->result, kIOReturnSuccess);
}

TEST_F(SocketServerTest, ServesCallsOnEachConnection)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    auto vennix = openClient();
    const auto info = vennix->call(testing::getInfoCall());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->result, kIOReturnSuccess);
    EXPECT_EQ(info->structureOutput.size(), 464u);

    TestSocket acpi(socketPath);
    EXPECT_EQ(acpi.match("ACPIAccessor"), true);
    EXPECT_EQ(acpi.open(), kIOReturnSuccess);
    const auto status = acpi.call(testing::acpiCall(kAccessorMethodGetValueOnDevice, "_STA"));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->result, kIOReturnSuccess);
    EXPECT_EQ(server->connectionCount(), 2u);
}

TEST_F(SocketServerTest, EmptyAndOversizedPacketsAreAnsweredAndTheConnectionGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    auto client = openClient();

    ASSERT_TRUE(client->sendPacket(nullptr, 0));
    EXPECT_EQ(client->receive(), encodeErrorReply(kIOReturnBadArgument));

    Packet huge = encodeCall(testing::getInfoCall(kMaxPacketSize));
    ASSERT_GT(huge.size(), kMaxPacketSize);
    ASSERT_TRUE(client->sendPacket(huge));
    EXPECT_EQ(client->receive(), encodeCallReply(kIOReturnBadArgument, nullptr, 0, nullptr, 0));

    ASSERT_TRUE(client->sendPacket(Packet{7, 7}));
    EXPECT_EQ(client->receive(), encodeErrorReply(kIOReturnBadArgument));

    const auto info = client->call(testing::getInfoCall());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->result, kIOReturnSuccess);
}

TEST_F(SocketServerTest, ConnectionsBeyondTheLimitAreClosedAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(serve(2));
    auto first = openClient();
    auto second = openClient();
    EXPECT_EQ(server->connectionCount(), 2u);

    TestSocket third(socketPath);
    EXPECT_EQ(third.match("Vennix"), std::nullopt);
    EXPECT_EQ(server->connectionCount(), 2u);

    // Once one of the two has gone, a new connection is served again.
    first.reset();
    ASSERT_TRUE(eventually([&] { return server->connectionCount() == 1; }));
    TestSocket fourth(socketPath);
    EXPECT_EQ(fourth.match("Vennix"), true);
    EXPECT_EQ(second->call(testing::getInfoCall())->result, kIOReturnSuccess);
}

TEST_F(SocketServerTest, ClientThatVanishesMidCallCostsOnlyItsConnection)
{
    ASSERT_NO_FATAL_FAILURE(serve(1));
    {
        auto client = openClient();
        ASSERT_TRUE(client->sendPacket(encodeCall(testing::readMSRCall(0x10, 8))));
    } // closed before the answer
    ASSERT_TRUE(eventually([&] { return server->connectionCount() == 0; }));
    EXPECT_FALSE(userClientPublished());

    auto next = openClient();
    const auto reply = next->call(testing::readMSRCall(0x10, 8));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, kIOReturnSuccess);
}

TEST_F(SocketServerTest, StopEndsEveryConnectionBeforeTheServicesGo)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    auto first = openClient();
    auto second = openClient();
    TestSocket idle(socketPath); // connected, nothing sent
    ASSERT_TRUE(eventually([&] { return server->connectionCount() == 3; }));
    EXPECT_TRUE(userClientPublished());

    server->stop();
    EXPECT_EQ(server->connectionCount(), 0u);
    EXPECT_FALSE(userClientPublished());
    EXPECT_EQ(first->receive(), std::nullopt);
    EXPECT_EQ(idle.receive(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    EXPECT_FALSE(TestSocket(socketPath).connected());

    log.clear();
    services.reset();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"PCIAccessor/ free\n", "H_ECAccessor/ free\n",
                                                     "ACPIAccessor/ free\n", "Vennix/ free\n"}));
}

TEST_F(SocketServerTest, AClientThatNeverReadsItsRepliesIsDroppedAndHoldsNobodyUp)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    auto stuck = openClient();
    // Calls until neither side has room left: the daemon then holds a reply nobody reads.
    const Packet call = encodeCall(testing::getInfoCall());
    size_t sent = 0;
    for (;;) {
        if (::send(stuck->fd(), call.data(), call.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
            ++sent;
            continue;
        }
        pollfd room{stuck->fd(), POLLOUT, 0};
        if (::poll(&room, 1, 200) <= 0)
            break;
    }
    EXPECT_GT(sent, 0u);
    // Another client is served meanwhile, at once.
    const auto start = std::chrono::steady_clock::now();
    auto other = openClient();
    EXPECT_EQ(other->call(testing::getInfoCall())->result, kIOReturnSuccess);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    // The one that does not read is dropped once its reply has waited too long.
    EXPECT_TRUE(eventually([&] { return server->connectionCount() == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, SocketServer::kSendTimeout + std::chrono::seconds(2));
    server->stop();
    EXPECT_FALSE(userClientPublished());
}

TEST_F(SocketServerTest, StaleSocketIsReplacedLiveOneRefused)
{
    // A socket file nobody listens on, as a killed daemon leaves it.
    std::filesystem::create_directories(directory + "/run/vennix");
    {
        const int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
    }
    ASSERT_NO_FATAL_FAILURE(serve());

    std::string error;
    EXPECT_EQ(SocketServer::listen(options(), &error), nullptr);
    EXPECT_EQ(error, "another vennixd listens on " + socketPath);
    // The refused server left the first one's socket alone.
    auto client = openClient();
    EXPECT_EQ(client->call(testing::getInfoCall())->result, kIOReturnSuccess);
}

TEST_F(SocketServerTest, RefusesPathsThatAreNoSocket)
{
    std::filesystem::create_directories(directory + "/run/vennix");
    std::ofstream(socketPath) << "keep me";
    std::string error;
    EXPECT_EQ(SocketServer::listen(options(), &error), nullptr);
    EXPECT_NE(error.find("is not a socket"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(socketPath), 7u);

    SocketServer::Options tooLong = options();
    tooLong.path = directory + "/" + std::string(120, 'x');
    EXPECT_EQ(SocketServer::listen(tooLong, &error), nullptr);
    EXPECT_NE(error.find("longer than"), std::string::npos) << error;
}

TEST_F(SocketServerTest, StopBeforeServeRemovesTheSocket)
{
    std::string error;
    server = SocketServer::listen(options(), &error);
    ASSERT_TRUE(server) << error;
    EXPECT_TRUE(std::filesystem::exists(socketPath));
    server->stop();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    EXPECT_FALSE(server->serve(&error));
}

TEST(PeerCredentials, FromTheKernel)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const auto peer = AccessControl::peerOf(pair[0]);
    ::close(pair[0]);
    ::close(pair[1]);
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->pid, getpid());
    EXPECT_EQ(peer->uid, getuid());
    EXPECT_EQ(peer->gid, getgid());
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
    groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
    std::sort(groups.begin(), groups.end());
    std::vector<gid_t> reported = peer->groups;
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, groups);

    EXPECT_EQ(AccessControl::peerOf(-1), std::nullopt);
}

} // namespace
} // namespace vennix
