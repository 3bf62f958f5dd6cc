#pragma once
// The machine's ACPI namespace as the CPU service sees it: devices named by registry paths of
// the ACPI plane, "IOACPIPlane:/_SB/PCI0/LPCB/EC0", and methods evaluated on them.
//
// One contract, two backends:
//   - ACPICallPlatform (real): device existence from sysfs, evaluation through the acpi_call
//     module's /proc/acpi/call.
//   - sim::SimulatedACPI: the simulated embedded controller's namespace.
// ForwardingACPIPlatform passes every call to another backend, for wrappers that change one.
//
// Paths: after the plane prefix, '/'-separated ACPI names of 1 to 4 characters (A-Z, 0-9,
// '_', not starting with a digit), each optionally followed by "@unit" (hex digits and
// commas), which is ignored. A name stands for itself padded with '_' to 4 characters, so
// "EC0" and "EC0_" are the same device. Anything else (another plane, an empty or relative
// path, blanks, control characters, lower case) names no device. Method names are single
// ACPI names under the same rules.
//
// Results and arguments are objects of the service's object model: numbers (64-bit), strings,
// byte buffers (OSData) and packages (OSArray). Backends are thread-safe; nothing throws.

#include "protocol/IOReturn.h"

#include <cstddef>
#include <string>

namespace vennix {

class OSObject;

inline constexpr const char* kIOACPIPlanePrefix = "IOACPIPlane:/";

// ACPI allows at most seven arguments per method.
inline constexpr IOItemCount kACPIMaxArguments = 7;

class ACPIPlatform {
public:
    virtual ~ACPIPlatform() = default;

    // Says where the namespace comes from ("simulated", "/proc/acpi/call"), for users and logs.
    virtual const char* description() const = 0;
    virtual bool isSimulated() const = 0;

    // Whether path (a registry path as above) names an ACPI device that exists.
    virtual bool deviceExists(const char* path) = 0;

    // Evaluates method on the device at path with paramCount arguments (none null). On
    // success answers kIOReturnSuccess and *result holds the method's result (the caller's
    // reference) or null when the method returns nothing. On failure *result is null and the
    // answer says why: kIOReturnNotFound (no such device or method), kIOReturnBadArgument
    // (wrong arguments, names or paths that are not ACPI's), kIOReturnUnsupported (an
    // argument or result the backend cannot carry), others from the backend.
    virtual IOReturn evaluateObject(const char* path, const char* method, OSObject* const* params,
                                    IOItemCount paramCount, OSObject** result) = 0;

    // Whether name[0, length) is an ACPI name: 1 to 4 characters of A-Z, 0-9, '_', the first
    // not a digit.
    static bool isACPIName(const char* name, size_t length);

    // The ACPI path of a registry path, with names as written ("\_SB.PCI0.LPCB.EC0") or padded
    // to 4 characters ("\_SB_.PCI0.LPCB.EC0_"). False (and acpiPath unchanged) for a path that
    // names no device, or when memory runs out.
    static bool acpiPathOf(const char* registryPath, bool padded, std::string& acpiPath);

    // A method name padded to 4 characters ("EC0" -> "EC0_"); false when it is no ACPI name.
    static bool paddedName(const char* name, std::string& padded);
};

// Every call passed on to target, which must outlive the wrapper.
class ForwardingACPIPlatform : public ACPIPlatform {
public:
    explicit ForwardingACPIPlatform(ACPIPlatform& target) : fTarget(target) {}

    const char* description() const override { return fTarget.description(); }
    bool isSimulated() const override { return fTarget.isSimulated(); }
    bool deviceExists(const char* path) override { return fTarget.deviceExists(path); }
    IOReturn evaluateObject(const char* path, const char* method, OSObject* const* params, IOItemCount paramCount,
                            OSObject** result) override
    {
        return fTarget.evaluateObject(path, method, params, paramCount, result);
    }

private:
    ACPIPlatform& fTarget;
};

} // namespace vennix
