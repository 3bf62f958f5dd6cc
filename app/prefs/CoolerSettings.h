#pragma once
// The cooler's settings that must survive: coolers of this kind forget everything at power-off,
// so the curves and the two CPU-temperature switches live in the preferences (the monitor's
// QSettings store, beside "FullPower") and are sent again whenever the cooler appears.
//
// Every call opens the store afresh, so one object may be used from any thread; QSettings
// objects on one file see each other's writes at once within a process and on the next read
// across processes.

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qarn {

// A curve as the cooler takes it: the temperatures, then the settings that belong to them.
using CoolerCurve = std::vector<int64_t>;

struct CoolerSetup {
    CoolerCurve fanCurve{30, 25};
    CoolerCurve pumpCurve{30, 25};
    bool fanFollowsCPU = false;
    bool pumpFollowsCPU = false;
    bool operator==(const CoolerSetup&) const = default;
};

class CoolerSettings {
public:
    static constexpr size_t kMaxPoints = 16;
    static constexpr int64_t kMaxTemperature = 150;

    // The standard store (organisation and application "Qarn").
    CoolerSettings();
    // A store of its own in an INI file (tests, a second profile).
    explicit CoolerSettings(QString file);
    // The store of --simulate ("Qarn Simulated"): a simulated cooler's curves never reach the
    // real one's.
    static CoolerSettings simulated();
    // simulated()'s store for --simulate, else the standard one.
    static CoolerSettings standard(bool simulate) { return simulate ? simulated() : CoolerSettings(); }

    // What is stored; the defaults for anything missing or unreadable.
    CoolerSetup load() const;
    // Whether any of the cooler's settings is stored: a cooler was set up here before.
    bool hasStoredSetup() const;
    void setFanCurve(const CoolerCurve& curve);
    void setPumpCurve(const CoolerCurve& curve);
    void setFanFollowsCPU(bool follows);
    void setPumpFollowsCPU(bool follows);
    // The "FullPower" preference: drive the cooler as if the CPU were at 90 °C.
    bool fullPower() const;
    void setFullPower(bool on);

    // "20:30 40:100" (or with commas) as [20, 40, 30, 100]: temperature:setting pairs with
    // temperatures ascending from 0 to kMaxTemperature °C, settings from 0 to 100 %, one to
    // kMaxPoints points. Nothing, and error says why, for anything else.
    static std::optional<CoolerCurve> parseCurve(const std::string& text, std::string& error);
    // Whether curve ([temperatures..., settings...]) keeps those rules.
    static bool validCurve(const CoolerCurve& curve);
    // The other way round; a curve of odd length loses its last element, as the cooler reads it.
    static std::string formatCurve(const CoolerCurve& curve);

private:
    QString fFile;                            // empty: the store named by fApplication
    QString fApplication = QStringLiteral("Qarn");
};

} // namespace qarn
