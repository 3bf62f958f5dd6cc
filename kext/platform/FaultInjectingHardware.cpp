#include "kext/platform/FaultInjectingHardware.h"

namespace vennix {

namespace {

constexpr uint64_t kUsed = uint64_t{1} << 63;

uint64_t entry(uint32_t msr, unsigned cpu)
{
    return kUsed | uint64_t{cpu} << 32 | msr;
}

} // namespace

FaultInjectingHardware::FaultInjectingHardware(CPUHardware& target)
    : ForwardingCPUHardware(target)
{
}

bool FaultInjectingHardware::refuse(uint32_t msr, unsigned cpu)
{
    if (cpu != kAllCPUs && cpu >= target().cpuCount())
        return false;
    const uint64_t wanted = entry(msr, cpu);
    for (std::atomic<uint64_t>& slot : fRefused) {
        if (slot.load() == wanted)
            return true;
    }
    for (std::atomic<uint64_t>& slot : fRefused) {
        uint64_t expected = 0;
        if (slot.compare_exchange_strong(expected, wanted))
            return true;
    }
    return false;
}

bool FaultInjectingHardware::allow(uint32_t msr, unsigned cpu)
{
    const uint64_t wanted = entry(msr, cpu);
    for (std::atomic<uint64_t>& slot : fRefused) {
        uint64_t expected = wanted;
        if (slot.compare_exchange_strong(expected, 0))
            return true;
    }
    return false;
}

bool FaultInjectingHardware::isRefused(uint32_t msr) const
{
    const uint64_t onAll = entry(msr, kAllCPUs);
    uint64_t onThis = 0;
    bool knowCPU = false;
    for (const std::atomic<uint64_t>& slot : fRefused) {
        const uint64_t value = slot.load(std::memory_order_acquire);
        if (value == 0)
            continue;
        if (value == onAll)
            return true;
        if (static_cast<uint32_t>(value) != msr)
            continue;
        // Only a refusal for one CPU matches: ask which CPU we stand for once.
        if (!knowCPU) {
            onThis = entry(msr, target().currentCPU());
            knowCPU = true;
        }
        if (value == onThis)
            return true;
    }
    return false;
}

uint64_t FaultInjectingHardware::rdmsr(uint32_t msr)
{
    if (isRefused(msr)) {
        fRefusedReads.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    return ForwardingCPUHardware::rdmsr(msr);
}

void FaultInjectingHardware::wrmsr(uint32_t msr, uint64_t value)
{
    if (isRefused(msr)) {
        fRefusedWrites.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ForwardingCPUHardware::wrmsr(msr, value);
}

} // namespace vennix
