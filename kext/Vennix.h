#pragma once
// The CPU service: hands out the CPU information record, a time stamp, and single MSR reads
// and writes on whichever CPU runs the call. Its user client runs those on all CPUs at once.

#include <cstdint>

#include "kext/CPUService.h"

namespace vennix {

class Vennix : public CPUService {
    OSDeclareDefaultStructors(Vennix)

public:

    // The CPU information record; valid as long as the process, callers copy it.
    virtual i386_cpu_info_t* getInfo();
    // Seconds since 1970, microsecond resolution.
    virtual double getTime();
    // RDMSR / WRMSR on the CPU that runs the call. Safe inside a rendezvous action: no lock,
    // no allocation. A refused MSR reads 0; a refused write is dropped.
    virtual uint64_t getMSR(uint32_t msr);
    virtual void setMSR(uint32_t msr, uint64_t value);

    // The processor the service started on (null before start): for cpu_number() and the
    // all-CPU rendezvous.
    CPUHardware* getCPUHardware() const { return fHardware; }

protected:
    // The record selector 0 hands out.
    i386_cpu_info_t* record() override;
    void started(IOPlatformDevice& platform) override;

private:
    CPUHardware* fHardware = nullptr;
    Clock* fClock = nullptr;
};

} // namespace vennix
