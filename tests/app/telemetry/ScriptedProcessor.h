#pragma once
// A processor whose registers the test sets: N logical CPUs, each with its own MSR map
// (unknown MSRs read 0), one CPUID table for all, and a rendezvous of N threads. CPUID says
// family 6 model 0x5E, so the service takes the core and thread counts of its record from
// MSR 0x35 (cores in 31:16, threads in 15:0), which the constructor sets on every CPU.
//
// Outside a rendezvous the current CPU is the one setCallingCPU() names (0 at first), so
// calling-CPU batches read a CPU the test chooses.

#include "kext/platform/CPUHardware.h"
#include "kext/platform/Rendezvous.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace qarn::test {

class ScriptedProcessor final : public vennix::CPUHardware {
public:
    static constexpr uint32_t kCoreThreadCount = 0x35;

    // cpus rendezvous threads; the record says cores and threads (threads 0: cpus).
    ScriptedProcessor(unsigned cpus, unsigned cores, unsigned threads = 0)
        : fMSRs(cpus)
        , fRendezvous(cpus)
    {
        setAll(kCoreThreadCount, (uint64_t{cores} << 16) | (threads ? threads : cpus));
    }

    void set(unsigned cpu, uint32_t msr, uint64_t value)
    {
        std::lock_guard<std::mutex> lock(fLock);
        fMSRs.at(cpu)[msr] = value;
    }

    void setAll(uint32_t msr, uint64_t value)
    {
        std::lock_guard<std::mutex> lock(fLock);
        for (auto& map : fMSRs)
            map[msr] = value;
    }

    uint64_t valueOn(unsigned cpu, uint32_t msr) const
    {
        std::lock_guard<std::mutex> lock(fLock);
        const auto& map = fMSRs.at(cpu);
        const auto found = map.find(msr);
        return found == map.end() ? 0 : found->second;
    }

    void setCallingCPU(unsigned cpu) { fCallingCPU = cpu; }
    unsigned rendezvousRuns() const { return fRuns; }

    const char* description() const override { return "scripted"; }
    bool isSimulated() const override { return true; }
    unsigned cpuCount() const override { return static_cast<unsigned>(fMSRs.size()); }

    unsigned currentCPU() const override
    {
        if (vennix::Rendezvous::current() == &fRendezvous)
            return static_cast<unsigned>(vennix::Rendezvous::currentCPU());
        return fCallingCPU;
    }

    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) override
    {
        regs[0] = regs[1] = regs[2] = regs[3] = 0;
        switch (leaf) {
        case 0:
            regs[0] = 1;
            std::memcpy(&regs[1], "Genu", 4);
            std::memcpy(&regs[3], "ineI", 4);
            std::memcpy(&regs[2], "ntel", 4);
            break;
        case 1:
            regs[0] = 0x000506E3; // family 6, model 0x5E, stepping 3
            regs[1] = (cpuCount() & 0xFF) << 16;
            regs[3] = 1u << 28; // HTT: EBX 23:16 counts logical CPUs
            break;
        case 0x80000000:
            regs[0] = 0x80000004;
            break;
        case 0x80000002:
        case 0x80000003:
        case 0x80000004: {
            static const char kBrand[48] = "Scripted test processor";
            std::memcpy(regs, kBrand + 16 * (leaf - 0x80000002), 16);
            break;
        }
        default:
            break;
        }
    }

    uint64_t rdmsr(uint32_t msr) override { return valueOn(currentCPU(), msr); }

    void wrmsr(uint32_t msr, uint64_t value) override { set(currentCPU(), msr, value); }

    void rendezvous(Action action, void* argument) override
    {
        ++fRuns;
        fRendezvous.run(action, argument);
    }

private:
    mutable std::mutex fLock;
    std::vector<std::map<uint32_t, uint64_t>> fMSRs;
    std::atomic<unsigned> fCallingCPU{0};
    std::atomic<unsigned> fRuns{0};
    vennix::Rendezvous fRendezvous; // last: its threads stop before the maps go
};

} // namespace qarn::test
