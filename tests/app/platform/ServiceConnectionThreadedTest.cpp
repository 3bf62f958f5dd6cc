// The monitor's side of the CPU service: found, opened and called over the real socket of a
// real vennixd --simulate, and in-process on embedded services, with the same results.

#include "platform/EmbeddedServiceDirectory.h"
#include "platform/SocketServiceDirectory.h"

#include "protocol/AccessorTypes.h"
#include "protocol/CPUInfoRecord.h"
#include "tests/support/VennixdProcess.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

namespace qarn {
namespace {

using namespace vennix;

std::unique_ptr<ServiceConnection> openVennix(ServiceDirectory& directory)
{
    std::string why;
    auto service = directory.getMatchingService("Vennix", &why);
    EXPECT_TRUE(service) << why;
    if (!service)
        return nullptr;
    IOReturn result = kIOReturnError;
    auto connection = service->open(0, &result);
    EXPECT_EQ(result, kIOReturnSuccess) << describeIOReturn(result);
    return connection;
}

// An all-CPU batch of these MSRs for up to `cpus` rows; the bytes past the result stay 0xAB.
struct Batch {
    std::vector<uint8_t> request;
    std::vector<uint8_t> result;
    size_t size = 0;
    IOReturn status = kIOReturnError;

    Batch(std::initializer_list<uint32_t> msrs, uint32_t cpus)
        : request(MSRBatchRequest::size(msrs.size()))
        , result(MSRBatchResult::size(msrs.size(), cpus) + 16, 0xAB)
    {
        writeU32(request.data(), 0, static_cast<uint32_t>(msrs.size()));
        writeU32(request.data(), 4, cpus);
        size_t i = 0;
        for (uint32_t msr : msrs)
            writeU32(request.data(), 8 + 4 * i++, msr);
    }

    void run(ServiceConnection& connection)
    {
        size = result.size() - 16;
        status = connection.callStructMethod(kAccessorMethodGetMSRs, request.data(), request.size(),
                                             result.data(), &size);
    }

    uint32_t count() const { return readU32(result.data(), 0); }
    uint32_t cpus() const { return readU32(result.data(), 4); }
    uint64_t value(uint32_t cpu, uint32_t i) const { return readU64(result.data(), 16 + 8 * (cpu * count() + i)); }
};

void expectSimulatedRecord(ServiceConnection& connection)
{
    std::array<uint8_t, sizeof(i386_cpu_info_t) + 16> output;
    output.fill(0xAB);
    size_t size = sizeof(i386_cpu_info_t);
    ASSERT_EQ(connection.callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size),
              kIOReturnSuccess);
    EXPECT_EQ(size, 464u);
    i386_cpu_info_t info;
    std::memcpy(&info, output.data(), sizeof info);
    EXPECT_STREQ(info.cpuid_vendor, "GenuineIntel");
    EXPECT_EQ(std::string(info.cpuid_brand_string).rfind("Simulated", 0), 0u) << info.cpuid_brand_string;
    EXPECT_EQ(info.core_count, 4u);
    EXPECT_EQ(info.thread_count, 8u);
    for (size_t i = sizeof info; i < output.size(); ++i)
        ASSERT_EQ(output[i], 0xAB) << "byte " << i << " past the record was written";
}

// Every row of one batch is read at one instant on the simulated processor: rows of a batch
// share their time stamp counter, and no two batches do. Rows mixed from two batches show.
void expectUnmixedBatches(ServiceDirectory& directory)
{
    constexpr int kClients = 8;
    constexpr int kBatches = 40;
    std::array<std::vector<uint64_t>, kClients> stamps;
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            auto connection = openVennix(directory);
            if (!connection) {
                ++failures;
                return;
            }
            for (int b = 0; b < kBatches; ++b) {
                Batch batch({0x10, 0xE7}, 8);
                batch.run(*connection);
                if (batch.status != kIOReturnSuccess || batch.cpus() != 8) {
                    ++failures;
                    return;
                }
                for (uint32_t cpu = 1; cpu < 8; ++cpu)
                    if (batch.value(cpu, 0) != batch.value(0, 0))
                        ++failures;
                stamps[c].push_back(batch.value(0, 0));
            }
        });
    }
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(failures.load(), 0);
    std::set<uint64_t> distinct;
    for (const auto& list : stamps)
        distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), size_t{kClients * kBatches}) << "two batches shared an instant";
}

