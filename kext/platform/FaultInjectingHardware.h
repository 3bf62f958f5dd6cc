#pragma once
// A CPUHardware that forwards every call to another one, except accesses of chosen MSRs,
// which it refuses the way the processor does: the read gives 0, the write is dropped.
// For tests of the code above the hardware layer: what happens when a register is missing.
//
// The refusal table is a fixed set of atomic slots, so refusals may be added and removed
// while rendezvous threads read through the wrapper.

#include "kext/platform/CPUHardware.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace vennix {

class FaultInjectingHardware final : public ForwardingCPUHardware {
public:
    static constexpr unsigned kAllCPUs = 0xFFFF;
    static constexpr unsigned kCapacity = 32;

    // target must outlive the wrapper.
    explicit FaultInjectingHardware(CPUHardware& target);

    // From now on refuse msr on cpu (or on every CPU). False when the table is full or cpu
    // is out of range: the test asked for more than the wrapper can do.
    bool refuse(uint32_t msr, unsigned cpu = kAllCPUs);
    // Lets msr through again on cpu (exactly as it was refused); false when it was not refused.
    bool allow(uint32_t msr, unsigned cpu = kAllCPUs);

    // Accesses refused so far.
    uint64_t refusedReads() const { return fRefusedReads.load(); }
    uint64_t refusedWrites() const { return fRefusedWrites.load(); }

    uint64_t rdmsr(uint32_t msr) override;
    void wrmsr(uint32_t msr, uint64_t value) override;

private:
    bool isRefused(uint32_t msr) const;

    // 0 = free; else kUsed | cpu << 32 | msr.
    std::array<std::atomic<uint64_t>, kCapacity> fRefused{};
    std::atomic<uint64_t> fRefusedReads{0};
    std::atomic<uint64_t> fRefusedWrites{0};
};

} // namespace vennix
