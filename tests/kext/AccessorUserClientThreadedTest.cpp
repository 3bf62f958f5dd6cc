// The user client's selector table, on a Vennix started on the simulated processor (eight
// CPUs) and an ACPIAccessor on the simulated ACPI namespace, and calls from several
// connections at once.

#include <gtest/gtest.h>

#include <thread>

#include "kext/ACPIAccessor.h"
#include "kext/AccessorUserClient.h"
#include "kext/H_ECAccessor.h"
#include "kext/Vennix.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/OSString.h"
#include "protocol/AccessorTypes.h"
#include "protocol/WireFormat.h"
#include "sim/SimulatedACPI.h"
#include "sim/SimulatedProcessor.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

namespace vennix {
namespace {

using Bytes = std::vector<uint8_t>;
using Scalars = std::vector<uint64_t>;
constexpr uint8_t kFill = 0xA5;
constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5;
constexpr const char* kEC = sim::SimulatedACPI::kECPath;
constexpr uint32_t kInfo = kAccessorMethodGetInfo, kMSRs = kAccessorMethodGetMSRs, kWrite = kAccessorMethodSetMSRs;
constexpr uint32_t kGet = kAccessorMethodGetValueOnDevice, kSet = kAccessorMethodSetValueOnDevice;
constexpr uint32_t kCheck = kAccessorMethodCheckValueOnDevice;

// One call's arguments over buffers of its own; the output starts filled with kFill.
struct Call {
    Call(IOUserClient* client, uint32_t selector, Bytes in, size_t outputSize, Scalars scalarList = {})
        : input(std::move(in)), output(outputSize, kFill), scalars(std::move(scalarList))
    {
        args = {selector, scalars.empty() ? nullptr : scalars.data(), uint32_t(scalars.size()),
                input.empty() ? nullptr : input.data(), uint32_t(input.size()), scalarOutput, 4,
                output.empty() ? nullptr : output.data(), uint32_t(output.size())};
        status = client->externalMethod(selector, &args);
    }
    uint32_t rows() const { return readU32(output.data(), 4); }
    uint64_t value(uint64_t cpu, uint64_t i) const { return readU64(output.data(), 16 + 8 * (cpu * msrs() + i)); }
    uint32_t msrs() const { return readU32(input.data(), 0); }

    Bytes input, output;
    Scalars scalars;
    uint64_t scalarOutput[4] = {};
    IOExternalMethodArguments args;
    IOReturn status;
};

Bytes batch(const std::vector<uint32_t>& msrs, uint32_t cpus, uint32_t count = 0)
{
    Bytes request(MSRBatchRequest::size(msrs.size()));
    MSRBatchRequest::write(request.data(), msrs.data(), uint32_t(msrs.size()), cpus);
    if (count)
        writeU32(request.data(), 0, count); // a count the request does not hold
    return request;
}

// key\0path\0argument, less cut bytes at the end.
Bytes acpi(const std::string& key, const std::string& path, const Bytes& argument = {}, size_t cut = 0)
{
    const std::string strings = key + '\0' + path + '\0';
    Bytes request(strings.begin(), strings.end());
    request.insert(request.end(), argument.begin(), argument.end());
    return Bytes(request.begin(), request.end() - cut);
}

// Whole number and string items of the wire format.
Bytes item(uint64_t number)
{
    Bytes bytes(numberItemSize());
    return writeNumberItem(bytes.data(), 16, number), bytes;
}
Bytes item(const std::string& text)
{
    Bytes bytes(stringItemSize(text.size()));
    return writeStringItem(bytes.data(), int(roomForWholeItem(bytes.size())), text.data(), text.size()), bytes;
}

class AccessorUserClientTest : public ::testing::Test {
protected:
    ~AccessorUserClientTest() override
    {
        vennix->terminate(), vennix->release(), accessor->terminate(), accessor->release(), platform->release();
    }
    template <class T>
    T* start(const char* name)
    {
        auto* service = OSDynamicCast<T>(OSMetaClass::allocClassWithName(name));
        EXPECT_TRUE(service->init(nullptr) && service->start(platform)) << name;
        OSString* className = OSString::withCString("AccessorUserClient");
        service->setProperty(kIOUserClientClassKey, className);
        className->release();
        return service;
    }
    // Opens a connection as the daemon does; close() ends it.
    IOUserClient* open(IOService* service)
    {
        IOUserClient* client = nullptr;
        EXPECT_EQ(service->newUserClient(&caller, nullptr, 0, nullptr, &client), kIOReturnSuccess);
        return client;
    }
    static void close(IOUserClient* client) { client->clientClose(), client->release(); }

