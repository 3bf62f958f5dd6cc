// The telemetry, run under AddressSanitizer so that a read past a buffer fails here: IntelCPU on
// the real services of the simulated processor (which runs a rendezvous on the calling thread),
// with the record it is given and replies no honest service sends, the figures it derives and the
// package and per-CPU channels on batches the test answers, and ACPIAccessor's requests, replies,
// calls and creation.

#include "platform/EmbeddedServiceDirectory.h"
#include "telemetry/ACPIAccessor.h"
#include "telemetry/CPUChannel.h"
#include "telemetry/MetricsChannel.h"
#include "telemetry/PackageChannel.h"
#include "kext/platform/IOLog.h"
#include "protocol/AccessorTypes.h"
#include "protocol/MSR.h"
#include "protocol/WireFormat.h"
#include "sim/SimulatedProcessor.h"
#include <gtest/gtest.h>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <sched.h>

namespace qarn {
namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using Batches = std::vector<std::pair<uint32_t, uint32_t>>; // MSR count, CPUs
using vennix::kIOReturnSuccess;
namespace msr = vennix::msr;

History historyOf(const Channel& channel, int64_t row)
{
    const SharedHistory history = channel.sharedHistoryAt(row);
    return history ? *history : History{};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes le(uint64_t value, int size) {
    Bytes bytes;
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return bytes;
}
Bytes text(const std::string& s, int nuls = 0) {
    return Bytes(s.begin(), s.end()) + Bytes(nuls, 0);
}
Bytes number(uint64_t value) {
    return le(vennix::kObjectTypeNumber, 4) + le(value, 8);
}
Bytes string(const std::string& s, int nuls = 1) {
    return le(vennix::kObjectTypeString, 4) + text(s, nuls);
}
Bytes data(uint32_t length, const Bytes& content, uint32_t type = vennix::kObjectTypeData) {
    return le(type, 4) + le(length, 4) + content;
}
// An MSR batch's reply: the header (MSR count, CPUs, time 1.0), then the values on each of `rows` rows.
Bytes batch(uint32_t count, uint32_t cpus, const std::vector<uint64_t>& values, uint32_t rows) {
    Bytes bytes = le(count, 4) + le(cpus, 4) + le(0x3FF0000000000000, 8);
    for (uint32_t row = 0; row < rows; ++row)
        for (uint64_t value : values)
            bytes = bytes + le(value, 8);
    return bytes;
}

// Answers each call with the next scripted status and bytes, reporting them as written up to
// `size` bytes of the room; records each selector, request and whether the room came cleared.
class ScriptedConnection final : public ServiceConnection {
public:
    struct Reply {
        Bytes bytes;
        IOReturn status = vennix::kIOReturnSuccess;
        size_t size = SIZE_MAX;
    };
    std::deque<Reply> replies;
    std::vector<std::tuple<uint32_t, Bytes, size_t, bool>> calls;
    std::shared_ptr<int> closes = std::make_shared<int>(0);

    ~ScriptedConnection() override { EXPECT_TRUE(replies.empty()) << replies.size() << " replies never asked for"; }
    void close() override { ++*closes; }
    bool isOpen() const override { return *closes == 0; }

protected:
    IOReturn perform(MethodCall& call) override {
        const auto* input = static_cast<const uint8_t*>(call.structureInput);
        auto* output = static_cast<uint8_t*>(call.structureOutput);
        const Bytes room(output, output + call.structureOutputSize);
        calls.emplace_back(call.selector, Bytes(input, input + call.structureInputSize), room.size(),
                           room == Bytes(room.size(), 0));
        if (replies.empty() || replies.front().bytes.size() > room.size()) {
            ADD_FAILURE() << "no reply scripted that fits a call of selector " << call.selector;
            return vennix::kIOReturnError;
        }
        const Reply reply = replies.front();
        replies.pop_front();
        std::copy(reply.bytes.begin(), reply.bytes.end(), output);
        call.structureOutputSize = static_cast<uint32_t>(std::min(reply.size, room.size()));
        return reply.status;
    }
};

vennix::i386_cpu_info_t record(const char* vendor, uint32_t cores, uint32_t threads, const char* brand = "") {
    vennix::i386_cpu_info_t info{};
    std::snprintf(info.cpuid_vendor, sizeof info.cpuid_vendor, "%s", vendor);
    std::snprintf(info.cpuid_brand_string, sizeof info.cpuid_brand_string, "%s", brand);
    info.core_count = cores;
    info.thread_count = threads;
    return info;
}

TEST(IntelCPUReplies, RowsAreCutToThoseAskedForAndWrittenAndAnyOtherReplyIsNone) {
    auto owned = std::make_unique<ScriptedConnection>();
    auto& replies = owned->replies;
    IntelCPU cpu(std::move(owned), record("GenuineIntel", 4, 8));
    const uint32_t perfStatus[] = {msr::kPerfStatus};
    MSRBatch result(1, 8);
    replies.push_back({batch(2, 1000, {100 << 16, uint64_t{1} << 31 | 40 << 16}, 40)}); // all forty rows of room
    EXPECT_DOUBLE_EQ(cpu.coreTemperatures(), 60.0);
    replies.push_back({batch(0, 1000, {}, 0)});
    EXPECT_EQ(cpu.getMSRs(nullptr, nullptr, 0), vennix::kIOReturnSuccess) << "one row of no MSR";
    replies.push_back({batch(1, 8, {0x1234}, 8), vennix::kIOReturnSuccess, 16 + 8 * 2});
    EXPECT_EQ(cpu.getMSRs(perfStatus, result, 1, 8), vennix::kIOReturnSuccess);
    EXPECT_EQ(result.cpus(), 2u) << "the rows the reply holds";
    replies.push_back({batch(1, 1, {0x1234}, 1), vennix::kIOReturnIPCError});
    EXPECT_EQ(cpu.getMSRs(perfStatus, result, 1, 8), vennix::kIOReturnIPCError);
    EXPECT_EQ(result.cpus() + result.value(0, 0), 0u) << "a failure that wrote";
    replies.push_back({batch(1, 1, {0x1234}, 1), vennix::kIOReturnSuccess, 8}); // not even a header
    replies.push_back({batch(2, 1, {0x1234}, 1)});                              // for another batch
    replies.push_back({batch(1, 0, {0x1234}, 1)});                              // no row
    for (int reply = 0; reply < 3; ++reply) {
        uint64_t value = 99;
        EXPECT_EQ(cpu.getMSRs(perfStatus, &value, 1), vennix::kIOReturnError) << "reply " << reply;
        EXPECT_EQ(value, 0u) << "reply " << reply;
    }
}

TEST(IntelCPURecord, TextsEndWithinTheirFieldsAndCountsWithinWhatLinuxNumbers) {
    vennix::i386_cpu_info_t info = record("", 100000, 8193);
    std::memset(info.cpuid_vendor, 'V', sizeof info.cpuid_vendor);
    std::memset(info.cpuid_brand_string, 'B', sizeof info.cpuid_brand_string);
    IntelCPU cpu(nullptr, info);
    EXPECT_EQ(std::make_pair(cpu.numberOfCPUs(), cpu.numberOfCores()), std::make_pair(8192, 8192));
    EXPECT_EQ(cpu.processorName(), std::string(47, 'B') + " (" + std::string(15, 'V') + ")");
    EXPECT_EQ(IntelCPU(nullptr, record("", 8192, 8191)).numberOfCPUs(), 8191);
    EXPECT_EQ(cpu.getMSR(msr::kPerfStatus), 0u) << "without a connection";
    EXPECT_EQ(cpu.setMSR(0x199, 1), vennix::kIOReturnNotOpen);
}

// Notes each batch's MSR count and CPUs, and passes it on to the service behind its connection,
// if it has one. Else it answers from registers per CPU (unknown ones read 0), stamped `time`: a
// calling-CPU batch reads CPU `calling`, batches on more CPUs than failAbove fail, and a reply holds
// `rows` rows where that is not negative.
class TestCPU final : public IntelCPU {
public:
    using IntelCPU::getMSRs;
    using IntelCPU::IntelCPU;
    // cpus CPUs answer; the record says cores and threads (0: cpus).
    TestCPU(unsigned cpus, unsigned cores, unsigned threads = 0, const char* vendor = "GenuineIntel",
            const char* brand = "")
        : IntelCPU(nullptr, record(vendor, cores, threads ? threads : cpus, brand)), registers(cpus) {}
    IOReturn getMSRs(const uint32_t* msrs, MSRBatch& result, uint32_t count, uint32_t cpus) override {
        batches.emplace_back(count, cpus);
        if (registers.empty())
            return IntelCPU::getMSRs(msrs, result, count, cpus);
        EXPECT_TRUE(count == result.count() && cpus <= result.rows()) << "a batch that does not fit its result";
        result.clear();
        if (cpus > failAbove)
            return vennix::kIOReturnIPCError;
        result.fill(rows >= 0 ? rows : cpus > 1 ? std::min<uint32_t>(cpus, registers.size()) : 1, time);
        for (uint32_t n = 0; n < result.cpus(); ++n)
            for (uint32_t i = 0; i < count; ++i)
                result.set(n, i, registers.at(cpus > 1 ? n : calling)[msrs[i]]);
        return kIOReturnSuccess;
    }
    void setAll(uint32_t msr, uint64_t value) {
        for (auto& cpu : registers)
            cpu[msr] = value;
    }
    std::vector<std::map<uint32_t, uint64_t>> registers;
    unsigned calling = 0;
    uint32_t failAbove = UINT32_MAX;
    int rows = -1;
    double time = 1.0;
    Batches batches;
};

// The simulated services, where `name` finds the service named `finds`.
class SimulatedServices final : public ServiceDirectory {
public:
    explicit SimulatedServices(std::string name = "", std::string finds = "") : fName(name), fFinds(finds) {}
    std::unique_ptr<MatchedService> getMatchingService(const std::string& name, std::string* why) override {
        return fServices->getMatchingService(name == fName ? fFinds : name, why);
    }
    std::string description() const override { return "simulated"; }
    // An accessor on a connection of its own, with the record IntelCPU::create fetched.
    std::shared_ptr<TestCPU> cpu() {
        const auto created = IntelCPU::create(*this);
        return created ? std::make_shared<TestCPU>(openService("Vennix"), created->info()) : nullptr;
    }

private:
    vennix::IOLogCapture fLog; // the services' own lines, kept off standard error
    std::shared_ptr<EmbeddedServiceDirectory> fServices = EmbeddedServiceDirectory::simulated();
    std::string fName, fFinds;
};

class IntelCPUOnTheService : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cpu); }
    SimulatedServices services;
    std::shared_ptr<TestCPU> cpu = services.cpu();
};

