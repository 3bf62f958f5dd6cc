// Replies no honest service sends: a header that claims more CPUs than were asked for, a
// header for another batch, a failure that still wrote bytes. The accessor and both channels
// must stay inside their buffers and keep what they showed. Run under AddressSanitizer, so a
// row read past a buffer fails here.

#include "ChannelRows.h"

#include "telemetry/CPUChannel.h"
#include "telemetry/IntelCPU.h"
#include "telemetry/PackageChannel.h"

#include "protocol/AccessorTypes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace qarn {
namespace {

using test::rowValue;
using vennix::MSRBatchResult;

// A connection whose batch replies the test writes: for each call, the request's count and
// CPUs, and the reply's header and values (MSR i of every row reads values[i], 0 past them).
class ForgedConnection final : public ServiceConnection {
public:
    struct Reply {
        IOReturn status = vennix::kIOReturnSuccess;
        int64_t headerCount = -1; // -1: the request's count
        uint32_t headerCPUs = 1;
        std::vector<uint64_t> values;
    };
    std::function<Reply(uint32_t count, uint32_t cpus)> answer;

    void close() override {}
    bool isOpen() const override { return true; }

protected:
    IOReturn perform(MethodCall& call) override
    {
        if (call.selector != vennix::kAccessorMethodGetMSRs || call.structureInputSize < 8) {
            ADD_FAILURE() << "unexpected selector " << call.selector;
            call.structureOutputSize = 0;
            return vennix::kIOReturnBadArgument;
        }
        const uint32_t count = vennix::readU32(call.structureInput, 0);
        const uint32_t cpus = vennix::readU32(call.structureInput, 4);
        const Reply reply = answer(count, cpus);
        // Fill every byte the caller gave room for, as a broken service might.
        auto* out = static_cast<uint8_t*>(call.structureOutput);
        const size_t room = call.structureOutputSize;
        for (size_t offset = MSRBatchResult::kHeaderSize, i = 0; offset + 8 <= room; offset += 8, ++i) {
            const size_t position = count ? i % count : 0;
            vennix::writeU64(out, offset, position < reply.values.size() ? reply.values[position] : 0);
        }
        if (room >= MSRBatchResult::kHeaderSize) {
            vennix::writeU32(out, 0, reply.headerCount < 0 ? count : static_cast<uint32_t>(reply.headerCount));
            vennix::writeU32(out, 4, reply.headerCPUs);
            vennix::writeF64(out, 8, 1.0);
        }
        if (reply.status != vennix::kIOReturnSuccess)
            call.structureOutputSize = 0;
        return reply.status;
    }
};

vennix::i386_cpu_info_t record(uint32_t cores, uint32_t threads)
{
    vennix::i386_cpu_info_t info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.cpuid_vendor, "GenuineIntel", 12);
    info.core_count = cores;
    info.thread_count = threads;
    return info;
}

struct Forged {
    explicit Forged(uint32_t cores = 4, uint32_t threads = 8, const char* vendor = "GenuineIntel")
    {
        auto owned = std::make_unique<ForgedConnection>();
        connection = owned.get();
        vennix::i386_cpu_info_t info = record(cores, threads);
        std::memcpy(info.cpuid_vendor, vendor, 12);
        cpu = std::make_shared<IntelCPU>(std::move(owned), info);
    }
    ForgedConnection* connection = nullptr;
    std::shared_ptr<IntelCPU> cpu;
};