class SocketClient : public ::testing::Test {
protected:
    vennix::testing::VennixdProcess vennixd;
    SocketServiceDirectory directory{vennixd.socketPath()};
};

TEST_F(SocketClient, FindsOpensAndReadsTheRecordWithoutWritingPastIt)
{
    ASSERT_TRUE(vennixd.running());
    auto connection = openVennix(directory);
    ASSERT_TRUE(connection);
    expectSimulatedRecord(*connection);
}

TEST_F(SocketClient, SaysWhyAServiceCannotBeFound)
{
    std::string why;
    EXPECT_FALSE(directory.getMatchingService("NoSuchService", &why));
    EXPECT_NE(why.find("has no service NoSuchService"), std::string::npos) << why;

    SocketServiceDirectory nowhere(vennixd.directory() + "/missing.sock");
    EXPECT_FALSE(nowhere.getMatchingService("Vennix", &why));
    EXPECT_NE(why.find("is vennixd running?"), std::string::npos) << why;

    EXPECT_FALSE(directory.getMatchingService("", &why));
    EXPECT_FALSE(directory.getMatchingService(std::string("Ven\0nix", 7), &why));
}

TEST_F(SocketClient, AnAllCPUBatchFillsTheRowsTheProcessorHasAndLeavesTheRestAlone)
{
    auto connection = openVennix(directory);
    ASSERT_TRUE(connection);
    Batch batch({0xE7, 0xE8}, 16);
    batch.run(*connection);
    ASSERT_EQ(batch.status, kIOReturnSuccess);
    EXPECT_EQ(batch.count(), 2u);
    EXPECT_EQ(batch.cpus(), 8u);
    EXPECT_EQ(batch.size, MSRBatchResult::size(2, 8));
    for (size_t i = MSRBatchResult::size(2, 8); i < batch.result.size(); ++i)
        ASSERT_EQ(batch.result[i], 0xAB) << "byte " << i;
    for (uint32_t cpu = 0; cpu < 8; ++cpu)
        EXPECT_GT(batch.value(cpu, 0), 0u) << "MPERF of CPU " << cpu;
}

TEST_F(SocketClient, ScalarsAndArgumentsBeyondTheProtocolAreRefusedBeforeSending)
{
    auto connection = openVennix(directory);
    ASSERT_TRUE(connection);
    std::array<uint64_t, 17> scalars{};
    uint64_t output[17];
    uint32_t outputCount = 17;
    EXPECT_EQ(connection->callScalarMethod(kAccessorMethodSetMSRs, scalars.data(), 17, output, &outputCount),
              kIOReturnBadArgument);
    EXPECT_EQ(outputCount, 0u);
    size_t size = 8;
    EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, nullptr, &size),
              kIOReturnBadArgument);
    // The connection still works.
    expectSimulatedRecord(*connection);
}

TEST_F(SocketClient, EightClientsAtOnceNeverGetRowsOfAnotherBatch)
{
    expectUnmixedBatches(directory);
}

TEST_F(SocketClient, ClosedConnectionsGiveTheirPlaceBack)
{
    // Far more than the daemon's connection limit, one after the other.
    for (int i = 0; i < 150; ++i) {
        auto connection = openVennix(directory);
        ASSERT_TRUE(connection) << "connection " << i;
        if (i % 2 == 0)
            connection->close();
        // The odd ones close when they go out of scope.
    }
    auto connection = openVennix(directory);
    ASSERT_TRUE(connection);
    expectSimulatedRecord(*connection);
}

