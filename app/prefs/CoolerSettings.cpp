#include "prefs/CoolerSettings.h"

#include <QSettings>

#include <charconv>
#include <memory>

namespace qarn {

namespace {

constexpr const char* kFanCurveKey = "CoolerFanCurve";
constexpr const char* kPumpCurveKey = "CoolerPumpCurve";
constexpr const char* kFanFollowsKey = "CoolerFanFollowsCPU";
constexpr const char* kPumpFollowsKey = "CoolerPumpFollowsCPU";
constexpr const char* kFullPowerKey = "FullPower";

std::unique_ptr<QSettings> openStore(const QString& file, const QString& application)
{
    if (file.isEmpty())
        return std::make_unique<QSettings>(QStringLiteral("Qarn"), application);
    return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

// A stored curve is read back with the rules a user's is: one edited by hand into nonsense
// gives the default, not a curve the cooler would take literally.
CoolerCurve storedCurve(const QSettings& settings, const char* key, const CoolerCurve& fallback)
{
    const QVariant value = settings.value(QLatin1String(key));
    if (!value.isValid())
        return fallback;
    std::string error;
    return CoolerSettings::parseCurve(value.toString().toStdString(), error).value_or(fallback);
}

std::optional<int64_t> wholeNumber(std::string_view text)
{
    int64_t value = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failure != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// Why a point (as the user wrote it) cannot follow the temperatures before it on a curve; empty
// when it can.
std::string pointProblem(int64_t temperature, int64_t setting, const std::string& point,
                         const std::vector<int64_t>& temperatures)
{
    if (temperature < 0 || temperature > CoolerSettings::kMaxTemperature)
        return "temperature " + std::to_string(temperature) + " in '" + point + "' is outside 0 to " +
               std::to_string(CoolerSettings::kMaxTemperature) + " °C";
    if (setting < 0 || setting > 100)
        return "setting " + std::to_string(setting) + " in '" + point + "' is outside 0 to 100 %";
    if (!temperatures.empty() && temperature <= temperatures.back())
        return "temperatures must rise from point to point: " + std::to_string(temperature) + " after " +
               std::to_string(temperatures.back());
    if (temperatures.size() >= CoolerSettings::kMaxPoints)
        return "a curve has at most " + std::to_string(CoolerSettings::kMaxPoints) + " points";
    return {};
}

} // namespace

CoolerSettings::CoolerSettings() = default;

CoolerSettings::CoolerSettings(QString file) : fFile(std::move(file)) {}

CoolerSettings CoolerSettings::simulated()
{
    CoolerSettings settings;
    settings.fApplication = QStringLiteral("Qarn Simulated");
    return settings;
}

CoolerSetup CoolerSettings::load() const
{
    const auto settings = openStore(fFile, fApplication);
    CoolerSetup setup;
    setup.fanCurve = storedCurve(*settings, kFanCurveKey, setup.fanCurve);
    setup.pumpCurve = storedCurve(*settings, kPumpCurveKey, setup.pumpCurve);
    setup.fanFollowsCPU = settings->value(QLatin1String(kFanFollowsKey), false).toBool();
    setup.pumpFollowsCPU = settings->value(QLatin1String(kPumpFollowsKey), false).toBool();
    return setup;
}

bool CoolerSettings::hasStoredSetup() const
{
    const auto settings = openStore(fFile, fApplication);
    for (const char* key : {kFanCurveKey, kPumpCurveKey, kFanFollowsKey, kPumpFollowsKey}) {
        if (settings->contains(QLatin1String(key)))
            return true;
    }
    return false;
}

void CoolerSettings::setFanCurve(const CoolerCurve& curve)
{
    openStore(fFile, fApplication)->setValue(QLatin1String(kFanCurveKey), QString::fromStdString(formatCurve(curve)));
}

void CoolerSettings::setPumpCurve(const CoolerCurve& curve)
{
    openStore(fFile, fApplication)->setValue(QLatin1String(kPumpCurveKey), QString::fromStdString(formatCurve(curve)));
}

void CoolerSettings::setFanFollowsCPU(bool follows)
{
    openStore(fFile, fApplication)->setValue(QLatin1String(kFanFollowsKey), follows);
}

void CoolerSettings::setPumpFollowsCPU(bool follows)
{
    openStore(fFile, fApplication)->setValue(QLatin1String(kPumpFollowsKey), follows);
}

bool CoolerSettings::fullPower() const
{
    return openStore(fFile, fApplication)->value(QLatin1String(kFullPowerKey), false).toBool();
}

void CoolerSettings::setFullPower(bool on)
{
    openStore(fFile, fApplication)->setValue(QLatin1String(kFullPowerKey), on);
}

std::optional<CoolerCurve> CoolerSettings::parseCurve(const std::string& text, std::string& error)
{
    std::vector<int64_t> temperatures, settings;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find_first_of(" ,", at);
        const std::string point = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (point.empty())
            continue;
        const size_t colon = point.find(':');
        const auto temperature = colon == std::string::npos ? std::nullopt : wholeNumber(std::string_view(point).substr(0, colon));
        const auto setting = colon == std::string::npos ? std::nullopt : wholeNumber(std::string_view(point).substr(colon + 1));
        if (!temperature || !setting) {
            error = "'" + point + "' is not a point: write TEMPERATURE:SETTING, e.g. 40:60";
            return std::nullopt;
        }
        if (error = pointProblem(*temperature, *setting, point, temperatures); !error.empty())
            return std::nullopt;
        temperatures.push_back(*temperature);
        settings.push_back(*setting);
    }
    if (temperatures.empty()) {
        error = "a curve needs at least one point, e.g. 30:25";
        return std::nullopt;
    }
    temperatures.insert(temperatures.end(), settings.begin(), settings.end());
    return temperatures;
}

bool CoolerSettings::validCurve(const CoolerCurve& curve)
{
    if (curve.empty() || curve.size() % 2 != 0)
        return false;
    const size_t points = curve.size() / 2;
    std::vector<int64_t> temperatures;
    for (size_t i = 0; i < points; ++i) {
        if (!pointProblem(curve[i], curve[points + i], {}, temperatures).empty())
            return false;
        temperatures.push_back(curve[i]);
    }
    return true;
}

std::string CoolerSettings::formatCurve(const CoolerCurve& curve)
{
    const size_t points = curve.size() / 2;
    std::string text;
    for (size_t i = 0; i < points; ++i)
        text += (i ? " " : "") + std::to_string(curve[i]) + ":" + std::to_string(curve[points + i]);
    return text;
}

} // namespace qarn
