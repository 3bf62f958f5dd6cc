// The user client: opening connections, the selector table's checks and results, on a Vennix
// started on the simulated processor (eight CPUs) and an ACPIAccessor on the simulated ACPI
// namespace, and calls from several connections at once.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kext/ACPIAccessor.h"
#include "protocol/AccessorTypes.h"
#include "kext/AccessorUserClient.h"
#include "kext/H_ECAccessor.h"
#include "kext/ObjectWireFormat.h"
#include "kext/Vennix.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/OSString.h"
#include "sim/SimulatedACPI.h"
#include "sim/SimulatedProcessor.h"

namespace vennix {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFill = 0xA5;
constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5;
constexpr const char* kEC = sim::SimulatedACPI::kECPath;

// One call's arguments and the buffers behind them.
struct Call {
    Call(uint32_t selector, Bytes input, size_t outputSize, std::vector<uint64_t> scalars = {})
        : input(std::move(input)), output(outputSize, kFill), scalars(std::move(scalars))
    {
        args.selector = selector;
        args.structureInput = this->input.empty() ? nullptr : this->input.data();
        args.structureInputSize = static_cast<uint32_t>(this->input.size());
        args.structureOutput = output.empty() ? nullptr : output.data();
        args.structureOutputSize = static_cast<uint32_t>(output.size());
        args.scalarInput = this->scalars.empty() ? nullptr : this->scalars.data();
        args.scalarInputCount = static_cast<uint32_t>(this->scalars.size());
        args.scalarOutput = scalarOutput;
        args.scalarOutputCount = 4;
    }

    IOReturn on(IOUserClient* client) { return client->externalMethod(args.selector, &args); }

    uint64_t value(uint64_t cpu, uint64_t i, uint32_t count) const
    {
        return readU64(output.data(), MSRBatchResult::kHeaderSize + 8 * (cpu * count + i));
    }

    Bytes input;
    Bytes output;
    std::vector<uint64_t> scalars;
    uint64_t scalarOutput[4] = {};
    IOExternalMethodArguments args;
};

Bytes batchRequest(const std::vector<uint32_t>& msrs, uint32_t cpus)
{
    Bytes request(MSRBatchRequest::size(msrs.size()));
    writeU32(request.data(), 0, static_cast<uint32_t>(msrs.size()));
    writeU32(request.data(), 4, cpus);
    for (size_t i = 0; i < msrs.size(); ++i)
        writeU32(request.data(), 8 + 4 * i, msrs[i]);
    return request;
}

Bytes acpiRequest(const std::string& key, const std::string& path, const Bytes& argument = {})
{
    Bytes request(key.begin(), key.end());
    request.push_back(0);
    request.insert(request.end(), path.begin(), path.end());
    request.push_back(0);
    request.insert(request.end(), argument.begin(), argument.end());
    return request;
}

Bytes numberItem(uint64_t value)
{
    Bytes item(12);
    writeU32(item.data(), 0, kObjectTypeNumber);
    writeU64(item.data(), 4, value);
    return item;
}

Bytes stringItem(const std::string& text)
{
    Bytes item(4);
    writeU32(item.data(), 0, kObjectTypeString);
    item.insert(item.end(), text.begin(), text.end());
    item.push_back(0);
    return item;
}

class UserClients : public ::testing::Test {
protected:
    UserClients()
        : processor(clock), platform(IOPlatformDevice::withHardware(&processor, &clock, &acpi))
    {
        acpi.defineMethod(kEC, "_PS0", 0, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; });
        vennix = startService<Vennix>("Vennix");
        accessor = startService<ACPIAccessor>("ACPIAccessor");
        log.clear();
    }
    ~UserClients() override
    {
        for (IOService* service : {static_cast<IOService*>(vennix), static_cast<IOService*>(accessor)}) {
            service->terminate();
            service->release();
        }
        platform->release();
    }

    template <class T>
    T* startService(const char* name)
    {
        auto* service = OSDynamicCast<T>(OSMetaClass::allocClassWithName(name));
        EXPECT_TRUE(service && service->init(nullptr) && service->start(platform)) << name;
        OSString* className = OSString::withCString("AccessorUserClient");
        service->setProperty(kIOUserClientClassKey, className);
        className->release();
        return service;
    }