TEST_F(SocketClient, ADaemonThatGoesAwayEndsTheConnectionWithoutHanging)
{
    auto connection = openVennix(directory);
    ASSERT_TRUE(connection);
    auto matchedOnly = directory.getMatchingService("Vennix");
    ASSERT_TRUE(matchedOnly);
    vennixd.stop(SIGKILL);

    std::array<uint8_t, 464> output{};
    size_t size = output.size();
    EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size),
              kIOReturnIPCError);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(connection->isOpen());
    size = output.size();
    EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size),
              kIOReturnNotOpen);

    IOReturn result = kIOReturnSuccess;
    EXPECT_FALSE(matchedOnly->open(0, &result));
    EXPECT_EQ(result, kIOReturnIPCError);
}

// A stand-in daemon that answers the packets of one connection with the given answers in
// order (the last one again for any further packet).
class ScriptedDaemon {
public:
    explicit ScriptedDaemon(std::vector<std::vector<uint8_t>> answers) : fAnswers(std::move(answers))
    {
        char pattern[] = "/tmp/scripted-vennixd-XXXXXX";
        fDirectory = mkdtemp(pattern);
        fPath = fDirectory + "/s.sock";
        fListener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", fPath.c_str());
        EXPECT_EQ(bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fListener, 4), 0);
        fThread = std::thread([this] {
            const int peer = accept(fListener, nullptr, nullptr);
            if (peer < 0)
                return;
            std::vector<uint8_t> packet(70000);
            size_t next = 0;
            while (recv(peer, packet.data(), packet.size(), 0) > 0) {
                const auto& answer = fAnswers[std::min(next++, fAnswers.size() - 1)];
                send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            close(peer);
        });
    }
    ~ScriptedDaemon()
    {
        shutdown(fListener, SHUT_RDWR);
        close(fListener);
        fThread.join();
        std::filesystem::remove_all(fDirectory);
    }
    const std::string& path() const { return fPath; }

private:
    std::vector<std::vector<uint8_t>> fAnswers;
    std::string fDirectory, fPath;
    int fListener = -1;
    std::thread fThread;
};

TEST(SocketClientAnswers, AnUnreadableMatchAnswerIsNoService)
{
    for (std::vector<uint8_t> answer : {std::vector<uint8_t>{1, 0, 0, 0, 2, 0, 0, 0},    // found 2
                                        std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0},       // short
                                        std::vector<uint8_t>{3, 0, 0, 0, 1, 0, 0, 0}}) { // other type
        ScriptedDaemon daemon({answer});
        SocketServiceDirectory directory(daemon.path());
        std::string why;
        EXPECT_FALSE(directory.getMatchingService("Vennix", &why));
        EXPECT_NE(why.find("unreadable"), std::string::npos) << why;
    }
}

TEST(SocketClientAnswers, ACallAnswerLargerThanTheRoomGivenIsNotCopied)
{
    const std::vector<uint8_t> found{1, 0, 0, 0, 1, 0, 0, 0};
    const std::vector<uint8_t> opened{2, 0, 0, 0, 0, 0, 0, 0};
    // Success, no scalars, 8 structure bytes.
    const std::vector<uint8_t> tooLong{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0,
                                       1, 2, 3, 4, 5, 6, 7, 8};
    ScriptedDaemon daemon({found, opened, tooLong});
    SocketServiceDirectory directory(daemon.path());
    auto service = directory.getMatchingService("Vennix");
    ASSERT_TRUE(service);
    IOReturn result = kIOReturnError;
    auto connection = service->open(0, &result);
    ASSERT_TRUE(connection) << describeIOReturn(result);

    std::array<uint8_t, 8> output;
    output.fill(0xAB);
    size_t size = 4;
    EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size),
              kIOReturnIPCError);
    EXPECT_EQ(size, 0u);
    for (uint8_t byte : output)
        EXPECT_EQ(byte, 0xAB);
}