TEST_F(IntelCPUOnTheService, SingleReadsAndWritesGoToTheCallingCPUAllCPUWritesToEvery) {
    cpu_set_t before, one; // pinned to one CPU, which the simulated processor takes modulo 8
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    const int here = sched_getcpu();
    CPU_ZERO(&one);
    CPU_SET(here, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(cpu->setAllMSRs(msr::kBiosSignId, 0x1111), kIOReturnSuccess);
    EXPECT_EQ(cpu->setMSR(msr::kBiosSignId, 0x2222), kIOReturnSuccess);
    EXPECT_EQ(cpu->getMSR(msr::kBiosSignId), 0x2222u);
    sched_setaffinity(0, sizeof before, &before);
    const uint32_t signature[] = {msr::kBiosSignId};
    MSRBatch rows(1, 8);
    ASSERT_EQ(cpu->getMSRs(signature, rows, 1, 8), kIOReturnSuccess);
    for (uint32_t n = 0; n < 8; ++n)
        EXPECT_EQ(rows.value(n, 0), n == here % 8u ? 0x2222u : 0x1111u) << "CPU " << n;
}

TEST_F(IntelCPUOnTheService, NoneWhereTheServiceFailsAndBatchesInTheOrderAskedARowPerCPUWithinTheirRoom) {
    for (const char* service : {"NoSuchService", "H_ECAccessor", "ACPIAccessor"}) { // missing, refused, no record
        SimulatedServices without("Vennix", service);
        EXPECT_FALSE(IntelCPU::create(without)) << service;
    }
    const uint32_t msrs[] = {msr::kTurboRatioLimit, msr::kPlatformInfo, msr::kUncoreRatioLimit};
    uint64_t values[3] = {};
    EXPECT_EQ(cpu->getMSRs(msrs, values, 3), kIOReturnSuccess);
    EXPECT_EQ(values[0], sim::SimulatedProcessor::kDefaultTurboRatioLimit);
    EXPECT_EQ(values[2], sim::SimulatedProcessor::kDefaultUncoreRatioLimit);
    EXPECT_EQ(cpu->getMSRs(nullptr, nullptr, 0), kIOReturnSuccess);
    MSRBatch rows(3, 16); // room for 16 CPUs; the processor has 8
    EXPECT_EQ(cpu->getMSRs(msrs, rows, 3, 16), kIOReturnSuccess);
    EXPECT_EQ(rows.cpus(), 8u);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(rows.time(), std::chrono::duration<double>(now).count(), 5.0);
    for (uint32_t n = 0; n < 9; ++n) // the ninth row was not read
        for (uint32_t i = 0; i < 3; ++i)
            EXPECT_EQ(rows.value(n, i), n < 8 ? values[i] : 0) << "CPU " << n << ", MSR " << i;
    EXPECT_EQ(cpu->getMSRs(msrs, rows, 3, 17), vennix::kIOReturnBadArgument) << "more CPUs than rows";
    EXPECT_EQ(rows.cpus(), 0u) << "the earlier reply is gone";
    EXPECT_EQ(cpu->getMSRs(msrs, rows, 2, 16), vennix::kIOReturnBadArgument) << "a batch made for 3 MSRs";
    EXPECT_EQ(cpu->batches, (Batches{{3, 1}, {0, 1}, {3, 16}, {3, 17}, {2, 16}}));
}

TEST_F(IntelCPUOnTheService, ATickOfEveryCPUChannelIsThreeBatchesOneOfThemOnEveryCPU) {
    const auto package = PackageChannel::with(cpu);
    const auto perCPU = CPUChannel::with(cpu);
    const auto metrics = MetricsChannel::with(cpu, perCPU->readings());
    for (int tick = 0; tick < 9; ++tick) { // the averaged multiplier takes eight
        cpu->batches.clear();
        for (Channel* channel : {(Channel*)package.get(), (Channel*)perCPU.get(), (Channel*)metrics.get()})
            channel->sample();
        EXPECT_EQ(cpu->batches, (Batches{{7, 1}, {5, 1}, {7, 8}})) << "tick " << tick;
    }
    for (int64_t row = 0; row < metrics->numberOfItems(); ++row) // the simulated processor gives every figure
        EXPECT_NE(std::get<Dictionary>(metrics->dataAt(row)).at(kValueKey), MetricsChannel::kMissing)
            << metrics->toolTipAt(row);
}

TEST(IntelCPURecord, SaysWhyTheMSRRowsShowNoNumber) {
    const std::string zeros = " (every one reads 0: refused in a virtual machine, or MSR files that hold no registers)";
    // The record's vendor and brand, MSR_PLATFORM_INFO on every CPU, which batches fail, and why.
    const std::tuple<const char*, const char*, uint64_t, uint32_t, std::string> cases[] = {
        {"AuthenticAMD", "AMD EPYC  ", 0x8000, UINT32_MAX, "AMD EPYC (AuthenticAMD) is not an Intel processor"},
        {"", "", 0, UINT32_MAX, "this processor is not an Intel processor"},
        {"", "Simulated", 0, UINT32_MAX, "Simulated is not an Intel processor"},
        {"GenuineIntelX", "", 0x8000, UINT32_MAX, "GenuineIntelX processor is not an Intel processor"},
        {"GenuineIntel", "", 0, UINT32_MAX, "the CPU service reads no MSRs of GenuineIntel processor" + zeros},
        {"GenuineIntel", "", 0, 0, ""}, // the service does not answer: nothing to say yet
        {"GenuineIntel", "", 0x8000, UINT32_MAX, ""},
    };
    for (const auto& [vendor, brand, platformInfo, failAbove, why] : cases) {
        TestCPU cpu(1, 1, 0, vendor, brand);
        cpu.setAll(msr::kPlatformInfo, platformInfo);
        cpu.failAbove = failAbove;
        EXPECT_EQ(cpu.msrLimitation(), why) << vendor << "/" << brand;
    }
    EXPECT_TRUE(TestCPU(1, 1, 0, "GenuineIntel", "Simulated Core").isSimulated());
    EXPECT_FALSE(TestCPU(1, 1, 0, "GenuineIntel", "A Simulated Core").isSimulated());
}

uint64_t therm(uint64_t readout, bool valid = true) {
    return (valid ? uint64_t{1} << 31 : 0) | readout << 16;
}

// The derived figures on four CPUs of a record that counts 48 (the others offline).
class IntelCPUMetrics : public ::testing::Test {
protected:
    void setOn(unsigned n, uint32_t msr, uint64_t value) { cpu.registers.at(n)[msr] = value; }
    void ratios(uint64_t base, uint64_t turbo, uint64_t current) {
        cpu.setAll(msr::kPlatformInfo, base << 8);
        cpu.setAll(msr::kTurboRatioLimit, turbo);
        cpu.setAll(msr::kPerfStatus, current << 8);
    }
    void counters(uint64_t aPerf, uint64_t mPerf) {
        cpu.setAll(msr::kAPerf, aPerf);
        cpu.setAll(msr::kMPerf, mPerf);
    }
    TestCPU cpu{4, 2, 48};
};

TEST_F(IntelCPUMetrics, EachCallAddsTheMeanOverTheCPUsToARingOfEight) {
    ratios(24, 60, 0); // shares below 1: the current ratios are taken
    const uint64_t current[] = {20, 30, 40, 50};
    for (unsigned n = 0; n < 4; ++n)
        setOn(n, msr::kPerfStatus, current[n] << 8);
    std::vector<double> smoothed(40, 0.0);
    for (int call = 1; call <= 10; ++call) {
        EXPECT_EQ(cpu.frequencies(), std::make_pair(35.0 * std::min(call, 8) / 8.0, 35.0)) << "call " << call;
        for (unsigned n = 0; n < 4; ++n)
            smoothed[n] = (10 * smoothed[n] + current[n] / 60.0) / 11;
        EXPECT_EQ(cpu.getRatios(), smoothed) << "call " << call;
    }
    EXPECT_DOUBLE_EQ(cpu.latestFrequency(), 35.0);
    EXPECT_EQ(Batches(cpu.batches.begin(), cpu.batches.begin() + 3), (Batches{{1, 1}, {1, 1}, {3, 40}}));
}

TEST_F(IntelCPUMetrics, MeasuredRatioOnceTheSmoothedRatioPassesOneAndNoneWhileMPERFStandsStill) {
    ratios(24, 12, 36); // 36 / 12 = 3: the smoothed ratio passes 1 after five calls
    double sum = 0.0;
    for (int call = 0; call < 8; ++call) {
        counters(1500000ull * (call + 1), 2000000ull * (call + 1));
        sum += call < 5 ? 36.0 : 18.0; // 24 x 1.5M / 2M
        EXPECT_EQ(cpu.frequencies(), std::make_pair(sum / 8.0, 36.0)) << "call " << call;
    }
    cpu.frequencies();
    EXPECT_EQ(cpu.latestFrequency(), 0.0) << "no ratio, not 0/0";
    EXPECT_FALSE(std::isnan(cpu.getRatios()[0]));
}

TEST_F(IntelCPUMetrics, NoTurboRatioMakesTheShareInfiniteUnlessTheCPURanAtNoRatio) {
    cpu.frequencies(); // every register 0
    EXPECT_EQ(cpu.getRatios(), std::vector<double>(40, 0.0));
    ratios(24, 0, 36);
    counters(3000000, 2000000);
    cpu.frequencies();
    EXPECT_TRUE(std::isinf(cpu.getRatios()[3]));
    counters(4500000, 4000000);
    EXPECT_EQ(cpu.frequencies(), std::make_pair((36.0 + 18.0) / 8.0, 36.0)) << "measured";
}

TEST_F(IntelCPUMetrics, VoltageAndTemperaturesAreMeansOverTheCPUsReadKeepingTheLastValidReading) {
    EXPECT_EQ(cpu.sVIDs() + cpu.coreTemperatures() + cpu.packageTemperature(), 0.0);
    const uint64_t vids[] = {8000, 8192, 6144, 0xFFFF};
    for (unsigned n = 0; n < 4; ++n)
        setOn(n, msr::kPerfStatus, 0xABCD0000'00002400 | vids[n] << 32);
    EXPECT_DOUBLE_EQ(cpu.sVIDs(), (8000 + 8192 + 6144 + 0xFFFF) / 8192.0 / 4);
    // The offset (29:24) does not move the scale; bit 23 of the status is not the readout's.
    cpu.setAll(msr::kTemperatureTarget, uint64_t{5} << 24 | 100 << 16);
    const uint64_t rounds[2][4] = {{therm(40) | 1 << 23, therm(110), therm(50), therm(80)},
                                   {therm(40), therm(0, false), therm(50), therm(30)}};
    const double means[] = {(60 - 10 + 50 + 20) / 4.0, (60 - 10 + 50 + 70) / 4.0}; // -10 kept
    for (int round = 0; round < 2; ++round) {
        for (unsigned n = 0; n < 4; ++n)
            setOn(n, msr::kThermStatus, rounds[round][n]);
        EXPECT_DOUBLE_EQ(cpu.coreTemperatures(), means[round]) << "round " << round;
    }
    cpu.calling = 2; // the package's reading is the calling CPU's
    setOn(2, msr::kTemperatureTarget, 90 << 16);
    const std::pair<uint64_t, double> package[] = {{therm(30, false), 0.0}, {therm(30), 60.0}, {therm(0, false), 60.0},
                                                   {therm(95), -5.0}};
    for (const auto& [status, celsius] : package) {
        setOn(2, msr::kPackageThermStatus, status);
        EXPECT_DOUBLE_EQ(cpu.packageTemperature(), celsius) << std::hex << status;
    }
}

TEST_F(IntelCPUMetrics, PowerCountsAWrappedCounterNothingForTheSameInstantAndStopsWithoutAnEnergyUnit) {
    cpu.setAll(msr::kPP0EnergyStatus, 0x1234);
    // The package energy counter, the batch's time, CPU 2's energy unit (14: 2^-14 J per step), watts.
    const std::tuple<uint64_t, double, uint64_t, double> steps[] = {
        {0xFFFFFFF0, 1700000000, 14 << 8, 0xFFFFFFF0 / 16384.0 / 1700000000}, // since time 0
        {0xABCD'00000010, 1700000002, 14 << 8, 0x20 / 16384.0 / 2},            // wrapped; 63:32 are not its
        {0x4010, 1700000002, 14 << 8, 0.0},                                    // the same instant
        {0x4010, 1700000003, 14 << 8, 0.0},
        {0x4010 + 16384, 1700000003.5, 14 << 8, 2.0},
        {0x4010 + 2 * 16384, 1700000004.5, 0, 0.0}, // CPUs 2 and 3 keep their reading
        {0x4010 + 4 * 16384, 1700000005.5, 14 << 8, (2.0 + 2.0 + 1.5 + 1.5) / 4}};
    for (const auto& [counter, time, unitOfCPU2, watts] : steps) {
        cpu.setAll(msr::kRaplPowerUnit, 14 << 8);
        cpu.setAll(msr::kPackageEnergyStatus, counter);
        setOn(2, msr::kRaplPowerUnit, unitOfCPU2);
        cpu.time = time;
        EXPECT_DOUBLE_EQ(cpu.powerConsumption(), watts) << std::hex << counter;
    }
}

TEST_F(IntelCPUMetrics, FailedBatchesChangeNoHistory) {
    ratios(24, 30, 36);
    cpu.setAll(msr::kTemperatureTarget, 100 << 16);
    cpu.setAll(msr::kThermStatus, therm(40));
    cpu.setAll(msr::kPackageThermStatus, therm(45));
    cpu.frequencies();
    EXPECT_EQ(std::make_pair(cpu.coreTemperatures(), cpu.packageTemperature()), std::make_pair(60.0, 55.0));
    const auto ratios = cpu.getRatios();
    cpu.failAbove = 0;
    EXPECT_EQ(cpu.frequencies(), std::make_pair(36.0 / 8, 36.0));
    EXPECT_EQ(cpu.getRatios(), ratios);
    EXPECT_EQ(cpu.sVIDs() + cpu.coreTemperatures() + cpu.powerConsumption(), 0.0);
    EXPECT_EQ(cpu.packageTemperature(), 55.0);
    cpu.failAbove = UINT32_MAX;
    EXPECT_EQ(cpu.coreTemperatures(), 60.0);
}

Strings column(const Channel& channel, const char* key = kValueKey) {
    Strings texts;
    for (int64_t i = 0; i < channel.numberOfItems(); ++i) {
        const ItemData data = channel.dataAt(i);
        const auto* row = std::get_if<Dictionary>(&data);
        texts.push_back(row && row->count(key) ? row->at(key) : "<none>");
    }
    return texts;
}

TEST(PackageChannelTest, EightRowsFromOneBatchOnTheCallingCPUKeptWhenABatchFails) {
    auto cpu = std::make_shared<TestCPU>(8, 4);
    // Registers as recorded, with bits set around each field that its row must leave out.
    cpu->setAll(msr::kPackageCStateConfig, 0x1E008413);                               // limit 3
    cpu->setAll(msr::kTemperatureTarget, uint64_t{0x45} << 24 | 100 << 16 | 0x0A00);  // 100, offset 5
    cpu->setAll(msr::kPlatformInfo, 0x20080000'6000A400);                             // 36, not programmable
    cpu->setAll(msr::kTurboRatioLimit, 0x2122232425262728);                           // 40 39 38 ...
    cpu->setAll(msr::kTurboActivationRatio, 0x40000120);                              // 32; bit 30 no lock
    cpu->setAll(msr::kUncoreRatioLimit, 0x8CA8);                                      // 12 to 40
    cpu->registers[5][msr::kPerfStatus] = 0x0001'1F40'0000'241F;                      // 36 at 8000/8192 V
    cpu->calling = 5;
    auto channel = PackageChannel::with(cpu);
    EXPECT_EQ(column(*channel, kNameKey), (Strings{"Number of Cores", "Number of CPUs", "C-State Limit",
                                                   "Temperature Target", "Turbo Ratio", "Non Turbo Ratio",
                                                   "Uncore Ratio", "P-State and SVID"}));
    EXPECT_EQ(column(*channel), (Strings{"4", "8", "", "", "", "", "", ""}));
    channel->sample();
    const Strings sampled{"4", "8", "3", "105", "RO 40 39 38 37", "32 Unlocked, Max. 36", "12-40", "36  / 0.98V"};
    EXPECT_EQ(column(*channel), sampled);
    EXPECT_EQ(channel->sizeAt(7), (Size{130.0, 35.0}));
    for (const auto& [failAbove, rows] : {std::pair{0u, -1}, {UINT32_MAX, 0}}) { // failed, or read no CPU
        std::tie(cpu->failAbove, cpu->rows) = std::tie(failAbove, rows);
        channel->sample();
        EXPECT_EQ(column(*channel), sampled) << rows;
    }
    std::tie(cpu->failAbove, cpu->rows) = std::make_tuple(UINT32_MAX, -1);
    const std::tuple<uint32_t, uint64_t, size_t, const char*> cases[] = { // register, value, row, what it shows
        {msr::kPlatformInfo, 0x1000'2400, 4, "RW 40 39 38 37"}, // bit 28: programmable
        {msr::kTurboActivationRatio, 0x80000020, 5, "32 Locked, Max. 36"},
        {msr::kTurboActivationRatio, uint64_t{1} << 40 | 0x1F, 5, "31 Locked, Max. 36"}, // any bit from 31 up
        {msr::kPerfStatus, uint64_t{6144} << 32 | 0x1400, 7, "20  / 0.75V"},
    };
    for (const auto& [msr, value, row, shows] : cases) {
        cpu->setAll(msr, value);
        channel->sample();
        EXPECT_EQ(column(*channel).at(row), shows) << std::hex << msr << " = " << value;
    }
    auto twelve = std::make_shared<TestCPU>(1, 12);
    twelve->registers[0] = cpu->registers[0];
    auto wide = PackageChannel::with(twelve);
    wide->sample();
    EXPECT_EQ(column(*wide).at(4), "RW 40 39 38 37 36 35 34 33") << "eight ratios at most";
}

// Four CPUs at base 24, current 30.
class CPUChannelTest : public ::testing::Test {
protected:
    CPUChannelTest() {
        cpu->setAll(msr::kPlatformInfo, 24 << 8);
        cpu->setAll(msr::kPerfStatus, 30 << 8);
    }
    // Sets each CPU's APERF and MPERF, samples, and answers the rows.
    Strings sample(std::vector<std::pair<uint64_t, uint64_t>> counters) {
        for (size_t n = 0; n < counters.size(); ++n) {
            cpu->registers.at(n)[msr::kAPerf] = counters[n].first;
            cpu->registers.at(n)[msr::kMPerf] = counters[n].second;
        }
        channel->sample();
        return column(*channel);
    }
    Strings sampleAll(uint64_t aPerf, uint64_t mPerf) { return sample(std::vector(4, std::make_pair(aPerf, mPerf))); }

    std::shared_ptr<TestCPU> cpu = std::make_shared<TestCPU>(4, 2);
    std::shared_ptr<CPUChannel> channel = CPUChannel::with(cpu);
};

TEST_F(CPUChannelTest, OneRowPerCPUShowingWhatItRanAtSinceTheLastSample) {
    EXPECT_EQ(column(*channel, kNameKey),
              (Strings{"Used ratio  CPU: 0", "Used ratio  CPU: 1", "Used ratio  CPU: 2", "Used ratio  CPU: 3"}));
    EXPECT_EQ(column(*channel), Strings(4, "1.000"));
    // The first sample: since the counters were reset.
    EXPECT_EQ(sample({{3000000, 2000000}, {1000000, 2000000}, {2000000, 2000000}, {11, 10}}),
              (Strings{"36", "12", "24", "26"}));
    EXPECT_EQ(sample({{4500000, 4000000}, {1500000, 4000000}, {3500000, 4000000}, {11, 10}}),
              (Strings{"18", "6", "18", "0"})) << "base x dAPERF / dMPERF; MPERF standing still: 0";
    // A CPU whose MPERF reads 0 gives its row to the next; the last row keeps its value.
    EXPECT_EQ(sample({{6000000, 6000000}, {9999999, 0}, {5000000, 5000000}, {21, 20}}),
              (Strings{"18", "36", "24", "0"}));
    cpu->setAll(msr::kPlatformInfo, 0); // without a base: the calling CPU's current ratio
    std::tie(cpu->registers[1][msr::kPerfStatus], cpu->calling) = std::make_tuple(0x2C00, 1);
    EXPECT_EQ(sample({{7000000, 7000000}, {1, 1}, {6000000, 6000000}, {22, 21}}), Strings(4, "44"));
}

TEST_F(CPUChannelTest, AFailedBatchKeepsRowsAndCounters) {
    sampleAll(1000000, 1000000);
    for (const auto& [failAbove, rows] : {std::pair{0u, -1}, {1u, -1}, {UINT32_MAX, 0}}) { // the ratios' or the
        std::tie(cpu->failAbove, cpu->rows) = std::tie(failAbove, rows); // counters' batch, or a reply of no CPU
        EXPECT_EQ(sampleAll(4000000, 2000000), Strings(4, "24")) << failAbove;
    }
    std::tie(cpu->failAbove, cpu->rows) = std::make_tuple(UINT32_MAX, -1);
    EXPECT_EQ(sampleAll(5500000, 5000000), Strings(4, "27")) << "+4.5M / +4M since the last good sample";
}

TEST(CPUChannelRows, SixtyFourAtMostAndThoseOfCPUsNotReadShowNoNumber) {
    auto cpu = std::make_shared<TestCPU>(4, 40, 80); // the record says 80 threads; 4 answer
    cpu->setAll(msr::kPlatformInfo, 24 << 8);
    cpu->setAll(msr::kAPerf, 3000000);
    cpu->setAll(msr::kMPerf, 2000000);
    auto channel = CPUChannel::with(cpu);
    EXPECT_EQ(column(*channel, kNameKey).at(63), "Used ratio  CPU: 63");
    channel->sample();
    Strings expected(64, "-");
    std::fill_n(expected.begin(), 4, "36");
    EXPECT_EQ(column(*channel), expected);
}

TEST(UnreadableProcessor, MSRRowsShowNoNumberForAnotherVendorOrWhenBothRatiosReadZero) {
    const std::tuple<const char*, uint64_t, uint64_t, Strings> cases[] = { // vendor, ratios, rows 2 and 8
        {"AuthenticAMD", 0x2400, 0x2400, {"-", "-"}}, // another vendor's registers answer
        {"GenuineIntel", 0, 0, {"-", "-"}},
        {"GenuineIntel", 0x8000, 0, {"0", "0"}}, // either ratio suffices
        {"GenuineIntel", 0, 0x8000, {"0", "128"}}};
    for (const auto& [vendor, platformInfo, perfStatus, rows] : cases) {
        auto cpu = std::make_shared<TestCPU>(1, 1, 0, vendor);
        cpu->setAll(msr::kPlatformInfo, platformInfo);
        cpu->setAll(msr::kPerfStatus, perfStatus);
        cpu->setAll(msr::kMPerf, 1);
        auto package = PackageChannel::with(cpu);
        auto perCPU = CPUChannel::with(cpu);
        package->sample();
        perCPU->sample();
        EXPECT_EQ((Strings{column(*package).at(2), column(*perCPU).at(0)}), rows) << vendor << std::hex << perfStatus;
        EXPECT_TRUE((rows[0] != "-" || column(*package) == Strings{"1", "1", "-", "-", "-", "-", "-", "-"})) << vendor;
    }
}

// Four CPUs of a running part at multiplier 30, read by the per-CPU channel and the metrics
// channel after it.
struct MetricsRig {
    MetricsRig() {
        cpu->setAll(msr::kPlatformInfo, 24 << 8);
        cpu->setAll(msr::kTurboRatioLimit, 40);
        cpu->setAll(msr::kTemperatureTarget, 100 << 16);
        cpu->setAll(msr::kPackageThermStatus, therm(45));
        cpu->setAll(msr::kRaplPowerUnit, 14 << 8); // 2^-14 J
        const uint64_t vids[] = {8192, 8192, 9011, 9011};
        const uint64_t readouts[] = {40, 30, 45, 49};
        for (unsigned n = 0; n < 4; ++n) {
            cpu->registers[n][msr::kPerfStatus] = vids[n] << 32 | 30 << 8;
            cpu->registers[n][msr::kThermStatus] = therm(readouts[n]);
        }
    }
    // A tick of both channels: 1.5 W since the previous one.
    Strings tick() {
        cpu->setAll(msr::kPackageEnergyStatus, uint64_t{++ticks} * 3 * 16384);
        cpu->setAll(msr::kAPerf, uint64_t{ticks} * 1250); // 24 x 1.25
        cpu->setAll(msr::kMPerf, uint64_t{ticks} * 1000);
        cpu->time = 1000.0 + 2 * ticks;
        perCPU->sample();
        metrics->sample();
        return column(*metrics);
    }
    std::shared_ptr<TestCPU> cpu = std::make_shared<TestCPU>(4, 2);
    std::shared_ptr<CPUChannel> perCPU = CPUChannel::with(cpu);
    std::shared_ptr<MetricsChannel> metrics = MetricsChannel::with(cpu, perCPU->readings());
    uint64_t ticks = 0;
};
class MetricsChannelTest : public ::testing::Test, public MetricsRig {};

const std::string kMissing = MetricsChannel::kMissing;

TEST_F(MetricsChannelTest, EveryFigureWithItsUnitFromTheTicksBatchesOncePowerAndTheAverageHaveTheirTicks) {
    EXPECT_EQ(column(*metrics, kNameKey), (Strings{"Package Temperature", "Hottest Core", "Mean Core Temperature",
                                                   "Package Power", "Average Multiplier", "Highest Multiplier",
                                                   "Core Voltage"}));
    EXPECT_EQ(column(*metrics), Strings(7, kMissing)) << "not read yet";
    EXPECT_EQ(tick(), (Strings{"55 °C", "70 °C", "59.0 °C", kMissing, kMissing, "30.0 x", "1.050 V"}));
    EXPECT_NE(metrics->toolTipAt(3).find("the first one sets the baseline"), std::string::npos);
    EXPECT_NE(metrics->toolTipAt(4).find("1 so far"), std::string::npos);
    metrics->sample(); // no new read: nothing changes
    for (int more = 0; more < 6; ++more)
        tick();
    EXPECT_EQ(tick(), (Strings{"55 °C", "70 °C", "59.0 °C", "1.5 W", "30.0 x", "30.0 x", "1.050 V"}));
    EXPECT_EQ(historyOf(*metrics, MetricsChannel::kPackagePower), History(7, 1.5f)) << "a point a tick it showed";
    EXPECT_EQ(historyOf(*metrics, MetricsChannel::kHottestCore), History(8, 70.0f));
    EXPECT_EQ(metrics->toolTipAt(3).find("No figure"), std::string::npos);
    EXPECT_EQ(MetricsChannel::with(nullptr, perCPU->readings())->numberOfItems(), 0) << "no CPU service, no rows";
}

TEST_F(MetricsChannelTest, AFigureThatCannotBeHadShowsADashSaysWhyAndAddsNoPoint) {
    for (int warm = 0; warm < 8; ++warm)
        tick();
    const Strings shown = column(*metrics);
    struct Case {
        std::function<void(TestCPU&)> script;
        std::vector<int64_t> missing; // rows; the others show what they showed
        std::string why;
    } cases[] = {
        {[](TestCPU& c) { c.failAbove = 1; }, {0, 1, 2, 3, 4, 5, 6},
          "the MSR batch on every CPU failed: the CPU service cannot be reached"},
        {[](TestCPU& c) { c.failAbove = 0; }, {0, 1, 2, 3, 4, 5, 6}, "the MSR batch on the calling CPU failed"},
        {[](TestCPU& c) { c.setAll(msr::kPlatformInfo, 0), c.setAll(msr::kPerfStatus, 0); }, {0, 1, 2, 3, 4, 5, 6},
         "reads no MSRs of GenuineIntel processor"},
        {[](TestCPU& c) { c.setAll(msr::kPackageThermStatus, therm(10, false)); }, {}, ""}, // the last valid stands
        {[](TestCPU& c) { c.registers[3][msr::kRaplPowerUnit] = 0; }, {3}, "gives no energy unit"},
        {[](TestCPU& c) { c.setAll(msr::kPerfStatus, 30 << 8); }, {6}, "reports no voltage there"},
    };
    for (const auto& c : cases) {
        MetricsRig rig;
        for (int warm = 0; warm < 8; ++warm)
            rig.tick();
        std::vector<size_t> before;
        for (int64_t row = 0; row < 7; ++row)
            before.push_back(historyOf(*rig.metrics, row).size());
        c.script(*rig.cpu);
        const Strings values = rig.tick();
        for (int64_t row = 0; row < 7; ++row) {
            const bool missing = std::count(c.missing.begin(), c.missing.end(), row) != 0;
            const std::string tip = rig.metrics->toolTipAt(row);
            EXPECT_EQ(values[row], missing ? kMissing : shown[row]) << c.why << ", row " << row;
            EXPECT_EQ(tip.find("No figure: ") != std::string::npos && tip.find(c.why) != std::string::npos, missing)
                << tip;
            EXPECT_EQ(historyOf(*rig.metrics, row).size(), before[size_t(row)] + (missing ? 0 : 1)) << c.why;
        }
    }
    auto amd = std::make_shared<TestCPU>(2, 2, 0, "AuthenticAMD", "AMD EPYC");
    amd->setAll(msr::kPlatformInfo, 24 << 8);
    auto perAMD = CPUChannel::with(amd);
    auto onAMD = MetricsChannel::with(amd, perAMD->readings());
    perAMD->sample();
    onAMD->sample();
    EXPECT_EQ(column(*onAMD), Strings(7, kMissing));
    EXPECT_NE(onAMD->toolTipAt(6).find("AMD EPYC (AuthenticAMD) is not an Intel processor"), std::string::npos);
    EXPECT_NE(perAMD->toolTipAt(0).find("is not an Intel processor"), std::string::npos) << "and the per-CPU rows";
}

TEST_F(MetricsChannelTest, CoreTemperaturesWaitForAValidReadingOfEveryCPU) {
    cpu->registers[1][msr::kThermStatus] = therm(30, false);
    EXPECT_EQ(tick()[1], kMissing);
    EXPECT_NE(metrics->toolTipAt(2).find("1 of the 4 CPUs read have given no valid reading"), std::string::npos);
    cpu->registers[1][msr::kThermStatus] = therm(30);
    cpu->registers[2][msr::kThermStatus] = therm(30, false); // its first reading stands
    const Strings values = tick();
    EXPECT_EQ(Strings(values.begin() + 1, values.begin() + 3), (Strings{"70 °C", "59.0 °C"}));
}

TEST_F(MetricsChannelTest, EveryRowOfTheCPUChannelsSaysWhereItComesFrom) {
    tick();
    const auto package = PackageChannel::with(cpu);
    package->sample();
    for (const Channel* channel : {(const Channel*)package.get(), (const Channel*)perCPU.get(),
                                   (const Channel*)metrics.get()})
        for (int64_t row = 0; row < channel->numberOfItems(); ++row)
            EXPECT_NE(channel->toolTipAt(row).find("MSR 0x"), std::string::npos) << column(*channel, kNameKey)[row];
    EXPECT_EQ(historyOf(*perCPU, 0), History{30.0f}) << "the per-CPU rows keep their multiplier's";
}

TEST(ACPIAccessorRequest, KeyAndPathEachEndedWithANulThenZeroedSlackOrTheArgumentItem) {
    const size_t most = ServiceConnection::kMaxStructureSize;
    const Bytes head = text("SETV", 1) + text("/EC0", 1);
    const std::pair<Bytes, Bytes> requests[] = {
        {ACPIAccessor::makeRequest("IOACPIPlane:/_SB/EC0", "TEMP"), text("TEMP", 1) + text("IOACPIPlane:/_SB/EC0", 4)},
        {ACPIAccessor::makeRequest("/EC0", "SETV", uint64_t{0x0102030405060708}), head + number(0x0102030405060708)},
        {ACPIAccessor::makeRequest("/EC0", "SETV", std::string("on")), head + Bytes{2, 0, 0, 0, 'o', 'n', 0}},
        {ACPIAccessor::makeRequest("/EC0", "SETV", Bytes{0x12, 0, 0x34}), head + data(3, {0x12, 0, 0x34})},
        {ACPIAccessor::makeRequest("/EC0", "SETV", Bytes{}), head + data(0, {})},
        // Nothing that would reach the service as another request than the one asked for.
        {ACPIAccessor::makeRequest("/EC0", std::string("TE\0P", 4)), {}},
        {ACPIAccessor::makeRequest(std::string("/_SB\0/EC0", 9), "TEMP"), {}},
        {ACPIAccessor::makeRequest("/EC0", std::string("SE\0V", 4), uint64_t{1}), {}},
        {ACPIAccessor::makeRequest(std::string("/\0", 2), "SETV", uint64_t{1}), {}},
        {ACPIAccessor::makeRequest("/EC0", "SETV", std::string("a\0b", 3)), {}},
        {ACPIAccessor::makeRequest(std::string(most - 8, 'p'), "TEMP"), {}},
        {ACPIAccessor::makeRequest("/P", "K", Bytes(most - 12, 1)), {}},
    };
    for (size_t i = 0; i < std::size(requests); ++i)
        EXPECT_EQ(requests[i].first, requests[i].second) << "request " << i;
    EXPECT_EQ(ACPIAccessor::makeRequest(std::string(most - 9, 'p'), "TEMP").size(), most) << "the largest that fits";
    EXPECT_EQ(ACPIAccessor::makeRequest("/P", "K", Bytes(most - 13, 1)).size(), most);
}

TEST(ACPIAccessorReply, OnlyWholeStringsNumbersAndDataWithinTheSizeAreValues) {
    const auto padded = [](Bytes bytes) { return bytes + Bytes(ACPIAccessor::kReplySize - bytes.size(), 0); };
    const struct {
        Bytes reply; // decoded from an exactly sized copy
        std::optional<ACPIValue> value;
    } cases[] = {
        {number(42), uint64_t{42}}, {number(~uint64_t{0}), ~uint64_t{0}}, {le(3, 4) + le(42, 7), std::nullopt},
        {string("x", 5), std::string("x")}, {string("xyyyy", 0), std::nullopt},
        {string("x"), std::nullopt}, // its NUL in the last four bytes, where a cut string's fill is
        {le(vennix::kObjectTypeString, 4), std::nullopt}, {padded(string(std::string(195, 's'))), std::nullopt},
        {padded(string(std::string(191, 's'))), std::string(191, 's')},
        {padded(string(std::string(192, 's'), 0)), std::nullopt}, // cut by the service
        {data(2, {5, 6}), Bytes{5, 6}}, {data(0, {}), Bytes{}}, {data(3, {5, 6}), std::nullopt},
        {data(0xFFFFFFFF, Bytes(192, 1)), std::nullopt}, {Bytes{3, 0, 0}, std::nullopt},
        {le(vennix::kObjectTypeData, 4) + Bytes(3, 0), std::nullopt}, {padded(le(1, 4)), std::nullopt}, // null
        {padded(le(vennix::kObjectTypeArray, 4) + le(1, 4) + number(1)), std::nullopt},
        {data(4, {1, 2, 3, 4}, vennix::kObjectTypeDataTruncated), std::nullopt},
        {padded(le(0x03000000, 4) + le(1, 8)), std::nullopt}, // a number's tag in the wrong byte order
    };
    for (const auto& c : cases) {
        const auto copy = std::make_unique<uint8_t[]>(c.reply.size());
        std::memcpy(copy.get(), c.reply.data(), c.reply.size());
        EXPECT_EQ(ACPIAccessor::decodeReply(copy.get(), c.reply.size()), c.value)
            << "tag " << int(c.reply[0]) << ", " << c.reply.size() << " bytes";
    }
    EXPECT_FALSE(ACPIAccessor::decodeReply(nullptr, 200));
}

TEST(ACPIAccessorCall, EachMethodOnItsSelectorIntoAClearedReplyThatIsNoValueWhenTheCallFails) {
    auto owned = std::make_unique<ScriptedConnection>();
    ScriptedConnection& connection = *owned;
    const std::shared_ptr<int> closes = connection.closes;
    auto accessor = std::make_unique<ACPIAccessor>(std::move(owned));
    const std::string ec = "/EC0";
    for (const Bytes& reply : {string("Simulated EC"), Bytes{}, string("Falscher Key"), number(15), number(7)})
        connection.replies.push_back({reply});
    EXPECT_EQ(accessor->getValueOnDevice(ec, "NAME"), ACPIValue{std::string("Simulated EC")});
    EXPECT_FALSE(accessor->getValueOnDevice(ec, "XXXX")) << "a method that answers nothing";
    EXPECT_EQ(accessor->lastResult(), vennix::kIOReturnSuccess);
    EXPECT_EQ(accessor->checkValueOnDevice(ec, "XXXX"), "Falscher Key");
    EXPECT_FALSE(accessor->checkValueOnDevice(ec, "_STA")) << "a check answers only strings";
    EXPECT_EQ(accessor->setValueOnDevice(ec, "SETV", uint64_t{7}), ACPIValue{uint64_t{7}});
    using Sent = std::tuple<uint32_t, Bytes, size_t, bool>; // selector, request, a room of 200 cleared bytes
    const Sent sent[] = {{3, ACPIAccessor::makeRequest(ec, "NAME"), 200, true},
                         {3, ACPIAccessor::makeRequest(ec, "XXXX"), 200, true},
                         {5, ACPIAccessor::makeRequest(ec, "XXXX"), 200, true},
                         {5, ACPIAccessor::makeRequest(ec, "_STA"), 200, true},
                         {4, ACPIAccessor::makeRequest(ec, "SETV", uint64_t{7}), 200, true}};
    EXPECT_EQ(connection.calls, std::vector<Sent>(std::begin(sent), std::end(sent)));
    for (IOReturn status : {vennix::kIOReturnNotPrivileged, vennix::kIOReturnIPCError}) {
        for (const Bytes& reply : {number(15), string("OSNumber"), number(7)})
            connection.replies.push_back({reply, status});
        EXPECT_FALSE(accessor->getValueOnDevice(ec, "_STA")) << "whatever it wrote";
        EXPECT_FALSE(accessor->checkValueOnDevice(ec, "_STA"));
        EXPECT_FALSE(accessor->setValueOnDevice(ec, "SETV", uint64_t{7}));
        EXPECT_EQ(accessor->lastResult(), status);
    }
    EXPECT_FALSE(accessor->getValueOnDevice(ec, std::string("TE\0P", 4)));
    EXPECT_FALSE(accessor->checkValueOnDevice(ec, std::string(1, 0)));
    EXPECT_FALSE(accessor->setValueOnDevice(ec, "SETV", std::string("a\0b", 3)));
    EXPECT_EQ(accessor->lastResult(), vennix::kIOReturnBadArgument);
    EXPECT_EQ(connection.calls.size(), 11u) << "refused requests are not sent";
    EXPECT_EQ(*closes, 0);
    accessor.reset();
    EXPECT_EQ(*closes, 1) << "closed with the accessor";
    ACPIAccessor none(nullptr);
    EXPECT_FALSE(none.getValueOnDevice(ec, "_STA") || none.checkValueOnDevice(ec, "_STA"));
    EXPECT_FALSE(none.setValueOnDevice(ec, "SETV", uint64_t{1}));
    EXPECT_EQ(none.lastResult(), vennix::kIOReturnNotOpen);
}

TEST(ACPIAccessorCreate, LogsOnceWhenOpenedAndNothingWhenTheServiceIsMissingOrRefuses) {
    std::vector<std::string> logged;
    const auto sink = [&](std::string_view line) { logged.emplace_back(line); };
    SimulatedServices services;
    EXPECT_TRUE(ACPIAccessor::create(services, sink));
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(ACPIAccessor::create(services));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ACPIAccessor\n");
    for (const char* service : {"NoSuchService", "H_ECAccessor"}) { // no user client: it does not open
        SimulatedServices failing("ACPIAccessor", service);
        EXPECT_FALSE(ACPIAccessor::create(failing, sink)) << service;
    }
    EXPECT_EQ(logged, std::vector<std::string>{"ACPIAccessor"});
}

} // namespace
} // namespace qarn
