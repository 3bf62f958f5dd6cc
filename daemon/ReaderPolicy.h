#pragma once
// What users other than root may read: least privilege for a monitor.
//
// - MSRs: the registers the monitor and its metrics read, listed once below; root may add
//   more in the MSR file (one number per line, decimal or 0x-hexadecimal, '#' comments).
//   Others would give away the kernel's layout (LSTAR, 0xC0000082) or more than a monitor
//   shows.
// - Energy counters (package, cores, graphics, DRAM, platform; AMD's core and package) are
//   the power side channel for which Linux made its own counters root's: each user is
//   answered a fresh value at most every kEnergyInterval, and the value it got last in
//   between, enough for a monitor that samples ten times a second.
// - ACPI methods evaluated without an argument (selectors 3 and 5): only methods that read,
//   named below for any device; root may add pairs in the ACPI file, one "PATH METHOD" per
//   line, PATH a registry path or "*" for any device. Everything else (_OFF, _PS3, _DIS, _RST,
//   an EC's _Qxx) could change the machine.
//
// Both files are trusted only as ConfigFile says, and read again when they change. Used from
// the daemon's event loop; a lock keeps tests on other threads honest.

#include "daemon/ConfigFile.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vennix {

class ReaderPolicy {
public:
    static constexpr const char* kDefaultMSRsFile = "/etc/vennix/msrs";
    static constexpr const char* kDefaultACPIFile = "/etc/vennix/acpi";
    static constexpr size_t kMaxFileSize = 64 * 1024;
    // A fresh energy reading per user at most this often: 20 per second.
    static constexpr std::chrono::milliseconds kEnergyInterval{50};

    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    ReaderPolicy(std::string msrsFile = kDefaultMSRsFile, std::string acpiFile = kDefaultACPIFile,
                 Clock clock = std::chrono::steady_clock::now);

    // The MSRs every reader may read: those the monitor and its metrics read.
    static std::span<const uint32_t> monitorMSRs();
    // The ACPI methods every reader may evaluate on any device.
    static std::span<const char* const> readingMethods();
    static bool isEnergyCounter(uint32_t msr);

    bool mayReadMSR(uint32_t msr);
    bool mayEvaluate(std::string_view path, std::string_view method);

    // Rewrites, in a batch result of rows x count values (MSR i of row n at n x count + i), the
    // energy counters that uid already read fresh less than kEnergyInterval ago with what it
    // was answered then; a fresh reading is remembered instead.
    void limitEnergy(uid_t uid, std::span<const uint32_t> msrs, uint8_t* values, uint32_t rows);

    // Root's files, as last read (for tests and the start-up line).
    size_t extraMSRCount();
    size_t extraACPICount();

private:
    void refreshLocked();

    std::mutex fLock;
    ConfigFile fMSRsFile;
    ConfigFile fACPIFile;
    Clock fClock;
    std::set<uint32_t> fExtraMSRs;
    std::set<std::pair<std::string, std::string>> fExtraACPI; // (path or "*", method)

    struct EnergyReading {
        std::chrono::steady_clock::time_point at;
        std::vector<uint64_t> rows;
    };
    std::map<std::pair<uid_t, uint32_t>, EnergyReading> fEnergy;
};

} // namespace vennix
