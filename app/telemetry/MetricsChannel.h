#pragma once
// The figures users watch most, one name/value row each with its unit and its history: package
// temperature, hottest and mean core temperature, package power, the averaged and the highest
// multiplier, and the mean core voltage. Computed with CPUMetrics from the batches the per-CPU
// channel read this tick (CPUReadings): the channel makes no service call of its own, so it is
// sampled after that channel. A figure that cannot be had shows kMissing, its tooltip says why,
// and its history gets no point for the tick.

#include "channels/NameValueChannel.h"
#include "telemetry/CPUMetrics.h"
#include "telemetry/CPUReadings.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qarn {

class MetricsChannel : public NameValueChannel {
public:
    enum Row : uint32_t {
        kPackageTemperature,
        kHottestCore,
        kMeanCoreTemperature,
        kPackagePower,
        kAverageMultiplier,
        kHighestMultiplier,
        kCoreVoltage,
        kRowCount
    };
    static constexpr const char* kMissing = "\u2014";

    // cpu may be null (no CPU service): the channel then has no rows. readings are the per-CPU
    // channel's.
    static std::shared_ptr<MetricsChannel> with(std::shared_ptr<IntelCPU> cpu,
                                                std::shared_ptr<const CPUReadings> readings);
    MetricsChannel(std::shared_ptr<IntelCPU> cpu, std::shared_ptr<const CPUReadings> readings);

    // Takes the tick's readings; a tick in which they were not read again changes nothing.
    void sample() override;

private:
    // Shows a figure (and adds it to the row's history), or kMissing with the reason.
    void show(Row row, double value, const char* format);
    void miss(Row row, const std::string& why);
    void missAll(const std::string& why);

    std::shared_ptr<const CPUReadings> _readings;
    uint64_t fSeen = 0;
    CPUMetrics fMetrics;
    bool fPowerBaseline = false;
    // Each row's reason for missing, empty while it shows a figure: its tooltip is rewritten
    // only when that changes.
    std::array<std::optional<std::string>, kRowCount> fWhy;
};

} // namespace qarn
