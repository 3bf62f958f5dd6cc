#pragma once
// One row per logical CPU: the multiplier it actually ran at since the previous sample, the
// base multiplier scaled by its APERF/MPERF ratio over the interval, with its history. Each
// sample reads the tick's CPUReadings: the base and current ratios on the calling CPU, then
// APERF and MPERF of every CPU (with the metrics' registers) in one batch.

#include "channels/NameValueChannel.h"
#include "telemetry/CPUReadings.h"
#include "telemetry/IntelCPU.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qarn {

class CPUChannel : public NameValueChannel {
public:
    // Logical CPUs the channel holds rows and counters for; the batch asks for no more.
    static constexpr uint32_t kMaxCPUs = CPUReadings::kMaxCPUs;

    // cpu may be null (no CPU service): the channel then has no rows.
    static std::shared_ptr<CPUChannel> with(std::shared_ptr<IntelCPU> cpu);
    explicit CPUChannel(std::shared_ptr<IntelCPU> cpu);

    // Two batches; when either fails the rows keep their values and the counters are not
    // advanced, so the next sample covers the whole interval.
    void sample() override;

    // The tick's batches, for the channels sampled after this one.
    std::shared_ptr<const CPUReadings> readings() const { return fReadings; }

private:
    // What a row's tooltip says beside the figure's description.
    enum class Shown { kNothingYet, kFigure, kUnreadable, kNotRead };
    void show(size_t row, Shown shown);

    std::shared_ptr<IntelCPU> _cpu;
    std::shared_ptr<CPUReadings> fReadings = std::make_shared<CPUReadings>();
    std::array<double, kMaxCPUs> aPerfOld{};
    std::array<double, kMaxCPUs> mPerfOld{};
    std::array<Shown, kMaxCPUs> fShown{};
};

} // namespace qarn
