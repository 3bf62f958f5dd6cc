#include "Clock.h"

#include <ctime>

namespace vennix {

namespace {

class SystemClock final : public Clock {
public:
    void calendarMicrotime(uint64_t& seconds, uint32_t& microseconds) const override
    {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        seconds = static_cast<uint64_t>(ts.tv_sec);
        microseconds = static_cast<uint32_t>(ts.tv_nsec / 1000);
    }

    uint64_t monotonicNanoseconds() const override
    {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
    }
};

} // namespace

Clock& Clock::system()
{
    static SystemClock clock;
    return clock;
}

ManualClock::ManualClock(uint64_t seconds, uint32_t microseconds)
    : fNanos(seconds * 1000000000u + uint64_t{microseconds} * 1000u)
{
}

void ManualClock::calendarMicrotime(uint64_t& seconds, uint32_t& microseconds) const
{
    const uint64_t now = fNanos.load();
    seconds = now / 1000000000u;
    microseconds = static_cast<uint32_t>(now % 1000000000u / 1000u);
}

uint64_t ManualClock::monotonicNanoseconds() const
{
    return fNanos.load();
}

void ManualClock::set(uint64_t seconds, uint32_t microseconds)
{
    fNanos.store(seconds * 1000000000u + uint64_t{microseconds} * 1000u);
}

void ManualClock::advanceNanoseconds(uint64_t nanoseconds)
{
    fNanos.fetch_add(nanoseconds);
}

} // namespace vennix
