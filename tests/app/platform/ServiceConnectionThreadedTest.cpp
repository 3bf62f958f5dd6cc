// The monitor's side of the CPU service: found, opened and called over the socket of a real
// vennixd --simulate or of a scripted stand-in, and in-process on embedded services.

#include "platform/EmbeddedServiceDirectory.h"
#include "platform/SocketServiceDirectory.h"
#include "protocol/AccessorTypes.h"
#include "protocol/CPUInfoRecord.h"
#include "protocol/Protocol.h"
#include "tests/support/VennixdChild.h"
#include <gtest/gtest.h>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace qarn {
namespace {

using namespace vennix;
using Bytes = std::vector<uint8_t>;

std::unique_ptr<ServiceConnection> openVennix(ServiceDirectory& directory) {
    auto service = directory.getMatchingService("Vennix");
    return service ? service->open(0) : nullptr;
}

// A batch of msrs on up to `cpus` CPUs into a result with 16 bytes to spare, filled with 0xAB.
struct Batch {
    Bytes request, result;
    size_t size = 0;
    IOReturn status;

    Batch(std::vector<uint32_t> msrs, uint32_t cpus, ServiceConnection& connection)
        : request(MSRBatchRequest::size(msrs.size())), result(MSRBatchResult::size(msrs.size(), cpus) + 16, 0xAB) {
        MSRBatchRequest::write(request.data(), msrs.data(), static_cast<uint32_t>(msrs.size()), cpus);
        size = result.size() - 16;
        status = connection.callStructMethod(kAccessorMethodGetMSRs, request.data(), request.size(), result.data(),
                                             &size);
    }
    uint64_t value(uint32_t cpu, uint32_t i) const {
        return readU64(result.data(), 16 + 8 * (cpu * readU32(result.data(), 0) + i));
    }
};

// What the socket and the embedded services answer alike, on the simulated processor.
void expectServedAsTheDaemonServes(ServiceDirectory& directory) {
    auto service = directory.getMatchingService("Vennix");
    auto connection = service ? service->open(0) : nullptr;
    ASSERT_TRUE(connection);
    IOReturn again = kIOReturnSuccess;
    EXPECT_FALSE(service->open(0, &again));
    EXPECT_EQ(again, kIOReturnNotOpen) << "a service opens once";
    Bytes output(sizeof(i386_cpu_info_t) + 16, 0xAB);
    size_t size = sizeof(i386_cpu_info_t);
    ASSERT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size), kIOReturnSuccess);
    i386_cpu_info_t info;
    std::memcpy(&info, output.data(), sizeof info);
    EXPECT_EQ(std::make_tuple(size, info.core_count, info.thread_count), std::make_tuple(sizeof info, 4u, 8u));
    EXPECT_STREQ(info.cpuid_vendor, "GenuineIntel");
    EXPECT_EQ(Bytes(output.begin() + size, output.end()), Bytes(16, 0xAB)) << "written past the record";
    const Batch batch({0xE7, 0xE8}, 16, *connection);
    ASSERT_EQ(batch.status, kIOReturnSuccess);
    EXPECT_EQ(std::make_pair(readU32(batch.result.data(), 4), batch.size), std::make_pair(8u, size_t{16 + 16 * 8}));
    EXPECT_EQ(Bytes(batch.result.begin() + batch.size, batch.result.end()),
              Bytes(batch.result.size() - batch.size, 0xAB));
    EXPECT_GT(batch.value(7, 0), 0u) << "MPERF of the last CPU";
    // Calls beyond the protocol are refused before they are sent; sixteen scalars each way go.
    uint64_t scalars[17] = {1, 1}; // then writes of the turbo ratios it has
    for (int i = 2; i < 17; ++i)
        scalars[i] = i % 2 ? 0x28292A2A : 0x1AD;
    uint32_t count = 17;
    EXPECT_EQ(connection->callScalarMethod(kAccessorMethodSetMSRs, scalars, 17, nullptr, 0), kIOReturnBadArgument);
    EXPECT_EQ(connection->callScalarMethod(kAccessorMethodSetMSRs, scalars, 10, scalars, &count), kIOReturnBadArgument);
    EXPECT_EQ(count, 0u);
    count = 16;
    EXPECT_EQ(connection->callScalarMethod(kAccessorMethodSetMSRs, scalars, 16, scalars, &count), kIOReturnSuccess);
    Bytes big(5000);
    for (void* room : {static_cast<void*>(nullptr), static_cast<void*>(big.data())}) {
        size = room ? big.size() : 8; // a structure over 4096 bytes counts as missing
        EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, room, &size), kIOReturnBadArgument);
        EXPECT_EQ(size, 0u);
    }
    connection->close();
    EXPECT_FALSE(connection->isOpen());
    size = 464;
    EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size), kIOReturnNotOpen);
}

class SocketClient : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vennixd.running()) << vennixd.problem(); }
    vennix::testing::VennixdChild vennixd;
    SocketServiceDirectory directory{vennixd.socketPath()};
};

