#pragma once
// The real processor: MSRs through the msr driver's files (<dir>/<linux cpu>/msr, 8 bytes
// at offset = MSR number), CPUID by the instruction, and a rendezvous thread pinned to each
// online CPU.
//
// CPU numbers are positions in the list of CPUs the device was opened on (by default the
// online CPUs), so they run from 0 even where Linux numbers its CPUs with gaps. An access
// the driver refuses (EIO for an MSR the processor does not implement, a short transfer,
// any other error) reads as 0 or is dropped; nothing is logged from the access path.

#include "kext/platform/CPUHardware.h"
#include "kext/platform/Rendezvous.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vennix {

class MSRDevice final : public CPUHardware {
public:
    // Opens <directory>/<id>/msr for reading and writing for every Linux CPU id in cpus
    // (empty: the online CPUs) and starts the rendezvous threads. Null when a file cannot be
    // opened or no CPU is found; error (optional) then says why and what to do.
    static std::unique_ptr<MSRDevice> open(const std::string& directory = "/dev/cpu",
                                           std::string* error = nullptr,
                                           const std::vector<int>& cpus = {});

    // The online CPUs from /sys/devices/system/cpu/online, or the CPUs this process may run
    // on when that file cannot be read. Sorted, without duplicates.
    static std::vector<int> onlineCPUs();
    // Parses a Linux CPU list such as "0-3,5,8-11\n". Empty for anything malformed; ids from
    // 0 to kMaxCPUId only.
    static std::vector<int> parseCPUList(std::string_view text);
    static constexpr int kMaxCPUId = 8191;

    // The microcode revision Linux reports for one of its CPUs: <cpuDirectory>/cpu<id>/
    // microcode/version, else the "microcode" line of that processor in cpuinfo; 0 when
    // neither says (a guest often hides it).
    static uint32_t microcodeOf(int linuxCPU, const std::string& cpuDirectory = "/sys/devices/system/cpu",
                                const std::string& cpuinfo = "/proc/cpuinfo");

    ~MSRDevice() override;
    MSRDevice(const MSRDevice&) = delete;
    MSRDevice& operator=(const MSRDevice&) = delete;

    const char* description() const override;
    bool isSimulated() const override;
    unsigned cpuCount() const override;
    unsigned currentCPU() const override;
    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) override;
    uint64_t rdmsr(uint32_t msr) override;
    void wrmsr(uint32_t msr, uint64_t value) override;
    uint32_t microcodeRevision() override;
    void rendezvous(Action action, void* argument) override;

    // The Linux CPU behind a CPU number, -1 for a number out of range.
    int linuxCPU(unsigned cpu) const;
    // Whether the rendezvous thread of that CPU is bound to it (CPUID inside the rendezvous
    // then describes that CPU).
    bool isPinned(unsigned cpu) const;

private:
    MSRDevice(std::string directory, std::vector<int> linuxCPUs, std::vector<int> descriptors);

    std::string fDirectory;
    std::vector<int> fLinuxCPUs;
    std::vector<int> fDescriptors;     // one per CPU number, open for reading and writing
    std::vector<int> fCPUOfLinuxCPU;   // Linux id -> CPU number, -1 where none
    std::unique_ptr<Rendezvous> fRendezvous;
};

} // namespace vennix
