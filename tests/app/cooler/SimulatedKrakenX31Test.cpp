// The simulated Kraken: it takes a whole Asetek session, refuses what is off its protocol, and its
// motors and liquid follow the settings and the heat on an injected clock.
#include "sim/SimulatedKrakenX31.h"

#include "cooler/Asetek.h"
#include "sim/SimulatedUSBBus.h"
#include "usb/USBDevice.h"
#include "usb/USBDeviceInterface.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace qarn;

namespace {

using Bytes = std::vector<uint8_t>;

struct SimulatedKrakenX31Test : ::testing::Test {
    vennix::ManualClock clock;
    double heat = 0;
    sim::SimulatedUSBBus bus;
    std::shared_ptr<sim::SimulatedKrakenX31> kraken =
        std::make_shared<sim::SimulatedKrakenX31>(clock, [this] { return heat; });
    std::shared_ptr<USBDevice> device = USBDevice::initWithService(bus, bus.plug(kraken));

    void advance(double seconds) { clock.advanceNanoseconds(uint64_t(seconds * 1e9)); }
};

TEST_F(SimulatedKrakenX31Test, TakesAWholeSessionAndReportsTheSpeedsSet)
{
    auto cooler = Asetek::withDevice(device);
    ASSERT_TRUE(cooler);
    EXPECT_EQ(kraken->resetCount(), 1);
    struct Case {
        int64_t setting;
        int fanRPM, pumpRPM;
    } cases[] = {{0, 0, 1200}, {50, 1000, 2100}, {100, 2000, 3000}, {150, 2000, 3000}};
    for (const Case& c : cases) {
        cooler->setFSArray({30, c.setting});
        cooler->setPSArray({30, c.setting});
        EXPECT_EQ(kraken->fanSetting(), c.setting);
        EXPECT_EQ(std::tuple(kraken->fanRPM(), kraken->pumpRPM()), std::tuple(c.fanRPM, c.pumpRPM)) << c.setting;
        EXPECT_EQ(std::tuple(cooler->fanRPM(), cooler->pumpRPM()), std::tuple(c.fanRPM, c.pumpRPM)) << c.setting;
    }
    cooler->reset(); // a second start, as after a re-plug
    EXPECT_EQ(kraken->resetCount(), 2);
    EXPECT_TRUE(kraken->violations().empty());
}

TEST_F(SimulatedKrakenX31Test, RefusesWhatIsOffTheProtocol)
{
    using Step = std::function<bool(USBDevice&, USBDeviceInterface&)>;
    const auto write = [](Bytes bytes) -> Step {
        return [bytes](USBDevice&, USBDeviceInterface& pipes) { return pipes.writePipe(1, bytes); };
    };
    struct Case {
        const char* name;
        bool afterReset;
        Step step;
    } cases[] = {
        {"command before the reset", false, write({0x12, 0x19})},
        {"reset packet without the requests", false, write({0x14, 0, 0, 0})},
        {"requests out of order", false, [](USBDevice& d, USBDeviceInterface&) {
             return d.sendRequest(0, 2, 0, 0x02, 0x0001, 0, nullptr);
         }},
        {"unknown command byte", true, write({0x11, 0x19})},
        {"three-byte command", true, write({0x12, 0x19, 0x00})},
        {"status read of 64 bytes", true, [](USBDevice&, USBDeviceInterface& p) { return bool(p.readPipe(2, 64)); }},
    };
    for (const Case& c : cases) {
        auto fresh = std::make_shared<sim::SimulatedKrakenX31>();
        auto device = USBDevice::initWithService(bus, bus.plug(fresh));
        // A whole session first where the protocol allows the step at all.
        auto cooler = c.afterReset ? Asetek::withDevice(device) : nullptr;
        ASSERT_TRUE(device->open() && device->interfaces().at(0)->open());
        USBDeviceInterface& pipes = *device->interfaces()[0];
        EXPECT_FALSE(c.step(*device, pipes)) << c.name;
        EXPECT_EQ(fresh->violations().size(), 1u) << c.name;
    }
}

TEST_F(SimulatedKrakenX31Test, LiquidWarmsWithHeatCoolsWithSpeedAndSettlesAtAmbient)
{
    auto cooler = Asetek::withDevice(device);
    ASSERT_TRUE(cooler);
    EXPECT_EQ(kraken->liquidTemperature(), sim::SimulatedKrakenX31::kAmbient);
    heat = 100;
    advance(10);
    const double early = kraken->liquidTemperature();
    EXPECT_GT(early, 26);
    advance(600);
    const double hot = kraken->liquidTemperature();
    EXPECT_GT(hot, early + 10);
    cooler->refresh(40);
    EXPECT_EQ(cooler->waterTemp(), std::lround(hot));

    cooler->setFSArray({30, 100});
    cooler->setPSArray({30, 100});
    advance(600);
    EXPECT_LT(kraken->liquidTemperature(), hot - 10);

    heat = 0;
    advance(600);
    EXPECT_NEAR(kraken->liquidTemperature(), sim::SimulatedKrakenX31::kAmbient, 0.1);
    EXPECT_TRUE(kraken->violations().empty());
}

} // namespace
