#pragma once
// vennixctl: reads and writes what the CPU service offers, from the command line, through the
// same client classes as the monitor (IntelCPU, ACPIAccessor).
//
//   vennixctl [--simulate | --socket PATH] COMMAND [ARGUMENTS]
//
// Exit status: 0 done, 1 the service or the hardware refused or failed, 2 a bad command line.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qarn {

class ServiceDirectory;

class VennixCtl {
public:
    static constexpr int kExitFailed = 1;
    static constexpr int kExitUsage = 2;

    // The whole program: arguments after the program name. With stopOnSignals, SIGINT and
    // SIGTERM end metrics after the sample being printed (exit 0).
    static int main(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                    bool stopOnSignals = false);

    static const char* usage();

    // A number as a user types it: decimal, or hexadecimal with 0x; nothing for anything else
    // (signs, blanks, trailing characters, values beyond 64 bits).
    static std::optional<uint64_t> parseNumber(const std::string& text);
    // Seconds, with a fraction: "1", "0.25"; from 0.01 to 3600.
    static std::optional<std::chrono::milliseconds> parseInterval(const std::string& text);

private:
    VennixCtl(std::ostream& out, std::ostream& err) : fOut(out), fErr(err) {}

    int run(const std::vector<std::string>& arguments);
    int info(ServiceDirectory& directory, const std::vector<std::string>& arguments);
    int rdmsr(ServiceDirectory& directory, const std::vector<std::string>& arguments);
    int wrmsr(ServiceDirectory& directory, const std::vector<std::string>& arguments);
    int metrics(ServiceDirectory& directory, const std::vector<std::string>& arguments);
    int acpi(ServiceDirectory& directory, const std::vector<std::string>& arguments);

    // Prints "vennixctl: message" and answers status.
    int fail(int status, const std::string& message);
    // Waits interval; true at once when stop() was called (from any thread).
    bool stopWithin(std::chrono::milliseconds interval);
    void stop();

    std::ostream& fOut;
    std::ostream& fErr;
    bool fStopOnSignals = false;
    std::mutex fStopMutex;
    std::condition_variable fStopWake;
    bool fStopped = false;
};

} // namespace qarn
