#pragma once
// What the display is for: the CPU's load (or its package temperature) as a bar on the first
// screen, from green at rest to red at full tilt, one frame a step.
//
// Load is the share of time the CPUs were busy (C0) since the previous step: MPERF advances only
// while a CPU is busy, the time stamp counter always, both at the base frequency, so their ratio
// is the busy share. One batch on every CPU a step, through the CPU service.

#include "serial_display/SparvelDevice.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace qarn {

class IntelCPU;

class DisplayFollower {
public:
    enum class Source { Load, Temperature };

    // display and cpu must outlive the follower; cpu may be null (nothing to show).
    DisplayFollower(SparvelDevice& display, IntelCPU* cpu, Source source);

    // Reads the figure and sends one bar frame; answers the share shown (0 to 1), or nothing
    // when there is no reading yet (the first load step only sets the baseline) or none at all.
    std::optional<double> step();

    // The frame for a share: the top row lit (0 to height - 1) and the colour.
    static int64_t barFor(double share, int64_t height);
    static SparvelDevice::Color colorFor(double share);

private:
    std::optional<double> load();
    std::optional<double> temperature();

    SparvelDevice& fDisplay;
    IntelCPU* fCPU;
    Source fSource;
    std::vector<uint64_t> fLastTSC;
    std::vector<uint64_t> fLastMPerf;
};

} // namespace qarn