TEST(ForgedReply, MetricsReadNoMoreThanFortyRows)
{
    Forged forged;
    forged.connection->answer = [](uint32_t count, uint32_t cpus) {
        ForgedConnection::Reply reply;
        reply.headerCPUs = 1000;
        if (count == 2) // temperature target 100, valid readout 40: 60 on every row
            reply.values = {uint64_t{100} << 16, (uint64_t{1} << 31) | (uint64_t{40} << 16)};
        else if (count == 1) // 1 V
            reply.values = {uint64_t{8192} << 32};
        else if (count == 4) // TSC, energy unit 2^-14 J, package and core counters
            reply.values = {1, 14 << 8, 16384, 1};
        else
            reply.values = {36 << 8, 1000, 1000};
        return reply;
    };
    EXPECT_DOUBLE_EQ(forged.cpu->coreTemperatures(), 60.0);
    EXPECT_DOUBLE_EQ(forged.cpu->sVIDs(), 1.0);
    EXPECT_DOUBLE_EQ(forged.cpu->powerConsumption(), 1.0) << "1 J in the 1 s since time 0";
    EXPECT_DOUBLE_EQ(forged.cpu->packageTemperature(), 60.0);
    const auto [average, maximum] = forged.cpu->frequencies();
    EXPECT_DOUBLE_EQ(maximum, 36.0);
    EXPECT_EQ(forged.cpu->getRatios().size(), 8u);
}

TEST(ForgedReply, AHeaderForAnotherBatchIsNoReply)
{
    Forged forged;
    forged.connection->answer = [](uint32_t count, uint32_t cpus) {
        ForgedConnection::Reply reply;
        reply.headerCount = count + 1;
        reply.headerCPUs = cpus;
        reply.values = {uint64_t{8000} << 32};
        return reply;
    };
    EXPECT_DOUBLE_EQ(forged.cpu->sVIDs(), 0.0);
    EXPECT_EQ(forged.cpu->getMSR(0x198), 0u);
}

TEST(ForgedReply, AFailureThatWroteBytesStillReadsZero)
{
    Forged forged;
    forged.connection->answer = [](uint32_t, uint32_t cpus) {
        ForgedConnection::Reply reply;
        reply.status = vennix::kIOReturnIPCError;
        reply.headerCPUs = cpus;
        reply.values = {0x1234};
        return reply;
    };
    EXPECT_EQ(forged.cpu->getMSR(0x198), 0u);
    const uint32_t msrs[] = {0x198};
    MSRBatch result(1, 8);
    EXPECT_EQ(forged.cpu->getMSRs(msrs, result, 1, 8), vennix::kIOReturnIPCError);
    EXPECT_EQ(result.cpus(), 0u);
    EXPECT_DOUBLE_EQ(forged.cpu->sVIDs(), 0.0);
}

TEST(ForgedReply, PerCPUChannelReadsNoMoreRowsThanItAskedFor)
{
    Forged forged(4, 8);
    auto channel = CPUChannel::with(forged.cpu);
    ASSERT_EQ(channel->numberOfItems(), 8);
    forged.connection->answer = [](uint32_t count, uint32_t cpus) {
        ForgedConnection::Reply reply;
        reply.headerCPUs = cpus == 1 ? 1 : 5000;
        reply.values = {24 << 8, 24 << 8}; // base 24; APERF = MPERF
        return reply;
    };
    channel->sample();
    for (int64_t i = 0; i < 8; ++i)
        EXPECT_EQ(rowValue(*channel, i), "24") << "row " << i;
}

TEST(ForgedReply, ChannelsKeepTheirRowsWhenTheReplyIsBad)
{
    Forged forged(4, 4);
    auto package = PackageChannel::with(forged.cpu);
    auto perCPU = CPUChannel::with(forged.cpu);
    uint32_t good = 1;
    forged.connection->answer = [&good](uint32_t count, uint32_t cpus) {
        ForgedConnection::Reply reply;
        reply.headerCPUs = good ? cpus : 0;
        reply.values = {0x2400, 0x2400, 0x2400, 0x2400, 0x2400, 0x2400, 0x2400};
        return reply;
    };
    package->sample();
    perCPU->sample();
    const std::string cState = rowValue(*package, 2);
    const std::string pState = rowValue(*package, 7);
    const std::string ratio = rowValue(*perCPU, 0);
    EXPECT_EQ(pState, "36  / 0.00V");
    EXPECT_EQ(ratio, "36");

    good = 0; // the header says no CPU was read
    package->sample();
    perCPU->sample();
    EXPECT_EQ(rowValue(*package, 2), cState);
    EXPECT_EQ(rowValue(*package, 7), pState);
    EXPECT_EQ(rowValue(*perCPU, 0), ratio);
}

