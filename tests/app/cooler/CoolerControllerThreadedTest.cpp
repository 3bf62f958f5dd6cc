// The cooler's owner end to end: the simulated processor behind the CPU service, the controller's
// worker thread, the driver, and a simulated Kraken X31 on the simulated bus.
#include "cooler/CoolerChannel.h"
#include "cooler/CoolerController.h"
#include "platform/RunLoop.h"
#include "sim/SimulatedKrakenX31.h"
#include "sim/SimulatedUSBBus.h"
#include "tests/support/IdleThenBusyProcessor.h"
#include "usb/USBDevice.h"
#include "usb/USBDeviceInterface.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qarn;

namespace {

struct CoolerControllerTest : ::testing::Test, IdleThenBusyProcessor {
    sim::SimulatedUSBBus bus;
    RunLoop loop;
    CoolerSetup stored{{40, 60, 20, 100}, {30, 25}, true, false};
    std::unique_ptr<CoolerController> controller;

    void start()
    {
        CoolerController::Options options;
        options.interval = std::chrono::hours(1); // cycles run when the test says
        options.cpuTemperature = [this] { return std::optional<int64_t>(std::lround(cpu->packageTemperature())); };
        options.storedSetup = [this] { return stored; };
        options.fullPower = [] { return false; };
        options.now = [this] { return clock.monotonicNanoseconds() / 1e9; };
        controller = std::make_unique<CoolerController>(bus, loop, options);
        loop.runPending();
        controller->cycleNow();
    }
    // Moves the clock to t seconds after the processor's reset and runs one cycle.
    CoolerStatus cycleAt(double seconds)
    {
        at(static_cast<uint64_t>(seconds));
        controller->cycleNow();
        return controller->status();
    }
    void TearDown() override { controller.reset(); }
};

TEST_F(CoolerControllerTest, FanFollowsTheCPUUpAtOnceAndDownOnlyAfterTheHold)
{
    ASSERT_TRUE(cpu);
    auto kraken = std::make_shared<sim::SimulatedKrakenX31>(clock);
    bus.plug(kraken);
    at(20); // settled idle: the reset leaves the package as the busy phase did
    start();
    const CoolerStatus idle = cycleAt(25);
    ASSERT_TRUE(idle.attached);
    EXPECT_EQ(idle.fanSetting, kraken->fanSetting());
    const CoolerStatus busy = cycleAt(45);
    EXPECT_GT(busy.cpuTemperature, idle.cpuTemperature + 10) << "the load heats the package";
    EXPECT_GT(kraken->fanSetting(), idle.fanSetting) << "and the fan follows at once";
    const int fast = kraken->fanSetting();
    cycleAt(59);
    EXPECT_EQ(cycleAt(62).fanSetting, fast) << "held";
    EXPECT_LT(cpu->packageTemperature(), busy.cpuTemperature) << "though the package cooled from 60 s";
    EXPECT_EQ(cycleAt(74).fanSetting, fast) << "held for 15 s after the last rise";
    EXPECT_EQ(cycleAt(75).fanSetting, idle.fanSetting) << "then taken";
    EXPECT_EQ(kraken->violations(), std::vector<std::string>{});
}

TEST_F(CoolerControllerTest, StoredSetupIsSentAgainWheneverTheCoolerAppears)
{
    start();
    EXPECT_FALSE(controller->status().attached);
    for (int plug = 0; plug < 2; ++plug) {
        auto kraken = std::make_shared<sim::SimulatedKrakenX31>(clock);
        const USBDeviceId id = bus.plug(kraken);
        loop.runPending();
        controller->cycleNow();
        const CoolerStatus status = controller->status();
        EXPECT_TRUE(status.attached) << plug;
        EXPECT_EQ(status.setup, stored) << plug;
        EXPECT_EQ(kraken->resetCount(), 1) << plug;
        EXPECT_EQ(kraken->fanSetting(), Asetek::valueForArray(&stored.fanCurve, status.cpuTemperature)) << plug;
        EXPECT_EQ(CoolerChannel::rowsFor(status).size(), 7u);
        bus.pull(id);
        loop.runPending();
        controller->cycleNow();
        EXPECT_FALSE(controller->status().attached) << plug;
        EXPECT_TRUE(CoolerChannel::rowsFor(controller->status()).empty()) << "the rows go with the cooler";
        stored.fanCurve = {30, 77};
    }
}

TEST_F(CoolerControllerTest, ACoolerHeldByAnotherProgramIsShownWithTheReason)
{
    auto kraken = std::make_shared<sim::SimulatedKrakenX31>(clock);
    const USBDeviceId id = bus.plug(kraken);
    auto other = USBDevice::initWithService(bus, id);
    ASSERT_TRUE(other->open() && other->interfaces().at(0)->open());
    start();
    const CoolerStatus status = controller->status();
    EXPECT_FALSE(status.attached);
    EXPECT_EQ(status.problem, "the cooler is in use by another program");
    const auto rows = CoolerChannel::rowsFor(status);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::get<std::string>(rows[0]), "Kraken X31 (simulated)");
    EXPECT_EQ(std::get<Dictionary>(rows[1]).at(kValueKey), status.problem);
    EXPECT_EQ(kraken->resetCount(), 0) << "nothing was sent to a cooler someone else drives";
}

} // namespace
