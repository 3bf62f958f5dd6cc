#include "kext/Vennix.h"

namespace vennix {

i386_cpu_info_t* Vennix::record()
{
    return cpuid_info();
}

void Vennix::started(IOPlatformDevice& platform)
{
    fHardware = platform.getCPUHardware();
    fClock = platform.getClock();
}

i386_cpu_info_t* Vennix::getInfo()
{
    return cpuid_info();
}

double Vennix::getTime()
{
    uint64_t seconds = 0;
    uint32_t microseconds = 0;
    (fClock ? *fClock : Clock::system()).calendarMicrotime(seconds, microseconds);
    return static_cast<double>(seconds) + microseconds / 1000000.0;
}

uint64_t Vennix::getMSR(uint32_t msr)
{
    return fHardware ? fHardware->rdmsr(msr) : 0;
}

void Vennix::setMSR(uint32_t msr, uint64_t value)
{
    if (fHardware)
        fHardware->wrmsr(msr, value);
}

} // namespace vennix
