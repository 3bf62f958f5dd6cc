#pragma once
// The provider the CPU service's services start on: it carries the machine's hardware layers
// (the processor and the clock), chosen once at start-up, real or simulated. Services take
// what they need from their provider in start(); nothing reaches for a global backend.

#include "kext/platform/Clock.h"
#include "kext/platform/CPUHardware.h"
#include "kext/platform/IOService.h"

namespace vennix {

class IOPlatformDevice : public IOService {
    OSDeclareDefaultStructors(IOPlatformDevice)

public:
    // A new, initialised device for these layers (count 1). The layers are not owned and
    // must outlive every service started on the device. Null when hardware is null.
    static IOPlatformDevice* withHardware(CPUHardware* hardware, Clock* clock = &Clock::system());

    // The platform device a service was started on; null (and a log line in the service's
    // name) when the provider is none, for a service that cannot work without one.
    static IOPlatformDevice* of(const IOService* service, IOService* provider);

    CPUHardware* getCPUHardware() const { return fHardware; }
    Clock* getClock() const { return fClock; }

private:
    CPUHardware* fHardware = nullptr;
    Clock* fClock = nullptr;
};

} // namespace vennix
