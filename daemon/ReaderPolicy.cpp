#include "daemon/ReaderPolicy.h"

#include "kext/platform/IOLog.h"
#include "protocol/MSR.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vennix {

namespace {

// The monitor's package and per-CPU channels and IntelCPU's metrics read these, and no more.
constexpr uint32_t kMonitorMSRs[] = {
    msr::kTimeStampCounter, msr::kPlatformInfo,       msr::kPackageCStateConfig, msr::kMPerf,
    msr::kAPerf,            msr::kPerfStatus,         msr::kThermStatus,         msr::kTemperatureTarget,
    msr::kTurboRatioLimit,  msr::kPackageThermStatus, msr::kRaplPowerUnit,       msr::kPackageEnergyStatus,
    msr::kUncoreRatioLimit, msr::kPP0EnergyStatus,    msr::kTurboActivationRatio,
};

constexpr uint32_t kEnergyCounters[] = {
    msr::kPackageEnergyStatus, msr::kDRAMEnergyStatus,       msr::kPP0EnergyStatus, msr::kPP1EnergyStatus,
    msr::kPlatformEnergyCounter, msr::kAMDCoreEnergy, msr::kAMDPackageEnergy,
};

// Methods that only report: status, temperatures and trip points, identification, battery and
// adapter state.
constexpr const char* kReadingMethods[] = {
    "_STA", "_TMP", "_CRT", "_HOT", "_PSV", "_HID", "_CID", "_UID", "_ADR",
    "_STR", "_SUN", "_BIF", "_BIX", "_BST", "_PSR",
};

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view kSpace = " \t\r\v\f";
    const size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// Each line without its comment and surrounding blanks, with its number; empty lines left out.
template <class Each>
void forEachLine(std::string_view text, Each each)
{
    size_t number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        line = line.substr(0, line.find('#'));
        line = trimmed(line);
        if (!line.empty())
            each(line, number);
    }
}

std::optional<uint32_t> parseMSR(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

void logInvalid(const ConfigFile& file, size_t line, const char* expected)
{
    IOLog("vennixd/ %s line %zu is not %s: ignored\n", escapeForLog(file.path()).c_str(), line, expected);
}

} // namespace

ReaderPolicy::ReaderPolicy(std::string msrsFile, std::string acpiFile, Clock clock)
    : fMSRsFile(std::move(msrsFile), kMaxFileSize)
    , fACPIFile(std::move(acpiFile), kMaxFileSize)
    , fClock(std::move(clock))
{
}

std::span<const uint32_t> ReaderPolicy::monitorMSRs()
{
    return kMonitorMSRs;
}

std::span<const char* const> ReaderPolicy::readingMethods()
{
    return kReadingMethods;
}

bool ReaderPolicy::isEnergyCounter(uint32_t msr)
{
    return std::find(std::begin(kEnergyCounters), std::end(kEnergyCounters), msr) != std::end(kEnergyCounters);
}

void ReaderPolicy::refreshLocked()
{
    if (fMSRsFile.refresh()) {
        fExtraMSRs.clear();
        if (!fMSRsFile.problem().empty())
            IOLog("vennixd/ %s adds nothing: %s\n", escapeForLog(fMSRsFile.path()).c_str(),
                  fMSRsFile.problem().c_str());
        if (fMSRsFile.text()) {
            forEachLine(*fMSRsFile.text(), [&](std::string_view line, size_t number) {
                if (const auto msr = parseMSR(line))
                    fExtraMSRs.insert(*msr);
                else
                    logInvalid(fMSRsFile, number, "an MSR number");
            });
        }
    }
    if (fACPIFile.refresh()) {
        fExtraACPI.clear();
        if (!fACPIFile.problem().empty())
            IOLog("vennixd/ %s adds nothing: %s\n", escapeForLog(fACPIFile.path()).c_str(),
                  fACPIFile.problem().c_str());
        if (fACPIFile.text()) {
            forEachLine(*fACPIFile.text(), [&](std::string_view line, size_t number) {
                const size_t blank = line.find_first_of(" \t");
                const std::string_view path = line.substr(0, blank);
                const std::string_view method =
                    blank == std::string_view::npos ? std::string_view() : trimmed(line.substr(blank));
                if (path.empty() || method.empty() || method.find_first_of(" \t") != std::string_view::npos
                    || line.find('\0') != std::string_view::npos)
                    logInvalid(fACPIFile, number, "\"PATH METHOD\"");
                else
                    fExtraACPI.emplace(std::string(path), std::string(method));
            });
        }
    }
}

bool ReaderPolicy::mayReadMSR(uint32_t msr)
{
    if (std::find(std::begin(kMonitorMSRs), std::end(kMonitorMSRs), msr) != std::end(kMonitorMSRs))
        return true;
    std::lock_guard<std::mutex> hold(fLock);
    refreshLocked();
    return fExtraMSRs.count(msr) != 0;
}

bool ReaderPolicy::mayEvaluate(std::string_view path, std::string_view method)
{
    for (const char* reading : kReadingMethods) {
        if (method == reading)
            return true;
    }
    std::lock_guard<std::mutex> hold(fLock);
    refreshLocked();
    const std::string name(method);
    return fExtraACPI.count({"*", name}) != 0 || fExtraACPI.count({std::string(path), name}) != 0;
}

void ReaderPolicy::limitEnergy(uid_t uid, std::span<const uint32_t> msrs, uint8_t* values, uint32_t rows)
{
    const uint64_t count = msrs.size();
    if (values == nullptr || rows == 0)
        return;
    std::lock_guard<std::mutex> hold(fLock);
    const auto now = fClock();
    for (size_t i = 0; i < msrs.size(); ++i) {
        if (!isEnergyCounter(msrs[i]))
            continue;
        EnergyReading& last = fEnergy[{uid, msrs[i]}];
        const bool fresh = last.rows.empty() || now - last.at >= kEnergyInterval;
        if (fresh) {
            last.at = now;
            last.rows.assign(rows, 0);
        }
        for (uint32_t n = 0; n < rows; ++n) {
            uint8_t* cell = values + 8 * (n * count + i);
            if (fresh) {
                std::memcpy(&last.rows[n], cell, 8);
            } else {
                // A row the last fresh reading did not have gets that reading's first row: the
                // counters are the package's, the same on each of its CPUs.
                const uint64_t cached = n < last.rows.size() ? last.rows[n] : last.rows[0];
                std::memcpy(cell, &cached, 8);
            }
        }
    }
}

size_t ReaderPolicy::extraMSRCount()
{
    std::lock_guard<std::mutex> hold(fLock);
    refreshLocked();
    return fExtraMSRs.size();
}

size_t ReaderPolicy::extraACPICount()
{
    std::lock_guard<std::mutex> hold(fLock);
    refreshLocked();
    return fExtraACPI.size();
}

} // namespace vennix