    // Opens a connection as the daemon does; the test closes it.
    IOUserClient* open(IOService* service)
    {
        IOUserClient* client = nullptr;
        EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, &client), kIOReturnSuccess);
        return client;
    }

    static void close(IOUserClient* client)
    {
        client->clientClose();
        client->release();
    }

    IOLogCapture log;
    ManualClock clock{1500000000, 250000};
    sim::SimulatedProcessor processor;
    sim::SimulatedACPI acpi;
    IOPlatformDevice* platform;
    Vennix* vennix = nullptr;
    ACPIAccessor* accessor = nullptr;
    task caller{1234, 1000, 1000};
};

void expectRejected(const Call& call, IOReturn status, const char* what)
{
    EXPECT_EQ(status, kIOReturnBadArgument) << what;
    EXPECT_EQ(call.args.structureOutputSize, 0u) << what;
    EXPECT_EQ(call.args.scalarOutputCount, 0u) << what;
    EXPECT_EQ(call.output, Bytes(call.output.size(), kFill)) << what;
}

TEST_F(UserClients, OpeningLogsAndChecksTheProvider)
{
    IOUserClient* client = open(vennix);
    ASSERT_NE(client, nullptr);
    EXPECT_STREQ(client->getClassName(), "AccessorUserClient");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"AccessorUserClient/ Init with task\n",
                                                     "AccessorUserClient/ Start\n"}));
    close(client);

    IOUserClient* acpiClient = open(accessor);
    ASSERT_NE(acpiClient, nullptr);
    close(acpiClient);

    // No task: refused before anything else.
    log.clear();
    IOUserClient* none = nullptr;
    EXPECT_EQ(vennix->newUserClient(nullptr, nullptr, 0, nullptr, &none), kIOReturnBadArgument);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"AccessorUserClient/ Init with task\n"});

    // A provider of another class.
    auto* ec = startService<H_ECAccessor>("H_ECAccessor");
    log.clear();
    EXPECT_EQ(ec->newUserClient(&caller, nullptr, 0, nullptr, &none), kIOReturnError);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "AccessorUserClient/ Init with task\n", "AccessorUserClient/ Start\n",
                               "AccessorUserClient/ Provider must be Vennix class service!\n"}));
    ec->terminate();
    ec->release();
}

TEST_F(UserClients, WithoutAProviderNothingIsAttached)
{
    auto* client = OSDynamicCast<AccessorUserClient>(OSMetaClass::allocClassWithName("AccessorUserClient"));
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->initWithTask(&caller, nullptr, 0, nullptr));
    Call call(kAccessorMethodGetInfo, {}, 464);
    EXPECT_EQ(call.on(client), kIOReturnNotAttached);
    EXPECT_EQ(call.args.scalarOutputCount, 0u);
    EXPECT_EQ(call.output, Bytes(464, kFill));
    EXPECT_EQ(client->externalMethod(0, nullptr), kIOReturnBadArgument);
    client->release();

    // After the connection closed, calls find no provider either.
    IOUserClient* open = this->open(vennix);
    open->clientClose();
    Call late(kAccessorMethodGetInfo, {}, 464);
    EXPECT_EQ(late.on(open), kIOReturnNotAttached);
    open->release();
}

TEST_F(UserClients, UnknownSelectorsAreBadArguments)
{
    IOUserClient* client = open(vennix);
    for (uint32_t selector : {6u, 7u, 0x100u, 0xFFFFFFFFu}) {
        Call call(selector, acpiRequest("_STA", kEC), 64, {1, 1, 0x1AD, 0});
        expectRejected(call, call.on(client), "unknown selector");
    }
    close(client);
}

TEST_F(UserClients, InfoIsTheRecordWithoutItsPointers)
{
    IOUserClient* client = open(vennix);
    Call call(kAccessorMethodGetInfo, {}, 500);
    ASSERT_EQ(call.on(client), kIOReturnSuccess);
    EXPECT_EQ(call.args.structureOutputSize, 464u);
    EXPECT_EQ(call.args.scalarOutputCount, 0u);

    i386_cpu_info_t expected;
    std::memcpy(&expected, vennix->getInfo(), sizeof expected);
    expected.cpuid_model_string = nullptr;
    expected.cpuid_mwait_leafp = nullptr;
    expected.cpuid_thermal_leafp = nullptr;
    expected.cpuid_arch_perf_leafp = nullptr;
    expected.cpuid_xsave_leafp = nullptr;
    EXPECT_EQ(std::memcmp(call.output.data(), &expected, 464), 0);
    EXPECT_EQ(readU32(call.output.data(), offsetof(i386_cpu_info_t, thread_count)), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(call.output.data())), "GenuineIntel");
    for (size_t offset : {64, 424, 432, 440, 448})
        EXPECT_EQ(readU64(call.output.data(), offset), 0u) << offset;
    // The service's own record keeps its pointers.
    EXPECT_NE(vennix->getInfo()->cpuid_thermal_leafp, nullptr);
    EXPECT_EQ(Bytes(call.output.begin() + 464, call.output.end()), Bytes(36, kFill));

    Call exact(kAccessorMethodGetInfo, {}, 464);
    EXPECT_EQ(exact.on(client), kIOReturnSuccess);
    Call small(kAccessorMethodGetInfo, {}, 463);
    expectRejected(small, small.on(client), "463 bytes");
    Call none(kAccessorMethodGetInfo, {}, 0);
    expectRejected(none, none.on(client), "no output");
    Call huge(kAccessorMethodGetInfo, {}, 4097);
    expectRejected(huge, huge.on(client), "output beyond the inline limit");
    close(client);
}

