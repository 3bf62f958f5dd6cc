#pragma once
// Time as the CPU service and the simulated hardware see it; injectable for tests.

#include <atomic>
#include <cstdint>

namespace vennix {

class Clock {
public:
    virtual ~Clock() = default;

    // clock_get_calendar_microtime: whole seconds since 1970 and the microseconds past them.
    virtual void calendarMicrotime(uint64_t& seconds, uint32_t& microseconds) const = 0;
    // A monotonic time in nanoseconds, for counters that advance with time.
    virtual uint64_t monotonicNanoseconds() const = 0;

    // The machine's own clocks (CLOCK_REALTIME, CLOCK_MONOTONIC).
    static Clock& system();
};

// A clock that moves only when told to; both readings advance together. Thread-safe.
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint64_t seconds = 1500000000, uint32_t microseconds = 0);

    void calendarMicrotime(uint64_t& seconds, uint32_t& microseconds) const override;
    uint64_t monotonicNanoseconds() const override;

    void set(uint64_t seconds, uint32_t microseconds);
    void advanceNanoseconds(uint64_t nanoseconds);

private:
    // Nanoseconds since 1970; atomic so that tests may move it while rendezvous threads read.
    std::atomic<uint64_t> fNanos;
};

} // namespace vennix