// ---- processors whose MSRs do not hold what the rows show ------------------------------------

TEST(UnreadableProcessor, RowsShowNoNumberAndTheMonitorSaysWhy)
{
    struct Case {
        const char* vendor;
        std::vector<uint64_t> values; // every MSR of a batch, in batch order
        const char* why;              // the start of msrLimitation()
    } cases[] = {
        // Another vendor's registers answer, but they are not Intel's.
        {"AuthenticAMD", {0x2400, 0x2400, 0x2400, 0x2400, 0x2400, 0x2400, 0x2400}, "AuthenticAMD processor is not"},
        // An Intel part whose MSRs all read 0: refused in a guest, or MSR files without registers.
        {"GenuineIntel", {}, "the CPU service reads no MSRs of GenuineIntel processor"},
    };
    for (const Case& c : cases) {
        Forged forged(2, 2, c.vendor);
        forged.connection->answer = [&c](uint32_t, uint32_t cpus) {
            ForgedConnection::Reply reply;
            reply.headerCPUs = cpus;
            reply.values = c.values;
            return reply;
        };
        auto package = PackageChannel::with(forged.cpu);
        auto perCPU = CPUChannel::with(forged.cpu);
        package->sample();
        perCPU->sample();
        EXPECT_EQ(rowValue(*package, 0), "2") << c.vendor << ": the counts come from the record";
        for (int64_t row = 2; row < 8; ++row)
            EXPECT_EQ(rowValue(*package, row), "-") << c.vendor << " row " << row;
        for (int64_t row = 0; row < 2; ++row)
            EXPECT_EQ(rowValue(*perCPU, row), "-") << c.vendor << " CPU " << row;
        EXPECT_EQ(forged.cpu->msrLimitation().rfind(c.why, 0), 0u) << forged.cpu->msrLimitation();
    }
    Forged intel(2, 2);
    intel.connection->answer = [](uint32_t, uint32_t) {
        ForgedConnection::Reply reply;
        reply.values = {0x2400, 0x2400};
        return reply;
    };
    EXPECT_EQ(intel.cpu->msrLimitation(), "") << "an Intel part that answers shows its numbers";
}

// ---- no accessor: the CPU service was not found ----------------------------------------------

TEST(NoAccessor, PackageChannelShowsZeroCountsAndEmptyRows)
{
    auto channel = PackageChannel::with(nullptr);
    ASSERT_EQ(channel->numberOfItems(), 8);
    EXPECT_EQ(rowValue(*channel, 0), "0");
    EXPECT_EQ(rowValue(*channel, 1), "0");
    channel->sample();
    for (int64_t i = 2; i < 8; ++i)
        EXPECT_EQ(rowValue(*channel, i), "") << "row " << i;
    EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->dataAt(8)));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->dataAt(-1)));
}

TEST(NoAccessor, PerCPUChannelHasNoRows)
{
    auto channel = CPUChannel::with(nullptr);
    EXPECT_EQ(channel->numberOfItems(), 0);
    channel->sample();
    EXPECT_EQ(channel->numberOfItems(), 0);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->dataAt(0)));
}

TEST(NoAccessor, AnAccessorWithoutAConnectionFailsEveryCall)
{
    IntelCPU cpu(nullptr, record(2, 4));
    EXPECT_EQ(cpu.numberOfCPUs(), 4);
    EXPECT_EQ(cpu.getMSR(0x198), 0u);
    EXPECT_EQ(cpu.setMSR(0x199, 1), vennix::kIOReturnNotOpen);
    EXPECT_DOUBLE_EQ(cpu.powerConsumption(), 0.0);
    EXPECT_EQ(cpu.frequencies(), std::make_pair(0.0, 0.0));
}

} // namespace
} // namespace qarn