TEST_F(UserClients, BatchOnTheCallingCPU)
{
    IOUserClient* client = open(vennix);
    Call empty(kAccessorMethodGetMSRs, batchRequest({}, 1), 16);
    ASSERT_EQ(empty.on(client), kIOReturnSuccess);
    EXPECT_EQ(empty.args.structureOutputSize, 16u);
    EXPECT_EQ(readU32(empty.output.data(), 0), 0u);
    EXPECT_EQ(readU32(empty.output.data(), 4), 1u);
    EXPECT_DOUBLE_EQ(readF64(empty.output.data(), 8), 1500000000.25);

    for (uint32_t cpus : {0u, 1u}) {
        Call call(kAccessorMethodGetMSRs, batchRequest({0xCE, 0x1AD, 0x12345}, cpus), 16 + 24 + 16);
        ASSERT_EQ(call.on(client), kIOReturnSuccess);
        EXPECT_EQ(call.args.structureOutputSize, 40u);
        EXPECT_EQ(readU32(call.output.data(), 4), 1u);
        EXPECT_EQ(call.value(0, 0, 3) >> 8 & 0xFF, 40u);
        EXPECT_EQ(call.value(0, 1, 3), 0x28292A2Au);
        EXPECT_EQ(call.value(0, 2, 3), 0u);
        EXPECT_EQ(readU64(call.output.data(), 40), kUntouched);
    }

    // cpus 0 still fills one row: its buffer must have room for it.
    Call noRoom(kAccessorMethodGetMSRs, batchRequest({0xCE, 0x1AD}, 0), 16);
    expectRejected(noRoom, noRoom.on(client), "cpus 0 without room for its row");
    close(client);
}

TEST_F(UserClients, BatchOnAllCPUs)
{
    clock.advanceNanoseconds(1700000000);
    IOUserClient* client = open(vennix);

    Call two(kAccessorMethodGetMSRs, batchRequest({0xE8, 0xE7}, 2), MSRBatchResult::size(2, 8));
    ASSERT_EQ(two.on(client), kIOReturnSuccess);
    EXPECT_EQ(readU32(two.output.data(), 0), 2u);
    EXPECT_EQ(readU32(two.output.data(), 4), 2u);
    EXPECT_EQ(two.args.structureOutputSize, MSRBatchResult::size(2, 2));
    for (unsigned cpu = 0; cpu < 2; ++cpu) {
        EXPECT_EQ(two.value(cpu, 0, 2), processor.rdmsrOn(cpu, 0xE8));
        EXPECT_EQ(two.value(cpu, 1, 2), processor.rdmsrOn(cpu, 0xE7));
    }
    for (unsigned cpu = 2; cpu < 8; ++cpu)
        EXPECT_EQ(two.value(cpu, 0, 2), kUntouched) << cpu;

    // Room for 16 rows, 8 CPUs: 8 rows filled and reported.
    const uint32_t count = 3;
    Call sixteen(kAccessorMethodGetMSRs, batchRequest({0xCE, 0xE8, 0x35}, 16), MSRBatchResult::size(count, 16));
    ASSERT_EQ(sixteen.on(client), kIOReturnSuccess);
    EXPECT_EQ(readU32(sixteen.output.data(), 4), 8u);
    EXPECT_EQ(sixteen.args.structureOutputSize, 16u + 64u * count);
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        EXPECT_EQ(sixteen.value(cpu, 2, count), 0x00040008u) << cpu;
    for (unsigned cpu = 8; cpu < 16; ++cpu)
        EXPECT_EQ(sixteen.value(cpu, 0, count), kUntouched) << cpu;
    EXPECT_DOUBLE_EQ(readF64(sixteen.output.data(), 8), 1500000001.95);

    Call short16(kAccessorMethodGetMSRs, batchRequest({0xCE}, 16), MSRBatchResult::size(1, 15));
    expectRejected(short16, short16.on(client), "room for 15 rows of 16");

    // An all-CPU batch of nothing still answers the header.
    Call empty(kAccessorMethodGetMSRs, batchRequest({}, 4), 16);
    ASSERT_EQ(empty.on(client), kIOReturnSuccess);
    EXPECT_EQ(empty.args.structureOutputSize, 16u);
    EXPECT_EQ(readU32(empty.output.data(), 4), 4u);
    close(client);
}

