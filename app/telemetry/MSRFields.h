#pragma once
// The registers the monitor reads (protocol/MSR.h, as qarn::msr) and the figure the monitor
// derives from two of them in more than one place.

#include "protocol/MSR.h"

namespace qarn::msr {

using namespace vennix::msr;

// The multiplier a CPU ran at over an interval: base x dAPERF / dMPERF. MPERF stands still
// while a CPU sleeps the whole interval, and where the processor refuses the counters: such a
// CPU ran at no ratio at all, 0, not 0/0.
constexpr double ranRatio(double base, double aDelta, double mDelta)
{
    return mDelta != 0.0 ? base * (aDelta / mDelta) : 0.0;
}

} // namespace qarn::msr