TEST_F(SocketClient, AnswersAsTheDaemonServesSaysWhyAServiceCannotBeFoundAndEndsWithTheDaemon) {
    expectServedAsTheDaemonServes(directory);
    const std::string here = vennixd.socketPath();
    const std::tuple<std::string, std::string, std::string> unavailable[] = { // socket, name, why
        {here, "NoSuchService", "has no service NoSuchService"}, {here, std::string(128, 'V'), "has no service VVV"},
        {here, std::string(129, 'V'), "bad service name"}, {here, "", "bad service name"},
        {here, std::string("V\0x", 3), "bad service name"}, {here + "x", "Vennix", "is vennixd running?"},
        {std::string(108, 'p'), "Vennix", "bad socket path"}};
    for (const auto& [socket, name, why] : unavailable) {
        std::string said;
        EXPECT_FALSE(SocketServiceDirectory(socket).getMatchingService(name, &said));
        EXPECT_NE(said.find(why), std::string::npos) << said;
    }
    for (int i = 0; i < 150; ++i) { // far more than the daemon's connection limit
        auto connection = openVennix(directory);
        ASSERT_TRUE(connection) << "connection " << i;
        if (i % 2 == 0)
            connection->close(); // the others close as they go
    }
    auto connection = openVennix(directory);
    auto matchedOnly = directory.getMatchingService("Vennix");
    ASSERT_TRUE(connection && matchedOnly);
    vennixd.stop(SIGKILL);
    Bytes output(464);
    for (IOReturn expected : {kIOReturnIPCError, kIOReturnNotOpen}) {
        size_t size = output.size();
        EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size), expected);
        EXPECT_EQ(size, 0u);
        EXPECT_FALSE(connection->isOpen());
    }
    IOReturn result = kIOReturnSuccess;
    EXPECT_FALSE(matchedOnly->open(0, &result));
    EXPECT_EQ(result, kIOReturnIPCError);
}

// A stand-in daemon that answers the packets of one connection with the given answers in turn.
class ScriptedDaemon {
public:
    explicit ScriptedDaemon(std::vector<Bytes> answers) : fAnswers(std::move(answers)) {
        sockaddr_un address{AF_UNIX, {}};
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        const auto* where = reinterpret_cast<sockaddr*>(&address);
        EXPECT_TRUE(bind(fListener, where, sizeof address) == 0 && listen(fListener, 4) == 0);
        fThread = std::thread([this] {
            const int peer = accept(fListener, nullptr, nullptr);
            Bytes packet(70000);
            for (const Bytes& answer : fAnswers)
                if (peer >= 0 && recv(peer, packet.data(), packet.size(), 0) > 0)
                    send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
            close(peer);
        });
    }
    ~ScriptedDaemon() {
        shutdown(fListener, SHUT_RDWR);
        close(fListener);
        fThread.join();
    }

private:
    vennix::testing::TemporaryDirectory fDirectory;
    std::vector<Bytes> fAnswers;
    int fListener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    std::thread fThread;

public:
    const std::string path = fDirectory / "s.sock";
};

TEST(SocketClientAnswers, AnswersThatDoNotParseOrDoNotFitAreErrors) {
    const Bytes found = protocol::encodeMatchReply(true), opened = protocol::encodeOpenReply(kIOReturnSuccess);
    const Bytes matches[] = {{1, 0, 0, 0, 2, 0, 0, 0}, {1, 0, 0, 0, 1, 0, 0}, {3, 0, 0, 0, 1, 0, 0, 0}};
    for (const Bytes& match : matches) {
        ScriptedDaemon daemon({match});
        std::string why;
        EXPECT_FALSE(SocketServiceDirectory(daemon.path).getMatchingService("Vennix", &why));
        EXPECT_NE(why.find("answered something unreadable"), std::string::npos) << why;
    }
    const IOReturn refused = kIOReturnNotPermitted;
    const std::pair<Bytes, IOReturn> opens[] = {{{2, 0, 0, 0, 0}, kIOReturnIPCError},
                                                {protocol::encodeOpenReply(refused), refused}};
    for (const auto& [open, code] : opens) {
        ScriptedDaemon daemon({found, open});
        auto service = SocketServiceDirectory(daemon.path).getMatchingService("Vennix");
        IOReturn result = kIOReturnSuccess;
        EXPECT_FALSE(service && service->open(0, &result));
        EXPECT_EQ(result, code);
    }
    EXPECT_NE(describeIOReturn(kIOReturnNotPermitted).find("group vennix"), std::string::npos);
    const Bytes record(8, 1);
    ScriptedDaemon daemon({found, opened, protocol::encodeCallReply(kIOReturnSuccess, nullptr, 0, record.data(), 8)});
    SocketServiceDirectory scripted(daemon.path);
    auto connection = openVennix(scripted);
    ASSERT_TRUE(connection);
    Bytes output(8, 0xAB);
    size_t size = 4;
    EXPECT_EQ(connection->callStructMethod(0, nullptr, 0, output.data(), &size), kIOReturnIPCError);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(output, Bytes(8, 0xAB)) << "an answer larger than the room given is not copied";
}

TEST(EmbeddedClient, AnswersAsTheDaemonServesAndTwoSetsInOneProcessNeverAnswerEachOther) {
    std::string why;
    auto mine = EmbeddedServiceDirectory::simulated(&why), theirs = EmbeddedServiceDirectory::simulated();
    ASSERT_TRUE(mine && theirs) << why;
    expectServedAsTheDaemonServes(*mine);
    EXPECT_FALSE(mine->getMatchingService("Nope", &why));
    EXPECT_EQ(why, "no service Nope in this process");
    auto ours = openVennix(*mine), other = openVennix(*theirs);
    ASSERT_TRUE(ours && other);
    const uint64_t write[] = {1, 1, 0x1AD, 0x26272829};
    ASSERT_EQ(ours->callScalarMethod(kAccessorMethodSetMSRs, write, 4, nullptr, nullptr), kIOReturnSuccess);
    EXPECT_EQ(Batch({0x1AD}, 1, *ours).value(0, 0), 0x26272829u);
    EXPECT_EQ(Batch({0x1AD}, 1, *other).value(0, 0), 0x28292A2Au) << "the other set's processor kept its ratios";
}

} // namespace
} // namespace qarn
