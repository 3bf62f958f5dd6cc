#pragma once
// The machine's real ACPI namespace: devices found through sysfs
// (/sys/bus/acpi/devices/*/path holds "\_SB_.PCI0.LPCB.EC0_"), methods evaluated through the
// acpi_call module's /proc/acpi/call.
//
// acpi_call takes one line, "<method path> <arg> <arg> ...", evaluates it, and answers the
// next read with one text, ended by a NUL:
//   ""                    success, no result
//   0x1f                  integer
//   "text"                string (not escaped: it may itself hold quotes)
//   {0x01, 0x02}          buffer ("{0x01," when the module's 256-byte answer was cut)
//   [0x1, "a", {0x02}]    package of the above, nested
//   Error: AE_NOT_FOUND   failed evaluation
//   not called            nothing was evaluated (the module refused the line)
// Arguments are written as 0x<hex> (integers), "text" (strings) and b<hex digits> (buffers);
// the module has no syntax for packages, nor for strings with quotes, so those are refused.
//
// The call file is written by one open-write-close and read back by another open: the module
// keeps its answer between the two, and a plain file holding an answer and a NUL can stand in
// for it (the request line is appended behind the NUL). Evaluations are serialised; another
// process using acpi_call at the same time can still swap the module's answer under us.

#include "kext/platform/ACPIPlatform.h"

#include <mutex>
#include <string>

namespace vennix {

class ACPICallPlatform final : public ACPIPlatform {
public:
    static constexpr const char* kDefaultCallPath = "/proc/acpi/call";
    static constexpr const char* kDefaultDevicesDirectory = "/sys/bus/acpi/devices";

    // The longest line acpi_call accepts (its buffer is 512 bytes with the NUL).
    static constexpr size_t kMaxRequestLength = 511;
    // The most of an answer that is read; longer answers fail.
    static constexpr size_t kMaxAnswerLength = 64 * 1024;
    // Packages nested deeper than this fail to parse.
    static constexpr int kMaxAnswerDepth = 32;

    explicit ACPICallPlatform(std::string callPath = kDefaultCallPath,
                              std::string devicesDirectory = kDefaultDevicesDirectory);

    const char* description() const override;
    bool isSimulated() const override;
    bool deviceExists(const char* path) override;
    IOReturn evaluateObject(const char* path, const char* method, OSObject* const* params,
                            IOItemCount paramCount, OSObject** result) override;

    // The line written to the call file for method on the device at path, without its line
    // feed. kIOReturnBadArgument for names, paths or arguments that cannot be written safely
    // (or are longer than acpi_call takes), kIOReturnUnsupported for argument classes it has
    // no syntax for.
    static IOReturn formatRequest(const char* path, const char* method, OSObject* const* params,
                                  IOItemCount paramCount, std::string& line);

    // Turns one answer (length bytes, not NUL-terminated) into a result. Success: *result is
    // the value, or null for an empty answer. "Error: AE_..." answers map to kIOReturnNotFound
    // (AE_NOT_FOUND), kIOReturnBadArgument (bad parameters, types, arguments),
    // kIOReturnNoMemory (AE_NO_MEMORY) and kIOReturnError (the rest); an object type the
    // module does not print to kIOReturnUnsupported; anything malformed or cut to
    // kIOReturnIOError.
    static IOReturn parseAnswer(const char* answer, size_t length, OSObject** result);

private:
    IOReturn exchange(const std::string& line, std::string& answer);

    const std::string fCallPath;
    const std::string fDevicesDirectory;
    std::mutex fLock; // one request and its answer at a time
};

} // namespace vennix
