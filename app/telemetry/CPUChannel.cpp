#include "telemetry/CPUChannel.h"

#include "telemetry/MSRFields.h"

#include <algorithm>
#include <utility>

namespace qarn {

namespace {

using msr::bits;

constexpr const char* kDescription =
    "The multiplier of the bus clock this CPU ran at since the previous tick (x): the base ratio MSR 0xCE "
    "(MSR_PLATFORM_INFO) bits 15:8 times the increase of MSR 0xE8 (IA32_APERF) over that of MSR 0xE7 (IA32_MPERF), "
    "read on every CPU in one batch (without a base ratio: the calling CPU's MSR 0x198 (IA32_PERF_STATUS) "
    "bits 15:8). Rows go to the CPUs whose MPERF reads nonzero, in order.";

} // namespace

std::shared_ptr<CPUChannel> CPUChannel::with(std::shared_ptr<IntelCPU> cpu)
{
    return std::make_shared<CPUChannel>(std::move(cpu));
}

CPUChannel::CPUChannel(std::shared_ptr<IntelCPU> cpu)
    : _cpu(std::move(cpu))
{
    const int cpus = _cpu ? _cpu->numberOfCPUs() : 0;
    for (int i = 0; i < cpus && i < static_cast<int>(kMaxCPUs); ++i) {
        addRow(format("Used ratio  CPU: %i", i), format("%.3f", 1.0));
        setToolTip(static_cast<size_t>(i), kDescription);
    }
}

void CPUChannel::show(size_t row, Shown shown)
{
    if (fShown[row] == shown)
        return;
    fShown[row] = shown;
    switch (shown) {
    case Shown::kNothingYet:
    case Shown::kFigure: setToolTip(row, kDescription); break;
    case Shown::kUnreadable:
        setToolTip(row, std::string(kDescription) + "\nNo figure: " + fReadings->why() + ".");
        break;
    case Shown::kNotRead:
        setToolTip(row, std::string(kDescription)
                            + "\nNo figure: the CPU service read fewer CPUs than the processor record counts.");
        break;
    }
}

void CPUChannel::sample()
{
    if (!_cpu || rowCount() == 0)
        return;

    const auto cpus = static_cast<uint32_t>(rowCount());
    fReadings->read(*_cpu, cpus);
    if (fReadings->state() == CPUReadings::State::kFailed)
        return;
    if (fReadings->state() == CPUReadings::State::kUnreadable) {
        // Not a measurement: without these registers every row would show a made-up 0.
        for (size_t row = 0; row < rowCount(); ++row) {
            setValue(row, IntelCPU::kNoReading);
            show(row, Shown::kUnreadable);
        }
        return;
    }
    const MSRBatch& ratios = fReadings->local();
    const MSRBatch& counters = fReadings->each();
    const auto base = static_cast<double>(bits(ratios.value(0, CPUReadings::kPlatformInfo), 15, 8));
    const auto current = static_cast<double>(bits(ratios.value(0, CPUReadings::kPerfStatus), 15, 8));

    const uint32_t filled = std::min(counters.cpus(), cpus);
    // Rows of CPUs the service did not read (the record counts more threads than run) have no
    // value, rather than one frozen at their last or first.
    for (size_t row = filled; row < rowCount(); ++row) {
        setValue(row, IntelCPU::kNoReading);
        show(row, Shown::kNotRead);
    }

    // Rows go to the CPUs whose MPERF reads nonzero, in order; one that reads 0 takes no row.
    size_t next = 0;
    for (uint32_t i = 0; static_cast<int64_t>(i) < _cpu->numberOfCPUs() && i < filled; ++i) {
        const uint64_t aPerf = counters.value(i, CPUReadings::kAPerf);
        const uint64_t mPerf = counters.value(i, CPUReadings::kMPerf);
        if (mPerf == 0)
            continue;
        const double a = static_cast<double>(aPerf) - aPerfOld[i];
        const double m = static_cast<double>(mPerf) - mPerfOld[i];
        aPerfOld[i] = static_cast<double>(aPerf);
        mPerfOld[i] = static_cast<double>(mPerf);

        const double r = base != 0.0 ? msr::ranRatio(base, a, m) : current;
        setValue(next, format("%.0f", r));
        record(next, static_cast<float>(r));
        show(next++, Shown::kFigure);
    }
}

} // namespace qarn
