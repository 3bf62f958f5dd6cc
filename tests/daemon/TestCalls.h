#pragma once
// Calls of the CPU service as clients make them, ready to send; and what to read back.

#include "protocol/Protocol.h"
#include "protocol/AccessorTypes.h"

#include <cstring>
#include <string>

namespace vennix::testing {

inline constexpr uint32_t kTurboRatioLimitMSR = 0x1AD;
inline constexpr const char* kECPath = "IOACPIPlane:/_SB/PCI0/LPCB/EC0";

inline protocol::CallRequest getInfoCall(size_t outputSize = 464)
{
    protocol::CallRequest request;
    request.selector = kAccessorMethodGetInfo;
    request.structureOutput.assign(outputSize, 0);
    return request;
}

// One MSR on one CPU (cpus 0 or 1) or on the first cpus CPUs.
inline protocol::CallRequest readMSRCall(uint32_t msr, uint32_t cpus = 1)
{
    protocol::CallRequest request;
    request.selector = kAccessorMethodGetMSRs;
    request.structureInput.resize(MSRBatchRequest::size(1));
    writeU32(request.structureInput.data(), 0, 1);
    writeU32(request.structureInput.data(), 4, cpus);
    writeU32(request.structureInput.data(), 8, msr);
    request.structureOutput.assign(MSRBatchResult::size(1, cpus > 1 ? cpus : 1), 0);
    return request;
}

// The value of the one MSR read on cpu, from a readMSRCall's output.
inline uint64_t msrValue(const protocol::CallReply& reply, uint32_t cpu = 0)
{
    const size_t at = MSRBatchResult::kHeaderSize + 8 * size_t(cpu);
    if (reply.structureOutput.size() < at + 8)
        return ~uint64_t(0);
    return readU64(reply.structureOutput.data(), at);
}

inline protocol::CallRequest writeMSRCall(uint32_t msr, uint64_t value, uint64_t cpus = 1)
{
    protocol::CallRequest request;
    request.selector = kAccessorMethodSetMSRs;
    request.scalarInput = {1, cpus, msr, value};
    return request;
}

// An ACPI request: key, path and the argument's wire-format bytes.
inline protocol::CallRequest acpiCall(uint32_t selector, const std::string& key,
                                      const std::string& path = kECPath,
                                      const std::vector<uint8_t>& argument = {},
                                      size_t outputSize = 64)
{
    protocol::CallRequest request;
    request.selector = selector;
    request.structureInput.assign(key.begin(), key.end());
    request.structureInput.push_back(0);
    request.structureInput.insert(request.structureInput.end(), path.begin(), path.end());
    request.structureInput.push_back(0);
    request.structureInput.insert(request.structureInput.end(), argument.begin(), argument.end());
    request.structureOutput.assign(outputSize, 0);
    return request;
}

// A number in the object wire format: tag 3, u64.
inline std::vector<uint8_t> wireNumber(uint64_t value)
{
    std::vector<uint8_t> bytes(12);
    writeU32(bytes.data(), 0, 3);
    writeU64(bytes.data(), 4, value);
    return bytes;
}

// SETV on the simulated embedded controller: answers its argument.
inline protocol::CallRequest setValueCall(uint64_t value)
{
    return acpiCall(kAccessorMethodSetValueOnDevice, "SETV", kECPath, wireNumber(value));
}

} // namespace vennix::testing