TEST_F(UserClients, BatchRequestsThatDoNotAddUp)
{
    IOUserClient* client = open(vennix);
    Bytes claimsMore = batchRequest({0xCE, 0xCE}, 1);
    writeU32(claimsMore.data(), 0, 3);
    Call more(kAccessorMethodGetMSRs, claimsMore, 256);
    expectRejected(more, more.on(client), "count beyond the input");

    Bytes huge = batchRequest({0xCE}, 2);
    writeU32(huge.data(), 0, 0xFFFFFFFF);
    writeU32(huge.data(), 4, 0xFFFFFFFF);
    Call overflow(kAccessorMethodGetMSRs, huge, 4096);
    expectRejected(overflow, overflow.on(client), "count and cpus near 2^32");

    Call header(kAccessorMethodGetMSRs, Bytes(7, 0), 64);
    expectRejected(header, header.on(client), "input shorter than the header");
    Call noInput(kAccessorMethodGetMSRs, {}, 64);
    expectRejected(noInput, noInput.on(client), "no input");
    Call noOutput(kAccessorMethodGetMSRs, batchRequest({}, 1), 0);
    expectRejected(noOutput, noOutput.on(client), "no output");
    Call bigInput(kAccessorMethodGetMSRs, batchRequest(std::vector<uint32_t>(1023, 0xCE), 1), 4096);
    ASSERT_GT(bigInput.input.size(), 4096u);
    expectRejected(bigInput, bigInput.on(client), "input beyond the inline limit");
    close(client);
}

TEST_F(UserClients, WriteLists)
{
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        processor.wrmsrOn(cpu, 0x8B, 0);
    IOUserClient* client = open(vennix);

    Call one(kAccessorMethodSetMSRs, {}, 0, {1, 1, 0x1AD, 0x20212223});
    ASSERT_EQ(one.on(client), kIOReturnSuccess);
    EXPECT_EQ(processor.rdmsrOn(3, 0x1AD), 0x20212223u);
    EXPECT_EQ(one.args.scalarOutputCount, 0u);

    Call two(kAccessorMethodSetMSRs, {}, 0, {1, 2, 0x8B, 0x1200000000});
    ASSERT_EQ(two.on(client), kIOReturnSuccess);
    EXPECT_EQ(processor.rdmsrOn(0, 0x8B), 0x1200000000u);
    EXPECT_EQ(processor.rdmsrOn(1, 0x8B), 0x1200000000u);
    for (unsigned cpu = 2; cpu < 8; ++cpu)
        EXPECT_EQ(processor.rdmsrOn(cpu, 0x8B), 0u) << cpu;

    for (const std::vector<uint64_t>& scalars : std::vector<std::vector<uint64_t>>{
             {1, 8, 0x8B, 0x3300000000, 0x1AD},
             {1, 8, 0x8B},
             {1, 8},
             {}}) {
        Call bad(kAccessorMethodSetMSRs, {}, 0, scalars);
        EXPECT_EQ(bad.on(client), kIOReturnBadArgument) << scalars.size() << " scalars";
        EXPECT_EQ(bad.args.scalarOutputCount, 0u);
    }
    for (unsigned cpu = 2; cpu < 8; ++cpu)
        EXPECT_EQ(processor.rdmsrOn(cpu, 0x8B), 0u) << cpu; // nothing written by the rejects
    close(client);
}

