#pragma once
// The hardware layers vennixd serves, chosen once at start-up: the simulated processor and
// ACPI namespace (--simulate), or the machine's own through /dev/cpu/N/msr and acpi_call.
// The backends live as long as this object; the services started on them must go first.

#include "kext/platform/ACPICallPlatform.h"
#include "kext/platform/ACPIPlatform.h"
#include "kext/platform/Clock.h"
#include "kext/platform/CPUHardware.h"

#include <memory>
#include <string>

namespace vennix {

class PlatformBackends {
public:
    // Where the real backends look; tests point them elsewhere.
    struct RealPaths {
        std::string cpuDirectory = "/dev/cpu";
        std::string acpiCall = ACPICallPlatform::kDefaultCallPath;
        std::string acpiDevices = ACPICallPlatform::kDefaultDevicesDirectory;
    };

    // The simulated processor and ACPI namespace, on clock (which must outlive them).
    static std::unique_ptr<PlatformBackends> simulated(Clock* clock = &Clock::system());

    // The machine's processor and ACPI namespace. Null with a message in *error when the MSR
    // files are missing (the msr module is not loaded) or cannot be opened (not root). A
    // missing acpi_call only makes ACPI evaluations fail; description() says so.
    static std::unique_ptr<PlatformBackends> real(std::string* error);
    static std::unique_ptr<PlatformBackends> real(std::string* error, const RealPaths& paths);

    ~PlatformBackends();
    PlatformBackends(const PlatformBackends&) = delete;
    PlatformBackends& operator=(const PlatformBackends&) = delete;

    CPUHardware* hardware() const { return fHardware.get(); }
    ACPIPlatform* acpi() const { return fACPI.get(); }
    Clock* clock() const { return fClock; }
    bool isSimulated() const { return fHardware->isSimulated(); }

    // One phrase for the start-up line, e.g. "MSRs through /dev/cpu, ACPI through
    // /proc/acpi/call" or "simulated processor and ACPI namespace (simulated)".
    std::string description() const;

private:
    PlatformBackends(std::unique_ptr<CPUHardware> hardware, std::unique_ptr<ACPIPlatform> acpi,
                     Clock* clock, std::string description);

    std::unique_ptr<CPUHardware> fHardware;
    std::unique_ptr<ACPIPlatform> fACPI;
    Clock* fClock;
    std::string fDescription;
};

} // namespace vennix
