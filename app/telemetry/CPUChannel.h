#pragma once
// One row per logical CPU: the multiplier it actually ran at since the previous sample, the
// base multiplier scaled by its APERF/MPERF ratio over the interval. Each sample reads the
// base and current ratios on the calling CPU, then APERF and MPERF of every CPU in one batch.

#include "channels/NameValueChannel.h"
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
    static constexpr uint32_t kMaxCPUs = 64;

    // cpu may be null (no CPU service): the channel then has no rows.
    static std::shared_ptr<CPUChannel> with(std::shared_ptr<IntelCPU> cpu);
    explicit CPUChannel(std::shared_ptr<IntelCPU> cpu);

    // Two batches; when either fails the rows keep their values and the counters are not
    // advanced, so the next sample covers the whole interval.
    void sample() override;

private:
    std::shared_ptr<IntelCPU> _cpu;
    std::array<double, kMaxCPUs> aPerfOld{};
    std::array<double, kMaxCPUs> mPerfOld{};
    MSRBatch fRatios{2, 1};
    MSRBatch fCounters{2, kMaxCPUs};
};

} // namespace qarn