TEST_F(UserClients, CPUSelectorsOnAnACPIConnectionAreUnsupported)
{
    IOUserClient* client = open(accessor);
    Call info(kAccessorMethodGetInfo, {}, 464);
    EXPECT_EQ(info.on(client), kIOReturnUnsupported);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnUnsupported), 0xE00002C7u);
    EXPECT_EQ(info.output, Bytes(464, kFill));
    EXPECT_EQ(info.args.structureOutputSize, 0u);
    Call batch(kAccessorMethodGetMSRs, batchRequest({0xCE}, 1), 24);
    EXPECT_EQ(batch.on(client), kIOReturnUnsupported);
    Call write(kAccessorMethodSetMSRs, {}, 0, {1, 1, 0x1AD, 0x30303030});
    EXPECT_EQ(write.on(client), kIOReturnUnsupported);
    EXPECT_EQ(processor.rdmsrOn(0, 0x1AD), sim::SimulatedProcessor::kDefaultTurboRatioLimit);
    close(client);
}

TEST_F(UserClients, ACPIResultsInTheWireFormat)
{
    IOUserClient* client = open(accessor);
    Call status(kAccessorMethodGetValueOnDevice, acpiRequest("_STA", kEC), 200);
    ASSERT_EQ(status.on(client), kIOReturnSuccess);
    EXPECT_EQ(status.args.structureOutputSize, 200u); // unchanged
    EXPECT_EQ(Bytes(status.output.begin(), status.output.begin() + 12), numberItem(0xF));
    EXPECT_EQ(Bytes(status.output.begin() + 12, status.output.end()), Bytes(188, kFill));

    Call check(kAccessorMethodCheckValueOnDevice, acpiRequest("BUFF", kEC), 200);
    ASSERT_EQ(check.on(client), kIOReturnSuccess);
    EXPECT_EQ(Bytes(check.output.begin(), check.output.begin() + 11), stringItem("OSData"));

    Call wrong(kAccessorMethodCheckValueOnDevice, acpiRequest("NOPE", kEC), 200);
    ASSERT_EQ(wrong.on(client), kIOReturnSuccess);
    EXPECT_EQ(Bytes(wrong.output.begin(), wrong.output.begin() + 17), stringItem("Falscher Key"));

    // A result bigger than the output is cut as the format says.
    Call name(kAccessorMethodGetValueOnDevice, acpiRequest("NAME", kEC), 12);
    ASSERT_EQ(name.on(client), kIOReturnSuccess);
    EXPECT_EQ(name.output, (Bytes{0x07, 0, 0, 0, kFill, kFill, kFill, kFill, kFill, kFill, kFill, kFill}));

    Call set(kAccessorMethodSetValueOnDevice, acpiRequest("SETV", kEC, stringItem("on")), 64);
    ASSERT_EQ(set.on(client), kIOReturnSuccess);
    EXPECT_EQ(Bytes(set.output.begin(), set.output.begin() + 7), stringItem("on"));
    EXPECT_EQ(set.output[7], kFill);
    close(client);
}

TEST_F(UserClients, ACPICallsThatYieldNothingLeaveTheOutputAlone)
{
    IOUserClient* client = open(accessor);
    for (const auto& [key, path] : std::vector<std::pair<std::string, std::string>>{
             {"_STA", "IOACPIPlane:/_SB/PCI0/LPCB/EC9"}, {"NOPE", kEC}, {"_PS0", kEC}}) {
        Call get(kAccessorMethodGetValueOnDevice, acpiRequest(key, path), 200);
        EXPECT_EQ(get.on(client), kIOReturnSuccess) << key << " " << path;
        EXPECT_EQ(get.output, Bytes(200, kFill)) << key << " " << path;
        EXPECT_EQ(get.args.structureOutputSize, 200u);
    }
    Call set(kAccessorMethodSetValueOnDevice, acpiRequest("_STA", kEC, numberItem(1)), 200);
    EXPECT_EQ(set.on(client), kIOReturnSuccess);
    EXPECT_EQ(set.output, Bytes(200, kFill));
    close(client);
}

