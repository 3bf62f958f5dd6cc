#include "host/PlatformBackends.h"

#include "kext/platform/ACPICallPlatform.h"
#include "kext/platform/MSRDevice.h"
#include "sim/SimulatedACPI.h"
#include "sim/SimulatedProcessor.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vennix {

PlatformBackends::PlatformBackends(std::unique_ptr<CPUHardware> hardware,
                                   std::unique_ptr<ACPIPlatform> acpi, Clock* clock,
                                   std::string description)
    : fHardware(std::move(hardware))
    , fACPI(std::move(acpi))
    , fClock(clock)
    , fDescription(std::move(description))
{
}

PlatformBackends::~PlatformBackends() = default;

std::unique_ptr<PlatformBackends> PlatformBackends::simulated(Clock* clock)
{
    if (clock == nullptr)
        return nullptr;
    auto processor = std::make_unique<sim::SimulatedProcessor>(*clock);
    auto acpi = std::make_unique<sim::SimulatedACPI>();
    return std::unique_ptr<PlatformBackends>(new PlatformBackends(
        std::move(processor), std::move(acpi), clock,
        "simulated processor and ACPI namespace (simulated)"));
}

std::unique_ptr<PlatformBackends> PlatformBackends::real(std::string* error)
{
    return real(error, RealPaths());
}

std::unique_ptr<PlatformBackends> PlatformBackends::real(std::string* error, const RealPaths& paths)
{
    // Check the first CPU's file first, to say plainly what is missing.
    const std::vector<int> cpus = MSRDevice::onlineCPUs();
    const std::string first = paths.cpuDirectory + "/" + std::to_string(cpus.empty() ? 0 : cpus.front()) + "/msr";
    struct stat status{};
    if (stat(first.c_str(), &status) != 0 && errno == ENOENT) {
        if (error)
            *error = "no " + first + ": load the msr kernel module (modprobe msr) or run with --simulate";
        return nullptr;
    }
    const int probe = ::open(first.c_str(), O_RDWR | O_CLOEXEC);
    if (probe < 0) {
        const int failure = errno;
        if (error) {
            *error = "cannot open " + first + ": " + std::strerror(failure);
            if (failure == EACCES || failure == EPERM)
                *error += ": vennixd must run as root (with CAP_SYS_RAWIO), or run with --simulate";
        }
        return nullptr;
    }
    ::close(probe);

    std::unique_ptr<MSRDevice> device = MSRDevice::open(paths.cpuDirectory, error);
    if (!device)
        return nullptr;

    std::string description = "MSRs through " + paths.cpuDirectory + " (" + std::to_string(device->cpuCount())
        + " CPUs), ACPI through " + paths.acpiCall;
    if (access(paths.acpiCall.c_str(), F_OK) != 0)
        description += " (missing: load the acpi_call module for ACPI methods)";
    auto acpi = std::make_unique<ACPICallPlatform>(paths.acpiCall, paths.acpiDevices);
    return std::unique_ptr<PlatformBackends>(
        new PlatformBackends(std::move(device), std::move(acpi), &Clock::system(), std::move(description)));
}

std::string PlatformBackends::description() const
{
    return fDescription;
}

} // namespace vennix