    IOLogCapture log;
    ManualClock clock{1500000000, 250000};
    sim::SimulatedProcessor processor{clock};
    sim::SimulatedACPI acpiNamespace;
    IOPlatformDevice* platform = IOPlatformDevice::withHardware(&processor, &clock, &acpiNamespace);
    Vennix* vennix = start<Vennix>("Vennix");
    ACPIAccessor* accessor = start<ACPIAccessor>("ACPIAccessor");
    task caller{1234, 1000, 1000};
};

TEST_F(AccessorUserClientTest, OpeningLogsAndChecksTheTaskAndTheProvider)
{
    const std::string init = "AccessorUserClient/ Init with task\n", started = "AccessorUserClient/ Start\n";
    auto* ec = start<H_ECAccessor>("H_ECAccessor");
    for (auto [service, owner, status, lines] : {std::tuple<IOService*, task*, IOReturn, std::vector<std::string>>{
                                                     vennix, &caller, kIOReturnSuccess, {init, started}},
             {accessor, &caller, kIOReturnSuccess, {init, started}}, {vennix, nullptr, kIOReturnBadArgument, {init}},
             {ec, &caller, kIOReturnError,
                 {init, started, "AccessorUserClient/ Provider must be Vennix class service!\n"}}}) {
        log.clear();
        IOUserClient* client = nullptr;
        EXPECT_TRUE(service->newUserClient(owner, nullptr, 0, nullptr, &client) == status && log.lines() == lines);
        EXPECT_EQ(client != nullptr, status == kIOReturnSuccess);
        if (client)
            close(client);
    }
    ec->terminate();
    ec->release();

    // Without a provider, or after the connection closed, nothing is attached.
    auto* bare = OSDynamicCast<AccessorUserClient>(OSMetaClass::allocClassWithName("AccessorUserClient"));
    ASSERT_TRUE(bare->initWithTask(&caller, nullptr, 0, nullptr));
    Call call(bare, kInfo, {}, 464);
    EXPECT_TRUE(
        call.status == kIOReturnNotAttached && call.args.scalarOutputCount == 0 && call.output == Bytes(464, kFill));
    EXPECT_EQ(bare->externalMethod(0, nullptr), kIOReturnBadArgument);
    bare->release();
}

TEST_F(AccessorUserClientTest, RefusedCallsAnswerTheirCodeAndTouchNothingAndInfoIsTheRecord)
{
    IOUserClient* cpu = open(vennix);
    IOUserClient* ecs = open(accessor);
    const Bytes sta = acpi("_STA", kEC), stopsShort = acpi("_STA", kEC, {}, 1);
    const std::tuple<IOUserClient*, uint32_t, Bytes, size_t, Scalars> calls[] = { // refused as bad arguments
        {cpu, 6, sta, 464, {1, 1, 0x1AD, 0}}, {cpu, ~0u, sta, 464, {}}, {cpu, kInfo, {}, 463, {}},
        {cpu, kInfo, {}, 0, {}}, {cpu, kInfo, {}, 4097, {}}, // beyond the inline limit
        {cpu, kMSRs, batch({0xCE, 0x1AD}, 0), 16, {}}, // cpus 0 fills one row too
        {cpu, kMSRs, batch({0xCE}, 16), MSRBatchResult::size(1, 15), {}},
        {cpu, kMSRs, batch({0xCE, 0xCE}, 1, 3), 256, {}}, // a count beyond the input
        {cpu, kMSRs, batch({0xCE}, ~0u, ~0u), 4096, {}}, {cpu, kMSRs, Bytes(7, 0), 64, {}}, {cpu, kMSRs, {}, 64, {}},
        {cpu, kMSRs, batch({}, 1), 0, {}}, {cpu, kMSRs, batch({0xCE}, 1), 4097, {}},
        {cpu, kMSRs, batch(std::vector<uint32_t>(1023, 0xCE), 1), 4096, {}}, {cpu, kWrite, {}, 0, {}},
        {cpu, kWrite, {}, 0, {1, 8, 0x1AD, 0x21, 0x1AD}}, {cpu, kWrite, {}, 0, {1, 8, 0x1AD}},
        {cpu, kWrite, {}, 0, {1, 8}},
        {ecs, kGet, {'_', 'S', 'T', 'A'}, 64, {}}, // strings must end within the input
        {ecs, kCheck, stopsShort, 64, {}}, {ecs, kGet, {'_', 'S', 0}, 64, {}}, {ecs, kSet, acpi("SETV", kEC), 64, {}},
        {ecs, kSet, acpi("SETV", kEC, item(7), 1), 64, {}},
        {ecs, kSet, acpi("SETV", kEC, {1, 0, 0, 0}), 64, {}}, // a null argument
        {ecs, kGet, sta, 11, {}}, {ecs, kGet, sta, 0, {}}, {ecs, kGet, {}, 64, {}},
        {ecs, kCheck, acpi("_STA", std::string(5000, 'A')), 64, {}},
        {ecs, kInfo, {}, 464, {}}, {ecs, kMSRs, batch({0xCE}, 1), 24, {}}, {ecs, kWrite, {}, 0, {1, 1, 0x1AD, 0x21}}};
    for (size_t i = 0; i < std::size(calls); ++i) {
        const auto& [client, selector, input, output, scalars] = calls[i];
        Call call(client, selector, input, output, scalars);
        const bool cpuSelector = client == ecs && selector <= kWrite; // not on an ACPI connection
        EXPECT_EQ(call.status, cpuSelector ? kIOReturnUnsupported : kIOReturnBadArgument) << "call " << i;
        EXPECT_TRUE(call.args.structureOutputSize == 0 && call.args.scalarOutputCount == 0) << "call " << i;
        EXPECT_EQ(call.output, Bytes(output, kFill)) << "call " << i;
    }
    EXPECT_EQ(acpiNamespace.evaluationCount(), 0u);
    EXPECT_EQ(processor.rdmsrOn(0, 0x1AD), sim::SimulatedProcessor::kDefaultTurboRatioLimit);
    Call call(cpu, kInfo, {}, 500); // the record without its pointers
    EXPECT_TRUE(
        call.status == kIOReturnSuccess && call.args.structureOutputSize == 464 && call.args.scalarOutputCount == 0);
    i386_cpu_info_t expected = *vennix->getInfo();
    expected.cpuid_model_string = nullptr, expected.cpuid_mwait_leafp = nullptr, expected.cpuid_xsave_leafp = nullptr;
    expected.cpuid_thermal_leafp = nullptr, expected.cpuid_arch_perf_leafp = nullptr;
    EXPECT_TRUE(
        !memcmp(call.output.data(), &expected, 464) && vennix->getInfo()->cpuid_thermal_leafp); // its own keeps them
    EXPECT_TRUE(call.output[0] == 'G' && Bytes(call.output.begin() + 464, call.output.end()) == Bytes(36, kFill));
    EXPECT_EQ(Call(cpu, kInfo, {}, 464).status, kIOReturnSuccess);
    close(cpu);
    close(ecs);
}

TEST_F(AccessorUserClientTest, BatchesFillOneRowPerCPUBelowTheCountTheHardwareAndTheRecordHave)
{
    clock.advanceNanoseconds(1700000000);
    testing::RunOnCPU onCPU1(1); // a single-CPU batch reads on the caller's CPU, not on CPU 0
    ASSERT_TRUE(onCPU1.pinned()) << "needs two CPUs";
    IOUserClient* client = open(vennix);
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        processor.wrmsrOn(cpu, 0x8B, 0xB0'0000'0000 + cpu);
    for (auto [cpus, room, rows] :
        {std::tuple{0u, 1u, 1u}, {1u, 1u, 1u}, {2u, 8u, 2u}, {7u, 8u, 7u}, {16u, 16u, 8u}, {4u, 4u, 4u}}) {
        Call call(client, kMSRs, batch({0x8B, 0x35, 0x12345}, cpus), MSRBatchResult::size(3, room));
        EXPECT_TRUE(call.status == kIOReturnSuccess && readU32(call.output.data(), 0) == 3 && call.rows() == rows)
            << cpus;
        EXPECT_EQ(call.args.structureOutputSize, MSRBatchResult::size(3, rows)) << cpus;
        EXPECT_DOUBLE_EQ(readF64(call.output.data(), 8), 1500000001.95);
        for (unsigned cpu = 0; cpu < room; ++cpu) {
            const uint64_t own = 0xB0'0000'0000 + (cpus <= 1 ? 1 : cpu); // each CPU's own register
            EXPECT_EQ(call.value(cpu, 0), cpu < rows ? own : kUntouched) << cpus << " CPU " << cpu;
            EXPECT_EQ(call.value(cpu, 1) + call.value(cpu, 2), cpu < rows ? 0x00040008u : 2 * kUntouched) << cpus;
        }
    }
    // The record may count fewer threads than the CPUs the rendezvous runs on, or more (CPUs
    // offline): only rows a CPU wrote count.
    const uint32_t threads = vennix->getInfo()->thread_count;
    vennix->getInfo()->thread_count = 3;
    Call fewer(client, kMSRs, batch({0xCE}, 8), MSRBatchResult::size(1, 8));
    vennix->getInfo()->thread_count = 16;
    Call more(client, kMSRs, batch({0xCE}, 16), MSRBatchResult::size(1, 16));
    vennix->getInfo()->thread_count = threads;
    EXPECT_TRUE(fewer.status == kIOReturnSuccess && fewer.rows() == 3);
    EXPECT_TRUE(more.status == kIOReturnSuccess && more.rows() == 8);
    Call empty(client, kMSRs, batch({}, 4), 16); // a batch of nothing still answers the header
    EXPECT_TRUE(empty.status == kIOReturnSuccess && empty.args.structureOutputSize == 16 && empty.rows() == 4);

    // Write lists: to the caller's CPU, or in list order to every CPU below the count.
    Call one(client, kWrite, {}, 0, {1, 1, 0x8B, 0x5600000000});
    EXPECT_TRUE(one.status == kIOReturnSuccess && one.args.scalarOutputCount == 0
        && processor.rdmsrOn(1, 0x8B) == 0x5600000000);
    EXPECT_EQ(processor.rdmsrOn(0, 0x8B), 0xB0'0000'0000u);
    EXPECT_EQ(Call(client, kWrite, {}, 0, {1, 3, 0x8B, 0x12, 0x8B, 0x34}).status, kIOReturnSuccess);
    for (unsigned cpu = 0; cpu < 8; ++cpu)
        EXPECT_EQ(processor.rdmsrOn(cpu, 0x8B), cpu < 3 ? 0x34u : 0xB0'0000'0000u + cpu) << cpu;
    close(client);
}

TEST_F(AccessorUserClientTest, ACPIOperationsAnswerInTheWireFormatOrLeaveTheOutputAndLogExactly)
{
    acpiNamespace.defineMethod(kEC, "_PS0", 0, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; });
    acpiNamespace.defineMethod(kEC, "CLRV", 1, [](OSObject* const*, OSObject**) { return kIOReturnSuccess; });
    IOUserClient* ecs = open(accessor);
    IOUserClient* cpu = open(vennix); // the same operations on the machine the Vennix service started on
    auto device = [](const std::string& path, bool found = true) {
        return "ACPIAccessor/ " + path + " Device " + (found ? "0x?" : "(nil)") + "\n";
    };
    auto error = [](const char* key, IOReturn status) {
        return std::string("ACPIAccessor/ ") + key + " Object error " + std::to_string(status) + "\n";
    };
    const std::string missing = "IOACPIPlane:/_SB/PCI0/LPCB/EC9", unit = "IOACPIPlane:/_SB/PCI0@0/LPCB@1F/EC0@62";
    const std::string forged = "IOACPIPlane:/_SB/X\nACPIAccessor/ forged", other = "IOService:/_SB/PCI0/LPCB/EC0";
    const std::tuple<IOUserClient*, uint32_t, Bytes, size_t, Bytes, std::vector<std::string>> calls[] = {
        {ecs, kCheck, acpi("_STA", unit), 64, item("OSNumber"), {device(unit)}},
        {cpu, kCheck, acpi("PKG0", kEC), 64, item("OSArray"), {device(kEC)}},
        {ecs, kCheck, acpi("NOPE", kEC), 64, item("Falscher Key"), {device(kEC), error("NOPE", kIOReturnNotFound)}},
        {ecs, kCheck, acpi("SETV", kEC), 64, item("Falscher Key"), {device(kEC), error("SETV", kIOReturnBadArgument)}},
        {ecs, kCheck, acpi("_PS0", kEC), 64, item("Falscher Key"), {device(kEC), error("_PS0", kIOReturnSuccess)}},
        {ecs, kCheck, acpi("_STA", missing), 64, item(missing), {device(missing, false)}},
        {ecs, kCheck, acpi("_STA", other), 64, item(other), {device(other, false)}},
        {ecs, kCheck, acpi("_STA", forged), 64, item(forged),
            {device("IOACPIPlane:/_SB/X\\x0aACPIAccessor/ forged", false)}},
        {ecs, kGet, acpi("_STA", kEC), 64, item(0xF), {}},
        {ecs, kGet, acpi("BUFF", kEC), 64, {5, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4}, {}},
        {ecs, kGet, acpi("NAME", kEC), 12, {7, 0, 0, 0}, {}}, // cut as the format says
        {ecs, kGet, acpi("_STA", missing), 64, {}, {}},
        {ecs, kGet, acpi("NOPE", kEC), 64, {}, {error("NOPE", kIOReturnNotFound)}},
        {ecs, kGet, acpi("_PS0", kEC), 64, {}, {error("_PS0", kIOReturnSuccess)}},
        {ecs, kSet, acpi("SETV", kEC, item("on")), 64, item("on"),
            {device(kEC), "ACPIAccessor/ SETV Object ist ein OSString\n"}},
        {ecs, kSet, acpi("CLRV", kEC, item(7)), 64, {}, {device(kEC)}},
        {ecs, kSet, acpi("_STA", kEC, item(1)), 64, {}, {device(kEC), error("_STA", kIOReturnBadArgument)}},
        {cpu, kSet, acpi("SETV", missing, item(7)), 64, {}, {device(missing, false)}}};
    for (const auto& [client, selector, input, output, result, logged] : calls) {
        log.clear();
        Call call(client, selector, input, output);
        EXPECT_TRUE(call.status == kIOReturnSuccess && call.args.structureOutputSize == output)
            << input.data(); // as given
        Bytes expected(output, kFill);
        std::copy(result.begin(), result.end(), expected.begin());
        EXPECT_EQ(call.output, expected) << selector << " " << input.data();
        std::vector<std::string> lines;
        for (std::string line : log.lines()) { // the device's address differs from run to run: 0x?
            const size_t at = line.find(" Device 0x");
            const size_t end = at == std::string::npos ? at : line.find_first_not_of("0123456789abcdef", at + 10);
            if (end != at && end > at + 10 && end + 1 == line.size() && line[end] == '\n')
                line.replace(at + 10, end - at - 10, "?");
            lines.push_back(line);
        }
        EXPECT_EQ(lines, logged) << selector << " " << input.data();
    }
    close(ecs);
    close(cpu);
}

TEST_F(AccessorUserClientTest, ConnectionsCallAtTheSameTimeAndMayCloseWhileCallsRun)
{
    IOUserClient* clients[] = {open(vennix), open(vennix), open(vennix)};
    std::atomic<int> failures{0};
    auto batches = [&](IOUserClient* client) {
        for (int i = 0; i < 40; ++i) {
            Call call(client, kMSRs, batch({0x10, 0x35}, 8), MSRBatchResult::size(2, 8));
            failures += call.status != kIOReturnSuccess || call.rows() != 8;
            for (unsigned cpu = 0; cpu < 8; ++cpu) // one instant per batch, unmixed
                failures += call.value(cpu, 1) != 0x00040008u || call.value(cpu, 0) != call.value(0, 0);
        }
    };
    std::atomic<bool> closed{false};
    std::jthread a(batches, clients[0]), b(batches, clients[2]), closing([&] {
        for (int i = 0; i < 200; ++i) { // a call that starts after close has returned finds no provider
            const bool wasClosed = closed;
            const IOReturn status = Call(clients[1], kMSRs, batch({0xCE}, 4), 48).status;
            failures += wasClosed ? status != kIOReturnNotAttached
                                  : status != kIOReturnSuccess && status != kIOReturnNotAttached;
        }
    });
    std::this_thread::yield();
    clients[1]->clientClose();
    closed = true;
    for (std::jthread* thread : {&a, &b, &closing})
        thread->join();
    EXPECT_EQ(failures.load(), 0);
    clients[1]->release();
    close(clients[0]);
    close(clients[2]);
}

} // namespace
} // namespace vennix
