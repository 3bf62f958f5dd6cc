#pragma once
// The provider the CPU service's services start on: it carries the machine's hardware layers
// (the processor, the clock and, where there is one, the ACPI namespace), chosen once at
// start-up, real or simulated. Services take what they need from their provider in start();
// nothing reaches for a global backend.

#include "kext/platform/ACPIPlatform.h"
#include "kext/platform/Clock.h"
#include "kext/platform/CPUHardware.h"
#include "kext/platform/IOService.h"

namespace vennix {

class IOPlatformDevice : public IOService {
    OSDeclareDefaultStructors(IOPlatformDevice)

public:
    // A new, initialised device for these layers (count 1). The layers are not owned and
    // must outlive every service started on the device. Null when hardware is null.
    static IOPlatformDevice* withHardware(CPUHardware* hardware, Clock* clock = &Clock::system(),
                                          ACPIPlatform* acpi = nullptr);

    // The platform device a service was started on; null (and a log line in the service's
    // name) when the provider is none, for a service that cannot work without one.
    static IOPlatformDevice* of(const IOService* service, IOService* provider);

    CPUHardware* getCPUHardware() const { return fHardware; }
    Clock* getClock() const { return fClock; }
    // Null on a machine without an ACPI layer: then no ACPI path leads anywhere.
    ACPIPlatform* getACPIPlatform() const { return fACPI; }

    // IORegistryEntry::fromPath for the registry of this machine: the entry a path names, the
    // caller's reference, or null. Only the ACPI plane has entries: a path there that names an
    // existing device answers an IOACPIPlatformDevice.
    OSObject* fromPath(const char* path) const;

private:
    CPUHardware* fHardware = nullptr;
    Clock* fClock = nullptr;
    ACPIPlatform* fACPI = nullptr;
};

} // namespace vennix
