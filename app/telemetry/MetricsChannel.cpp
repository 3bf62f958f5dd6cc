#include "telemetry/MetricsChannel.h"

#include <utility>

namespace qarn {

namespace {

constexpr const char* kNames[MetricsChannel::kRowCount] = {
    "Package Temperature", "Hottest Core",       "Mean Core Temperature", "Package Power",
    "Average Multiplier",  "Highest Multiplier", "Core Voltage",
};

constexpr const char* kDescriptions[MetricsChannel::kRowCount] = {
    "The package's temperature, in \u00b0C: MSR 0x1A2 (MSR_TEMPERATURE_TARGET) bits 23:16 less "
    "MSR 0x1B1 (IA32_PACKAGE_THERM_STATUS) bits 22:16, read on the calling CPU; the last reading that bit 31 "
    "marks valid.",
    "The hottest CPU's temperature, in \u00b0C: on each CPU, MSR 0x1A2 (MSR_TEMPERATURE_TARGET) bits 23:16 less "
    "MSR 0x19C (IA32_THERM_STATUS) bits 22:16; each CPU's last reading that bit 31 marks valid.",
    "The mean of the CPUs' temperatures, in \u00b0C: on each CPU, MSR 0x1A2 (MSR_TEMPERATURE_TARGET) bits 23:16 "
    "less MSR 0x19C (IA32_THERM_STATUS) bits 22:16; each CPU's last reading that bit 31 marks valid.",
    "The package's power since the previous tick, in watts: the increase of MSR 0x611 (MSR_PKG_ENERGY_STATUS) "
    "bits 31:0, in units of 2^-N J with N from MSR 0x606 (MSR_RAPL_POWER_UNIT) bits 12:8, over the time between "
    "the CPU service's batches; the mean of the CPUs' readings.",
    "The multiplier of the bus clock the CPUs ran at (x), averaged over the CPUs and then over the last 8 ticks: "
    "the base ratio MSR 0xCE (MSR_PLATFORM_INFO) bits 15:8 times the increase of MSR 0xE8 (IA32_APERF) over that "
    "of MSR 0xE7 (IA32_MPERF), or, while a CPU's smoothed share of the one-core turbo ratio (MSR 0x1AD "
    "MSR_TURBO_RATIO_LIMIT bits 7:0) is at most 1, its current ratio MSR 0x198 (IA32_PERF_STATUS) bits 15:8.",
    "The highest of the last 8 ticks' CPU-averaged multipliers (x), each from the base ratio MSR 0xCE "
    "(MSR_PLATFORM_INFO) bits 15:8 and MSR 0xE8 (IA32_APERF) / MSR 0xE7 (IA32_MPERF), or the current ratio "
    "MSR 0x198 (IA32_PERF_STATUS) bits 15:8.",
    "The mean core voltage over the CPUs, in volts: MSR 0x198 (IA32_PERF_STATUS) bits 47:32, in units of "
    "1/8192 V.",
};

} // namespace

std::shared_ptr<MetricsChannel> MetricsChannel::with(std::shared_ptr<IntelCPU> cpu,
                                                     std::shared_ptr<const CPUReadings> readings)
{
    return std::make_shared<MetricsChannel>(std::move(cpu), std::move(readings));
}

MetricsChannel::MetricsChannel(std::shared_ptr<IntelCPU> cpu, std::shared_ptr<const CPUReadings> readings)
    : _readings(std::move(readings))
{
    if (!cpu || !_readings)
        return;
    for (uint32_t row = 0; row < kRowCount; ++row)
        addRow(kNames[row], kMissing);
    missAll(_readings->why());
}

void MetricsChannel::sample()
{
    if (rowCount() == 0 || _readings->reads() == fSeen)
        return;
    fSeen = _readings->reads();
    if (_readings->state() != CPUReadings::State::kRead)
        return missAll(_readings->why());

    const CPUReadings::Figures figures = _readings->figures(fMetrics);
    if (figures.packageCelsius)
        show(kPackageTemperature, *figures.packageCelsius, "%.0f \u00b0C");
    else
        miss(kPackageTemperature, "IA32_PACKAGE_THERM_STATUS has given no valid reading yet (bit 31 is clear)");

    if (!figures.cores) {
        for (Row row : {kHottestCore, kMeanCoreTemperature, kPackagePower, kAverageMultiplier, kHighestMultiplier,
                        kCoreVoltage})
            miss(row, "the CPU service's all-CPU batch read no CPU");
        return;
    }

    const auto& cores = figures.cores;
    if (cores->withoutReading == 0) {
        show(kHottestCore, cores->hottest, "%.0f \u00b0C");
        show(kMeanCoreTemperature, cores->mean, "%.1f \u00b0C");
    } else {
        // A CPU without a reading would count as 0 °C.
        const std::string why = format("%u of the %u CPUs read have given no valid reading yet (IA32_THERM_STATUS "
                                       "bit 31 is clear)",
                                       cores->withoutReading, cores->cpus);
        miss(kHottestCore, why);
        miss(kMeanCoreTemperature, why);
    }

    const auto& watts = figures.packageWatts;
    if (!watts)
        miss(kPackagePower, "MSR_RAPL_POWER_UNIT bits 12:8 read 0: the processor gives no energy unit");
    else if (!fPowerBaseline)
        miss(kPackagePower, "measured between two ticks; the first one sets the baseline");
    else
        show(kPackagePower, *watts, "%.1f W");
    fPowerBaseline = fPowerBaseline || watts;

    const auto [average, highest] = fMetrics.frequencies();
    if (fMetrics.frequencySamples() < CPUMetrics::kRingSize)
        miss(kAverageMultiplier, format("averaged over %u ticks; %u so far", CPUMetrics::kRingSize,
                                        fMetrics.frequencySamples()));
    else
        show(kAverageMultiplier, average, "%.1f x");
    show(kHighestMultiplier, highest, "%.1f x");

    if (!figures.coreVolts)
        miss(kCoreVoltage, "IA32_PERF_STATUS bits 47:32 read 0 on every CPU: the processor reports no voltage there");
    else
        show(kCoreVoltage, *figures.coreVolts, "%.3f V");
}

void MetricsChannel::show(Row row, double value, const char* format)
{
    setValue(row, NameValueChannel::format(format, value));
    record(row, static_cast<float>(value));
    if (fWhy[row] && fWhy[row]->empty())
        return;
    fWhy[row] = std::string();
    setToolTip(row, kDescriptions[row]);
}

void MetricsChannel::miss(Row row, const std::string& why)
{
    setValue(row, kMissing);
    if (fWhy[row] == why)
        return;
    fWhy[row] = why;
    setToolTip(row, std::string(kDescriptions[row]) + "\nNo figure: " + why + ".");
}

void MetricsChannel::missAll(const std::string& why)
{
    for (uint32_t row = 0; row < kRowCount; ++row)
        miss(static_cast<Row>(row), why);
}

} // namespace qarn
