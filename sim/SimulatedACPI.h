#pragma once
// The simulated ACPI namespace: the embedded controller of the simulated machine,
// IOACPIPlane:/_SB/PCI0/LPCB/EC0, with
//   _STA  no arguments  number 0xF (present, enabled, shown, working)
//   TEMP  no arguments  number: the temperature in tenths of a kelvin (3132 = 40.05 C)
//   NAME  no arguments  string "Simulated EC"
//   BUFF  no arguments  buffer 01 02 03 04
//   PKG0  no arguments  package (0x2A, "Qarn")
//   SETV  one argument  the argument itself
// Tests may add devices and methods. Evaluating an unknown device or method answers
// kIOReturnNotFound, a wrong number of arguments kIOReturnBadArgument. Thread-safe.

#include "kext/platform/ACPIPlatform.h"
#include "kext/platform/OSObject.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace sim {

class SimulatedACPI final : public vennix::ACPIPlatform {
public:
    static constexpr const char* kECPath = "IOACPIPlane:/_SB/PCI0/LPCB/EC0";
    static constexpr uint64_t kStatus = 0xF;
    static constexpr uint64_t kDefaultTemperature = 3132;
    static constexpr const char* kName = "Simulated EC";
    static constexpr unsigned char kBuffer[4] = {0x01, 0x02, 0x03, 0x04};
    static constexpr uint64_t kPackageNumber = 0x2A;
    static constexpr const char* kPackageString = "Qarn";

    // A method: gets exactly the number of arguments it was defined with (none null) and
    // answers like ACPIPlatform::evaluateObject, leaving *result null for no result. Runs
    // with the namespace's lock held: it must not call back into the namespace.
    using Method = std::function<vennix::IOReturn(vennix::OSObject* const* params,
                                                  vennix::OSObject** result)>;

    SimulatedACPI();
    ~SimulatedACPI() override;
    SimulatedACPI(const SimulatedACPI&) = delete;
    SimulatedACPI& operator=(const SimulatedACPI&) = delete;

    const char* description() const override;
    bool isSimulated() const override;
    bool deviceExists(const char* path) override;
    vennix::IOReturn evaluateObject(const char* path, const char* method,
                                    vennix::OSObject* const* params,
                                    vennix::IOItemCount paramCount,
                                    vennix::OSObject** result) override;

    // Adds a device (no methods); false for a path that names no device or already exists.
    bool addDevice(const char* path);
    // Defines (or replaces) a method of an existing device; false for unknown devices, names
    // that are not ACPI's and more than seven arguments.
    bool defineMethod(const char* path, const char* name, unsigned argumentCount, Method method);

    // What TEMP answers from now on.
    void setTemperature(uint64_t tenthsOfKelvin);

    // Evaluations so far that reached a method, successful or not.
    uint64_t evaluationCount() const;

private:
    struct MethodEntry {
        unsigned argumentCount = 0;
        Method method;
    };
    using Device = std::map<std::string, MethodEntry>; // by padded name

    // evaluateObject with a result pointer that is never null; takes the lock.
    vennix::IOReturn evaluateMethod(const char* path, const char* method,
                                    vennix::OSObject* const* params,
                                    vennix::IOItemCount paramCount, vennix::OSObject** result);
    // The device of a path; null when there is none. Caller holds fLock.
    Device* findLocked(const char* path);

    mutable std::mutex fLock;
    std::map<std::string, Device> fDevices; // by padded ACPI path
    std::atomic<uint64_t> fTemperature{kDefaultTemperature};
    std::atomic<uint64_t> fEvaluations{0};
};

} // namespace sim
