#pragma once
// Calls of the CPU service as clients make them, ready to send; and what to read back.

#include "protocol/AccessorTypes.h"
#include "protocol/Protocol.h"

namespace vennix::testing {

inline constexpr uint32_t kTurboRatioLimitMSR = 0x1AD;
inline constexpr const char* kECPath = "IOACPIPlane:/_SB/PCI0/LPCB/EC0";

inline protocol::CallRequest getInfoCall(size_t outputSize = 464)
{
    return {kAccessorMethodGetInfo, {}, {}, 0, std::vector<uint8_t>(outputSize)};
}

// One MSR on one CPU (cpus 0 or 1) or on the first cpus CPUs.
inline protocol::CallRequest readMSRCall(uint32_t msr, uint32_t cpus = 1)
{
    protocol::CallRequest request{kAccessorMethodGetMSRs, {}, std::vector<uint8_t>(MSRBatchRequest::size(1)), 0,
                                  std::vector<uint8_t>(MSRBatchResult::size(1, cpus > 1 ? cpus : 1))};
    writeU32(request.structureInput.data(), 0, 1);
    writeU32(request.structureInput.data(), 4, cpus);
    writeU32(request.structureInput.data(), 8, msr);
    return request;
}

inline protocol::CallRequest writeMSRCall(uint32_t msr, uint64_t value, uint64_t cpus = 1)
{
    return {kAccessorMethodSetMSRs, {1, cpus, msr, value}, {}, 0, {}};
}

// An ACPI request: key, path and the argument's wire-format bytes.
inline protocol::CallRequest acpiCall(uint32_t selector, const std::string& key, const std::string& path = kECPath,
                                      const std::vector<uint8_t>& argument = {}, size_t outputSize = 64)
{
    const std::string names = key + '\0' + path + '\0';
    protocol::CallRequest request{selector, {}, {names.begin(), names.end()}, 0, std::vector<uint8_t>(outputSize)};
    request.structureInput.insert(request.structureInput.end(), argument.begin(), argument.end());
    return request;
}

// SETV on the simulated embedded controller with a number (wire format: tag 3, u64): answers it.
inline protocol::CallRequest setValueCall(uint64_t value)
{
    std::vector<uint8_t> number(12);
    writeU32(number.data(), 0, 3);
    writeU64(number.data(), 4, value);
    return acpiCall(kAccessorMethodSetValueOnDevice, "SETV", kECPath, number);
}

} // namespace vennix::testing
