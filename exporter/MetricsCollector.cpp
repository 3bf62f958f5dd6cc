#include "exporter/MetricsCollector.h"

#include <string>
#include <utility>

namespace qarn {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricsCollector::MetricsCollector(Sampler::Opener open, std::chrono::milliseconds interval, bool simulated)
    : fInterval(interval), fSimulated(simulated), fSampler(std::move(open))
{
}

void MetricsCollector::setCooler(CoolerReader reader)
{
    std::lock_guard lock(fLock);
    fCooler = std::move(reader);
}

std::shared_ptr<const Sample> MetricsCollector::sample() const
{
    std::lock_guard lock(fLock);
    const auto now = std::chrono::steady_clock::now();
    if (fLatest && now - fTaken < fInterval)
        return fLatest;
    // Stamped before the reading: readings start at least an interval apart.
    fTaken = now;
    auto fresh = std::make_shared<Sample>(fSampler.read());
    if (fCooler)
        fresh->cooler = fCooler();
    fresh->simulated = fresh->simulated || fSimulated;
    fLatest = std::move(fresh);
    ++fReadings;
    return fLatest;
}

uint64_t MetricsCollector::readings() const
{
    std::lock_guard lock(fLock);
    return fReadings;
}

std::vector<MetricFamily> MetricsCollector::Collect() const
{
    return families(*sample());
}

namespace {

void add(std::vector<MetricFamily>& families, const char* name, const char* help, MetricType type,
         const std::optional<double>& value)
{
    if (!value)
        return;
    ClientMetric metric;
    (type == MetricType::Counter ? metric.counter.value : metric.gauge.value) = *value;
    families.push_back({name, help, type, {metric}});
}

void add(std::vector<MetricFamily>& families, const char* name, const char* help,
         const std::vector<Sample::PerCPU>& values)
{
    if (values.empty())
        return;
    MetricFamily family{name, help, MetricType::Gauge, {}};
    for (const auto& [cpu, value] : values) {
        ClientMetric metric;
        metric.label.push_back({"cpu", std::to_string(cpu)});
        metric.gauge.value = value;
        family.metric.push_back(std::move(metric));
    }
    families.push_back(std::move(family));
}

} // namespace

std::vector<MetricFamily> MetricsCollector::families(const Sample& s)
{
    std::vector<MetricFamily> f;
    constexpr MetricType kGauge = MetricType::Gauge;
    add(f, "qarn_simulated",
        "1 when these numbers come from the simulated processor (and cooler), not from this machine's hardware",
        kGauge, s.simulated ? 1.0 : 0.0);
    add(f, "qarn_package_temperature_celsius",
        "Package temperature: MSR_TEMPERATURE_TARGET 23:16 less IA32_PACKAGE_THERM_STATUS 22:16, last valid reading",
        kGauge, s.packageCelsius);
    add(f, "qarn_core_temperature_celsius",
        "Temperature of each logical CPU's core: MSR_TEMPERATURE_TARGET 23:16 less IA32_THERM_STATUS 22:16, last "
        "valid reading",
        s.coreCelsius);
    add(f, "qarn_package_power_watts",
        "Package power over the last interval, from MSR_PKG_ENERGY_STATUS in MSR_RAPL_POWER_UNIT energy units", kGauge,
        s.packageWatts);
    add(f, "qarn_package_energy_joules_total",
        "Package energy since the exporter started, summed from MSR_PKG_ENERGY_STATUS increases (32-bit wrap handled)",
        MetricType::Counter, s.packageJoules);
    add(f, "qarn_cpu_multiplier",
        "Ratio of the 100 MHz bus clock each logical CPU ran at over the last interval: base ratio x dAPERF / dMPERF "
        "(0 for a CPU that slept throughout)",
        s.multiplier);
    add(f, "qarn_cpu_busy_ratio",
        "Share of the last interval each logical CPU was busy (C0): dMPERF over the time at the base frequency",
        s.busy);
    add(f, "qarn_core_voltage_volts", "Mean core voltage over the CPUs: IA32_PERF_STATUS 47:32 in 1/8192 V", kGauge,
        s.coreVolts);
    if (s.cooler) {
        add(f, "qarn_cooler_fan_rpm", "Liquid cooler's fan speed, in revolutions per minute", kGauge,
            s.cooler->fanRPM);
        add(f, "qarn_cooler_pump_rpm", "Liquid cooler's pump speed, in revolutions per minute", kGauge,
            s.cooler->pumpRPM);
        add(f, "qarn_cooler_liquid_temperature_celsius", "Liquid cooler's coolant temperature", kGauge,
            s.cooler->liquidCelsius);
    }
    return f;
}

} // namespace qarn
