#include "kext/Vennix.h"

#include "kext/platform/IOLog.h"

namespace vennix {

bool Vennix::init(OSDictionary* dictionary)
{
    IOLog("%s/ init\n", getClassName());
    return IOService::init(dictionary);
}

void Vennix::free()
{
    IOLog("%s/ free\n", getClassName());
    IOService::free();
}

bool Vennix::start(IOService* provider)
{
    IOLog("%s/ start\n", getClassName());
    const bool started = IOService::start(provider);
    // Without a processor there is nothing to identify or serve: not published.
    IOPlatformDevice* platform = IOPlatformDevice::of(this, provider);
    if (platform == nullptr)
        return false;
    fHardware = platform->getCPUHardware();
    fClock = platform->getClock();
    cpuid_set_info(*platform, cpuid_info());
    registerService(0);
    return started;
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