TEST(SocketClientAnswers, AnOpenRefusedByTheDaemonGivesItsCode)
{
    const std::vector<uint8_t> found{1, 0, 0, 0, 1, 0, 0, 0};
    const std::vector<uint8_t> refused{2, 0, 0, 0, 0xE2, 0x02, 0, 0xE0}; // kIOReturnNotPermitted
    ScriptedDaemon daemon({found, refused});
    SocketServiceDirectory directory(daemon.path());
    auto service = directory.getMatchingService("Vennix");
    ASSERT_TRUE(service);
    IOReturn result = kIOReturnSuccess;
    EXPECT_FALSE(service->open(0, &result));
    EXPECT_EQ(result, kIOReturnNotPermitted);
    EXPECT_NE(describeIOReturn(result).find("group vennix"), std::string::npos);
}

class EmbeddedClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        directory = EmbeddedServiceDirectory::simulated(&why);
        ASSERT_TRUE(directory) << why;
    }

    std::shared_ptr<EmbeddedServiceDirectory> directory;
};

TEST_F(EmbeddedClient, AnswersAsTheDaemonDoes)
{
    auto connection = openVennix(*directory);
    ASSERT_TRUE(connection);
    expectSimulatedRecord(*connection);

    Batch batch({0xE7, 0xE8}, 16);
    batch.run(*connection);
    ASSERT_EQ(batch.status, kIOReturnSuccess);
    EXPECT_EQ(batch.size, MSRBatchResult::size(2, 8));
    for (size_t i = MSRBatchResult::size(2, 8); i < batch.result.size(); ++i)
        ASSERT_EQ(batch.result[i], 0xAB) << "byte " << i;

    // A structure over 4096 bytes counts as missing, as on the socket.
    std::vector<uint8_t> big(5000);
    size_t size = big.size();
    EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, big.data(), &size),
              kIOReturnBadArgument);
    EXPECT_EQ(size, 0u);

    connection->close();
    EXPECT_FALSE(connection->isOpen());
    size = 464;
    EXPECT_EQ(connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, big.data(), &size),
              kIOReturnNotOpen);
}

TEST_F(EmbeddedClient, EightThreadsAtOnceNeverGetRowsOfAnotherBatch)
{
    expectUnmixedBatches(*directory);
}

TEST_F(EmbeddedClient, AServiceOpensOnceAndAnUnknownOneIsNotFound)
{
    auto service = directory->getMatchingService("Vennix");
    ASSERT_TRUE(service);
    IOReturn result = kIOReturnError;
    auto first = service->open(0, &result);
    EXPECT_TRUE(first);
    EXPECT_FALSE(service->open(0, &result));
    EXPECT_EQ(result, kIOReturnNotOpen);
    std::string why;
    EXPECT_FALSE(directory->getMatchingService("Nope", &why));
    EXPECT_FALSE(why.empty());
}

TEST_F(EmbeddedClient, TwoSetsInOneProcessNeverAnswerEachOther)
{
    std::string why;
    auto other = EmbeddedServiceDirectory::simulated(&why);
    ASSERT_TRUE(other) << why;
    auto mine = openVennix(*directory);
    auto theirs = openVennix(*other);
    ASSERT_TRUE(mine && theirs);
    // A write through one set reaches its own processor only.
    const uint64_t write[] = {1, 1, 0x1AD, 0x26272829};
    uint32_t none = 0;
    ASSERT_EQ(mine->callScalarMethod(kAccessorMethodSetMSRs, write, 4, nullptr, &none), kIOReturnSuccess);
    auto readTurbo = [](ServiceConnection& connection) {
        Batch batch({0x1AD}, 1);
        batch.run(connection);
        EXPECT_EQ(batch.status, kIOReturnSuccess);
        return readU64(batch.result.data(), MSRBatchResult::kHeaderSize);
    };
    EXPECT_EQ(readTurbo(*mine), 0x26272829u);
    EXPECT_EQ(readTurbo(*theirs), 0x28292A2Au) << "the other set's processor kept its turbo ratios";
}

} // namespace
} // namespace qarn
