// The simulated processor's registers read while another thread moves the clock and writes.

#include "sim/SimulatedProcessor.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

namespace sim {
namespace {

TEST(SimulatedProcessorThreads, CountersStayMonotonicWhileTheClockMovesAndRegistersAreWritten)
{
    vennix::ManualClock clock;
    SimulatedProcessor processor(clock);
    std::jthread ticker([&](std::stop_token stop) { // stopped and joined when the test ends
        for (uint64_t i = 0; !stop.stop_requested(); ++i) {
            clock.advanceNanoseconds(1000000);
            processor.wrmsrOn(i % 8, 0x1AD, (30 + i % 13) * 0x01010101);
        }
    });
    uint64_t previous[8][3] = {};
    for (int round = 0; round < 2000; ++round) {
        for (unsigned cpu = 0; cpu < 8; ++cpu) {
            for (int i = 0; i < 3; ++i) {
                const uint64_t value = processor.rdmsrOn(cpu, std::array{0xE7, 0xE8, 0x10}[i]);
                ASSERT_GE(value, std::exchange(previous[cpu][i], value)) << "CPU " << cpu << " counter " << i;
            }
            const uint64_t turbo = processor.rdmsrOn(cpu, 0x1AD); // the reset value or a whole written one
            ASSERT_TRUE(turbo == SimulatedProcessor::kDefaultTurboRatioLimit || turbo % 0x01010101 == 0) << turbo;
        }
    }
}

} // namespace
} // namespace sim
