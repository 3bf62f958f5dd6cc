#pragma once
// The processor as the CPU service sees it: CPUID, MSRs and the all-CPU rendezvous.
//
// One contract, several backends:
//   - MSRDevice (real): CPUID by the instruction, MSRs through /dev/cpu/N/msr, a rendezvous
//     thread pinned to each online CPU.
//   - sim::SimulatedProcessor: the simulated processor, one rendezvous thread per simulated CPU.
//   - test doubles that replay recorded CPUID leaves and MSR values.
// ForwardingCPUHardware passes every call to another backend, so that a wrapper (fault
// injection: FaultInjectingHardware) overrides only what it changes.
//
// "The current CPU" is the CPU a rendezvous thread stands for while it runs an action, and
// otherwise the CPU the calling thread happens to run on. CPU numbers run from 0 to
// cpuCount() - 1.
//
// Nothing here throws and nothing reports failure: an MSR the processor refuses reads as 0
// and a refused write is dropped, so a bad register number never takes the service down.
// cpuid, rdmsr, wrmsr and currentCPU may be called from inside a rendezvous action and must
// not block, allocate or log there; cpuid there describes the rendezvous CPU where the
// backend can bind its thread to it.

#include <cstdint>

namespace vennix {

class CPUHardware {
public:
    using Action = void (*)(void* argument);

    virtual ~CPUHardware() = default;

    // Says where the numbers come from ("simulated", "/dev/cpu"), for users and logs.
    virtual const char* description() const = 0;
    virtual bool isSimulated() const = 0;

    // Number of logical CPUs the rendezvous runs on.
    virtual unsigned cpuCount() const = 0;
    // cpu_number(): the CPU the caller stands for (see above).
    virtual unsigned currentCPU() const = 0;

    // CPUID with EAX = leaf and ECX = subleaf on the current CPU; regs gets EAX, EBX, ECX, EDX.
    virtual void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) = 0;

    // RDMSR / WRMSR on the current CPU. Refused: read gives 0, write is dropped.
    virtual uint64_t rdmsr(uint32_t msr) = 0;
    virtual void wrmsr(uint32_t msr, uint64_t value) = 0;

    // The microcode revision of the current CPU as the operating system reports it, 0 where it
    // does not say. Touches no MSR: on Linux the revision comes from what the kernel already
    // knows, so identifying the processor changes nothing on it. Not for rendezvous actions.
    virtual uint32_t microcodeRevision() { return 0; }

    // mp_rendezvous: runs action(argument) on every CPU at once, each on its own thread
    // that answers currentCPU() with its CPU number, and returns when all have finished.
    // Rendezvous calls do not overlap: a second caller waits for the first.
    virtual void rendezvous(Action action, void* argument) = 0;
};

// Every call passed on to target, which must outlive the wrapper.
class ForwardingCPUHardware : public CPUHardware {
public:
    explicit ForwardingCPUHardware(CPUHardware& target) : fTarget(target) {}

    const char* description() const override { return fTarget.description(); }
    bool isSimulated() const override { return fTarget.isSimulated(); }
    unsigned cpuCount() const override { return fTarget.cpuCount(); }
    unsigned currentCPU() const override { return fTarget.currentCPU(); }
    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) override { fTarget.cpuid(leaf, subleaf, regs); }
    uint64_t rdmsr(uint32_t msr) override { return fTarget.rdmsr(msr); }
    void wrmsr(uint32_t msr, uint64_t value) override { fTarget.wrmsr(msr, value); }
    uint32_t microcodeRevision() override { return fTarget.microcodeRevision(); }
    void rendezvous(Action action, void* argument) override { fTarget.rendezvous(action, argument); }

protected:
    CPUHardware& target() const { return fTarget; }

private:
    CPUHardware& fTarget;
};

} // namespace vennix
