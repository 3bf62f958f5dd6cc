#pragma once
// A simulated processor whose CPUs all idle for 30 s, then run flat out for 30 s, and again, on
// a clock the test moves, behind the CPU service in this process: the package sits at 35 °C idle
// and 95 °C busy. For tests of what follows the CPU (the cooler, the display).

#include "host/ServiceSet.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "sim/SimulatedProcessor.h"
#include "telemetry/IntelCPU.h"

struct IdleThenBusyProcessor {
    static constexpr uint64_t kSecond = 1000000000;
    static constexpr uint64_t kReset = 1500000000; // the clock's seconds when the processor starts

    vennix::ManualClock clock{kReset};
    sim::SimulatedProcessor processor{
        clock, std::vector<sim::LoadCycle>{sim::LoadCycle{{30 * kSecond, 0, 8}, {30 * kSecond, 100, 42}}}};
    std::unique_ptr<vennix::ServiceSet> services = vennix::ServiceSet::start(&processor, &clock);
    qarn::EmbeddedServiceDirectory directory{nullptr, *services, "test processor"};
    std::shared_ptr<qarn::IntelCPU> cpu = qarn::IntelCPU::create(directory);

    // Moves the clock to this many seconds after the processor's start.
    void at(uint64_t seconds) { clock.set(kReset + seconds, 0); }
};
