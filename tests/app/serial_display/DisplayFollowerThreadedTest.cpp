// The display doing its job: the simulated processor's load, read through the CPU service, as bar
// frames on a simulated display behind a real pseudo-terminal.
#include "serial_display/DisplayFollower.h"
#include "sim/SimulatedSparvelDisplay.h"
#include "tests/support/IdleThenBusyProcessor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace qarn;

namespace {

struct DisplayFollowerTest : ::testing::Test, IdleThenBusyProcessor {
    std::unique_ptr<sim::SimulatedSparvelDisplay> display = sim::SimulatedSparvelDisplay::create({"S002", {{4, 8}}, std::nullopt, {}});
    std::shared_ptr<SparvelDevice> device = SparvelDevice::deviceWithString(display->slavePath(), {0.02, 0.02});

    std::optional<double> stepAt(DisplayFollower& follower, uint64_t seconds)
    {
        at(seconds);
        return follower.step();
    }
    // The lit rows of each frame the display received, once count frames are there.
    std::vector<int> litRows(size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (display->frames().size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::vector<int> lit;
        for (const auto& frame : display->frames()) {
            EXPECT_EQ(frame.size(), 8u);
            lit.push_back(static_cast<int>(std::count_if(frame.begin(), frame.end(), [](const auto& row) {
                return !(row == sim::SimulatedSparvelDisplay::RGB{0x80, 0x80, 0x80});
            })));
        }
        return lit;
    }
};

TEST_F(DisplayFollowerTest, BarsRiseAndFallWithTheProcessorsLoad)
{
    ASSERT_TRUE(cpu && display && device);
    DisplayFollower follower(*device, cpu.get(), DisplayFollower::Source::Load);
    EXPECT_EQ(stepAt(follower, 20), std::nullopt) << "the first step only sets the baseline";
    const double shares[] = {*stepAt(follower, 25), *stepAt(follower, 35), *stepAt(follower, 55),
                             *stepAt(follower, 65), *stepAt(follower, 85)};
    EXPECT_NEAR(shares[0], 0.0, 0.01);
    EXPECT_NEAR(shares[1], 0.5, 0.01) << "busy for 5 s of 10";
    EXPECT_NEAR(shares[2], 1.0, 0.01);
    EXPECT_NEAR(shares[3], 0.5, 0.01);
    EXPECT_NEAR(shares[4], 0.0, 0.01);
    EXPECT_EQ(litRows(5), (std::vector<int>{1, 5, 8, 5, 1}));
    EXPECT_EQ(display->violations(), std::vector<std::string>{});
}

TEST_F(DisplayFollowerTest, TemperatureShowsHowHotThePackageRuns)
{
    ASSERT_TRUE(cpu && display && device);
    DisplayFollower follower(*device, cpu.get(), DisplayFollower::Source::Temperature);
    EXPECT_LT(*stepAt(follower, 25), 0.1);  // 35 °C
    EXPECT_GT(*stepAt(follower, 55), 0.9);  // 95 °C
    const auto lit = litRows(2);
    ASSERT_EQ(lit.size(), 2u);
    EXPECT_LE(lit[0], 2);
    EXPECT_EQ(lit[1], 8);
}

} // namespace