TEST_F(UserClients, ACPIRequestsMustEndWithinTheInput)
{
    IOUserClient* client = open(accessor);
    const uint64_t before = acpi.evaluationCount();

    Bytes keyOnly{'_', 'S', 'T', 'A'};
    Call noKeyEnd(kAccessorMethodGetValueOnDevice, keyOnly, 64);
    expectRejected(noKeyEnd, noKeyEnd.on(client), "key without NUL");

    Bytes noPathEnd = acpiRequest("_STA", kEC);
    noPathEnd.pop_back();
    Call pathCut(kAccessorMethodCheckValueOnDevice, noPathEnd, 64);
    expectRejected(pathCut, pathCut.on(client), "path without NUL");

    Call keyAlone(kAccessorMethodGetValueOnDevice, Bytes{'_', 'S', 'T', 'A', 0}, 64);
    expectRejected(keyAlone, keyAlone.on(client), "no path at all");

    Call noArgument(kAccessorMethodSetValueOnDevice, acpiRequest("SETV", kEC), 64);
    expectRejected(noArgument, noArgument.on(client), "no argument");

    Bytes cut = numberItem(7);
    cut.pop_back();
    Call argumentCut(kAccessorMethodSetValueOnDevice, acpiRequest("SETV", kEC, cut), 64);
    expectRejected(argumentCut, argumentCut.on(client), "argument running past the input");

    Call nullArgument(kAccessorMethodSetValueOnDevice, acpiRequest("SETV", kEC, Bytes{1, 0, 0, 0}), 64);
    expectRejected(nullArgument, nullArgument.on(client), "null argument");

    Call smallOutput(kAccessorMethodGetValueOnDevice, acpiRequest("_STA", kEC), 11);
    expectRejected(smallOutput, smallOutput.on(client), "output below 12 bytes");
    Call noOutput(kAccessorMethodGetValueOnDevice, acpiRequest("_STA", kEC), 0);
    expectRejected(noOutput, noOutput.on(client), "no output");
    Call noInput(kAccessorMethodGetValueOnDevice, {}, 64);
    expectRejected(noInput, noInput.on(client), "no input");
    Bytes longPath = acpiRequest("_STA", std::string(5000, 'A'));
    Call bigInput(kAccessorMethodCheckValueOnDevice, longPath, 64);
    expectRejected(bigInput, bigInput.on(client), "input beyond the inline limit");

    EXPECT_EQ(acpi.evaluationCount(), before); // nothing reached the namespace
    close(client);
}

TEST_F(UserClients, ACPISelectorsOnAVennixConnection)
{
    IOUserClient* client = open(vennix);
    Call check(kAccessorMethodCheckValueOnDevice, acpiRequest("TEMP", kEC), 64);
    ASSERT_EQ(check.on(client), kIOReturnSuccess);
    EXPECT_EQ(Bytes(check.output.begin(), check.output.begin() + 13), stringItem("OSNumber"));
    close(client);
}

TEST_F(UserClients, ConnectionsCallAtTheSameTime)
{
    IOUserClient* first = open(vennix);
    IOUserClient* second = open(vennix);
    IOUserClient* third = open(accessor);
    std::atomic<int> failures{0};

    auto batches = [&](IOUserClient* client) {
        for (int i = 0; i < 40; ++i) {
            Call call(kAccessorMethodGetMSRs, batchRequest({0xCE, 0x35}, 8), MSRBatchResult::size(2, 8));
            if (call.on(client) != kIOReturnSuccess || readU32(call.output.data(), 4) != 8)
                ++failures;
            for (unsigned cpu = 0; cpu < 8; ++cpu) {
                if (call.value(cpu, 1, 2) != 0x00040008u)
                    ++failures;
            }
        }
    };
    std::thread a(batches, first);
    std::thread b(batches, second);
    std::thread c([&] {
        for (int i = 0; i < 40; ++i) {
            Call call(kAccessorMethodGetValueOnDevice, acpiRequest("PKG0", kEC), 64);
            if (call.on(third) != kIOReturnSuccess || readU32(call.output.data(), 0) != kObjectTypeArray)
                ++failures;
        }
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    close(first);
    close(second);
    close(third);
}

TEST_F(UserClients, ClosingWhileCallsRun)
{
    IOUserClient* client = open(vennix);
    std::atomic<bool> closed{false};
    std::atomic<int> wrong{0};
    std::thread caller([&] {
        for (int i = 0; i < 200; ++i) {
            Call call(kAccessorMethodGetMSRs, batchRequest({0xCE}, 4), MSRBatchResult::size(1, 4));
            const IOReturn status = call.on(client);
            if (status != kIOReturnSuccess && status != kIOReturnNotAttached)
                ++wrong;
            if (closed.load()) {
                // A call that starts after close has returned finds no provider.
                Call after(kAccessorMethodGetInfo, {}, 464);
                if (after.on(client) != kIOReturnNotAttached)
                    ++wrong;
            }
        }
    });
    std::this_thread::yield();
    client->clientClose();
    closed.store(true);
    caller.join();
    EXPECT_EQ(wrong.load(), 0);
    Call late(kAccessorMethodGetInfo, {}, 464);
    EXPECT_EQ(late.on(client), kIOReturnNotAttached);
    client->release();
}

} // namespace
} // namespace vennix
