// The monitor's side of the protocol against a daemon that answers anything: each call the
// client classes make (IntelCPU with its metrics, both CPU channels, the ACPI client) is
// answered from the input, and the raw replies go through the protocol's decoders too.
// Input layout, per call made, while the input lasts (then every call fails):
//
//   u8  status (0-3: success, else an IOReturn error)
//   u16 structure output size (what the "daemon" reports, room or not)
//   the bytes it writes into the caller's buffer, as many as that size and the room allow
//
// A crash, a sanitizer report or a read past a buffer is a finding.

#include "protocol/AccessorTypes.h"
#include "platform/ServiceDirectory.h"
#include "telemetry/ACPIAccessor.h"
#include "telemetry/CPUChannel.h"
#include "telemetry/IntelCPU.h"
#include "telemetry/PackageChannel.h"

#include <cstdint>
#include <cstring>
#include <memory>

using namespace qarn;

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : fData(data), fSize(size) {}
    bool empty() const { return fOffset >= fSize; }
    uint64_t take(size_t bytes)
    {
        uint64_t value = 0;
        for (size_t i = 0; i < bytes && fOffset < fSize; ++i)
            value |= uint64_t{fData[fOffset++]} << (8 * i);
        return value;
    }
    size_t copy(void* to, size_t most)
    {
        const size_t n = std::min(most, fSize - std::min(fOffset, fSize));
        std::memcpy(to, fData + fOffset, n);
        fOffset += n;
        return n;
    }

private:
    const uint8_t* fData;
    size_t fSize;
    size_t fOffset = 0;
};

class LyingConnection final : public ServiceConnection {
public:
    explicit LyingConnection(Input& input) : fInput(input) {}
    void close() override { fOpen = false; }
    bool isOpen() const override { return fOpen; }

protected:
    IOReturn perform(MethodCall& call) override
    {
        call.scalarOutputCount = 0;
        if (!fOpen || fInput.empty()) {
            call.structureOutputSize = 0;
            return vennix::kIOReturnNotOpen;
        }
        const auto status = static_cast<uint8_t>(fInput.take(1));
        const auto claimed = static_cast<uint32_t>(fInput.take(2));
        const uint32_t room = call.structureOutputSize;
        const size_t written = call.structureOutput ? fInput.copy(call.structureOutput, std::min(claimed, room)) : 0;
        // The transport never reports more than the room; within it, anything.
        call.structureOutputSize = static_cast<uint32_t>(std::max<size_t>(written, std::min(claimed, room)));
        return status < 4 ? vennix::kIOReturnSuccess : vennix::kIOReturnError;
    }

private:
    Input& fInput;
    bool fOpen = true;
};

class LyingDirectory final : public ServiceDirectory {
public:
    explicit LyingDirectory(Input& input) : fInput(input) {}
    std::unique_ptr<MatchedService> getMatchingService(const std::string&, std::string*) override
    {
        return std::make_unique<Service>(fInput);
    }
    std::string description() const override { return "lying"; }

private:
    class Service final : public MatchedService {
    public:
        explicit Service(Input& input) : fInput(input) {}
        std::unique_ptr<ServiceConnection> open(uint32_t, IOReturn* result) override
        {
            if (result)
                *result = vennix::kIOReturnSuccess;
            return std::make_unique<LyingConnection>(fInput);
        }

    private:
        Input& fInput;
    };
    Input& fInput;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The decoders on the raw bytes, as the socket would hand them over.
    const vennix::protocol::Bytes raw(data, size);
    (void)vennix::protocol::decodeMatchReply(raw);
    (void)vennix::protocol::decodeOpenReply(raw);
    (void)vennix::protocol::decodeCallReply(raw);

    Input input(data, size);
    LyingDirectory directory(input);
    if (auto cpu = IntelCPU::create(directory)) {
        (void)cpu->processorName();
        (void)cpu->msrLimitation();
        auto package = PackageChannel::with(cpu);
        auto perCPU = CPUChannel::with(cpu);
        for (int tick = 0; tick < 2; ++tick) {
            package->sample();
            perCPU->sample();
            (void)cpu->frequencies();
            (void)cpu->sVIDs();
            (void)cpu->coreTemperatures();
            (void)cpu->packageTemperature();
            (void)cpu->powerConsumption();
            (void)cpu->getRatios();
        }
    }
    if (auto acpi = ACPIAccessor::create(directory, [](std::string_view) {})) {
        (void)acpi->getValueOnDevice("IOACPIPlane:/_SB/PCI0/LPCB/EC0", "_STA");
        (void)acpi->checkValueOnDevice("IOACPIPlane:/_SB/PCI0/LPCB/EC0", "_STA");
    }
    return 0;
}
