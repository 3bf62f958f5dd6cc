// Calls externalMethod of a user client with a selector, sizes and bytes taken from the
// input, on a Vennix over the simulated processor or an ACPIAccessor over the simulated ACPI
// namespace (both started once). Input layout:
//
//   u8  connection (bit 0: the ACPIAccessor's, else the Vennix's)
//   u8  selector
//   u16 structure output size (up to 65535, beyond the inline limit on purpose)
//   u8  scalar input count (modulo 17)
//   u64 scalars, as many as the count asks for and the input holds
//   the rest: the structure input
//
// Every answer must be one of the codes the call table allows, with both output counts 0 on
// failure and an output size within what was given.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kext/ACPIAccessor.h"
#include "protocol/AccessorTypes.h"
#include "kext/AccessorUserClient.h"
#include "kext/Vennix.h"
#include "kext/VennixModule.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSString.h"
#include "sim/SimulatedACPI.h"
#include "sim/SimulatedProcessor.h"

using namespace vennix;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

struct Machine {
    Machine()
    {
        Vennix_start(nullptr, nullptr);
        platform = IOPlatformDevice::withHardware(&processor, &clock, &acpi);
        clients[0] = open(start("Vennix"));
        clients[1] = open(start("ACPIAccessor"));
        require(clients[0] && clients[1]);
        log.clear();
    }

    IOService* start(const char* name)
    {
        auto* service = OSDynamicCast<IOService>(OSMetaClass::allocClassWithName(name));
        require(service && service->init(nullptr) && service->start(platform));
        OSString* className = OSString::withCString("AccessorUserClient");
        service->setProperty(kIOUserClientClassKey, className);
        className->release();
        return service;
    }

    IOUserClient* open(IOService* service)
    {
        IOUserClient* client = nullptr;
        service->newUserClient(&caller, nullptr, 0, nullptr, &client);
        return client;
    }

    IOLogCapture log; // the ACPI operations log every call
    ManualClock clock{1500000000, 0};
    sim::SimulatedProcessor processor{clock};
    sim::SimulatedACPI acpi;
    IOPlatformDevice* platform = nullptr;
    task caller{1, 0, 0};
    IOUserClient* clients[2] = {};
};

uint64_t readLE(const uint8_t* bytes, size_t n)
{
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i)
        value |= uint64_t{bytes[i]} << (8 * i);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Machine* const machine = new Machine; // lives as long as the process
    constexpr size_t kHeader = 5;
    if (size < kHeader)
        return 0;

    IOUserClient* client = machine->clients[data[0] & 1];
    const uint32_t selector = data[1];
    const uint32_t outputSize = static_cast<uint32_t>(readLE(data + 2, 2));
    const uint32_t scalarCount = data[4] % 17;
    size_t offset = kHeader;

    std::vector<uint64_t> scalars;
    while (scalars.size() < scalarCount && offset + 8 <= size) {
        scalars.push_back(readLE(data + offset, 8));
        offset += 8;
    }
    // Exact-size heap copies so that AddressSanitizer sees every access beyond them.
    const size_t inputSize = size - offset;
    std::unique_ptr<uint8_t[]> input(new uint8_t[inputSize + (inputSize == 0)]);
    if (inputSize)
        std::memcpy(input.get(), data + offset, inputSize);
    std::unique_ptr<uint8_t[]> output(new uint8_t[outputSize + (outputSize == 0)]);
    std::memset(output.get(), 0xA5, outputSize);
    std::unique_ptr<uint64_t[]> scalarInput(new uint64_t[scalars.size() + scalars.empty()]);
    std::copy(scalars.begin(), scalars.end(), scalarInput.get());
    uint64_t scalarOutput[16] = {};

    IOExternalMethodArguments args;
    args.selector = selector;
    args.scalarInput = scalars.empty() ? nullptr : scalarInput.get();
    args.scalarInputCount = static_cast<uint32_t>(scalars.size());
    args.structureInput = inputSize ? input.get() : nullptr;
    args.structureInputSize = static_cast<uint32_t>(inputSize);
    args.scalarOutput = scalarOutput;
    args.scalarOutputCount = 16;
    args.structureOutput = outputSize ? output.get() : nullptr;
    args.structureOutputSize = outputSize;

    const IOReturn status = client->externalMethod(selector, &args);
    machine->log.clear();

    require(status == kIOReturnSuccess || status == kIOReturnBadArgument
            || status == kIOReturnUnsupported || status == kIOReturnNoMemory);
    require(args.scalarOutputCount == 0);
    require(args.structureOutputSize <= outputSize);
    if (status != kIOReturnSuccess)
        require(args.structureOutputSize == 0);
    if (selector > kAccessorMethodCheckValueOnDevice)
        require(status == kIOReturnBadArgument);
    return 0;
}
