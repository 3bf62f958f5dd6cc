// Asetek on the simulated bus: exact bytes against a scripted device, control behaviour against
// the simulated Kraken, time on an injected clock.
#include "cooler/Asetek.h"

#include "sim/SimulatedKrakenX31.h"
#include "sim/SimulatedUSBBus.h"
#include "usb/USBDevice.h"
#include "usb/USBDeviceInterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <tuple>

using namespace qarn;
using sim::USBTransferRecord;

namespace {

using Bytes = std::vector<uint8_t>;
using Curve = std::vector<int64_t>;

Bytes status(int fan, int pump, int water, size_t length = 32)
{
    Bytes packet(length);
    const Bytes fields{uint8_t(fan >> 8), uint8_t(fan), 0, 0, 0, 0, 0, 0, uint8_t(pump >> 8), uint8_t(pump),
                       uint8_t(water)};
    std::copy_n(fields.begin(), std::min(length, fields.size()), packet.begin());
    return packet;
}

template <typename Device>
struct CoolerTest : ::testing::Test {
    sim::SimulatedUSBBus bus;
    double now = 0;
    bool fullPower = false;
    Asetek::Environment environment{[this] { return now; }, [this] { return fullPower; }};

    std::shared_ptr<Asetek> create(const std::shared_ptr<Device>& device)
    {
        return Asetek::withDevice(USBDevice::initWithService(bus, bus.plug(device)), environment);
    }
};

struct ScriptedTest : CoolerTest<sim::ScriptedUSBDevice> {
    std::shared_ptr<sim::ScriptedUSBDevice> kraken =
        std::make_shared<sim::ScriptedUSBDevice>(0x2433, 0xB200, "Kraken X31", sim::krakenX31Interfaces());

    void expectCycle(uint8_t pump, uint8_t fan, Bytes reply = status(900, 3000, 30),
                     USBStatus readStatus = USBStatus::Success)
    {
        kraken->expectWrite(0x02, {0x13, pump});
        kraken->expectWrite(0x02, {0x12, fan});
        kraken->expectRead(0x81, std::move(reply), readStatus);
    }
    std::shared_ptr<Asetek> started()
    {
        for (auto [request, value] : {std::pair{0x00, 0xFFFF}, {0x02, 0x0002}, {0x02, 0x0001}})
            kraken->expectControl({0x40, uint8_t(request), uint16_t(value), 0, 0}, {});
        kraken->expectWrite(0x02, {0x14, 0x00, 0x00, 0x00});
        kraken->expectRead(0x81, {});
        expectCycle(0x19, 0x19);
        auto cooler = create(kraken);
        EXPECT_TRUE(cooler);
        return cooler;
    }
    void TearDown() override
    {
        EXPECT_TRUE(kraken->violations().empty());
        EXPECT_EQ(kraken->pending(), 0u);
    }
};

TEST_F(ScriptedTest, StartsWithTheResetSequenceAndOneCycleOfTheDefaultCurves)
{
    auto cooler = started();
    using K = USBTransferRecord::Kind;
    const std::vector<USBTransferRecord> expected{
        {K::Control, {0x40, 0x00, 0xFFFF, 0, 0}, 0, {}, 0}, {K::Control, {0x40, 0x02, 0x0002, 0, 0}, 0, {}, 0},
        {K::Control, {0x40, 0x02, 0x0001, 0, 0}, 0, {}, 0}, {K::Write, {}, 0x02, {0x14, 0, 0, 0}, 4},
        {K::Read, {}, 0x81, {}, 4096},                      {K::Write, {}, 0x02, {0x13, 0x19}, 2},
        {K::Write, {}, 0x02, {0x12, 0x19}, 2},              {K::Read, {}, 0x81, {}, 32}};
    EXPECT_EQ(kraken->recorded(), expected);
    EXPECT_EQ(cooler->lastFanSetting(), 25);
    EXPECT_EQ(cooler->lastPumpSetting(), 25);
    EXPECT_EQ(cooler->name(), "Kraken X31");
}

TEST_F(ScriptedTest, TakesReadingsOnlyFromWhole32BytePackets)
{
    auto cooler = started();
    struct Case {
        Bytes reply;
        USBStatus readStatus;
    } cases[] = {{status(1000, 2000, 40, 31), USBStatus::Success},
                 {{}, USBStatus::Timeout},
                 {status(1000, 2000, 40), USBStatus::Stall}};
    for (const Case& c : cases) {
        expectCycle(0x19, 0x19, c.reply, c.readStatus);
        cooler->refresh(20);
        EXPECT_EQ(std::tuple(cooler->fanRPM(), cooler->pumpRPM(), cooler->waterTemp()), std::tuple(900, 3000, 30))
            << c.reply.size();
    }
    cooler->analyzePacket(status(1000, 2000, 40, 33));
    EXPECT_EQ(cooler->fanRPM(), 900);
    expectCycle(0x19, 0x19, status(0xFFFF, 1, 255));
    cooler->refresh(20);
    EXPECT_EQ(std::tuple(cooler->fanRPM(), cooler->pumpRPM(), cooler->waterTemp()), std::tuple(65535, 1, 255));
}

TEST_F(ScriptedTest, SettersSendACycleOnlyWhenTheyHaveTo)
{
    auto cooler = started();
    cooler->setUseCPUF(false); // unchanged: nothing on the wire
    cooler->setUseCPUP(false);
    expectCycle(0x19, 0x19);
    cooler->setFSArray({30, 25}); // equal curve: still a cycle
    expectCycle(0x19, 0x2C);
    cooler->setFSArray({30, 300}); // end point above 255: its low 8 bits
    EXPECT_EQ(cooler->lastFanSetting(), 300);
    expectCycle(0x1E, 0x2C);
    cooler->setPSArray({0, 100, 0, 100}); // the pump follows the liquid (30 °C), then the held CPU (20 °C)
    expectCycle(0x14, 0x2C);
    cooler->setUseCPUP(true);
    EXPECT_EQ(cooler->getPSArray(), (Curve{0, 100, 0, 100}));
}

TEST_F(ScriptedTest, AnswersNullWhenTheCoolerCannotBeHad)
{
    kraken->setOpenStatus(USBStatus::Access);
    auto device = USBDevice::initWithService(bus, bus.plug(kraken));
    EXPECT_EQ(Asetek::withDevice(device, environment), nullptr);
    EXPECT_EQ(device->lastStatus(), USBStatus::Access);

    auto bare = std::make_shared<sim::ScriptedUSBDevice>(0x2433, 0xB200, "Kraken X31",
                                                         std::vector<USBInterfaceDescription>{});
    EXPECT_EQ(create(bare), nullptr);

    auto busy = std::make_shared<sim::ScriptedUSBDevice>(0x2433, 0xB200, "Kraken X31", sim::krakenX31Interfaces());
    const USBDeviceId id = bus.plug(busy);
    auto other = USBDevice::initWithService(bus, id);
    ASSERT_TRUE(other->open() && other->interfaces().at(0)->open());
    auto device2 = USBDevice::initWithService(bus, id);
    EXPECT_EQ(Asetek::withDevice(device2, environment), nullptr);
    EXPECT_EQ(device2->interfaces().at(0)->lastStatus(), USBStatus::Busy);
    EXPECT_TRUE(busy->recorded().empty());
}

TEST(AsetekCurve, ValueForArray)
{
    struct Case {
        std::optional<Curve> curve;
        int64_t value, setting;
    } cases[] = {
        {Curve{20, 40, 30, 100}, 10, 30}, {Curve{20, 40, 30, 100}, 20, 30}, {Curve{20, 40, 30, 100}, 30, 65},
        {Curve{20, 40, 30, 100}, 39, 96}, {Curve{20, 40, 30, 100}, 40, 99}, {Curve{20, 40, 30, 100}, 50, 100},
        {Curve{}, 50, 36},                {Curve{30}, 50, 36},              {std::nullopt, 50, 36},
        {Curve{20, 40, 30}, 0, 40},       {Curve{20, 40, 30}, 90, 40},      {Curve{30, 25}, -40, 25},
        {Curve{30, 25}, 1000, 25},
        {Curve{0, 10, 50, 40}, 3, 47}, // falling segment: the increment truncates toward zero
        {Curve{0, 10, -5, 5}, 0, -5},  // negative settings stand
        {Curve{0, 10, -5, 5}, 5, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Asetek::valueForArray(c.curve ? &*c.curve : nullptr, c.value), c.setting)
            << (c.curve ? c.curve->size() : 0) << " points, " << c.value << " °C";
}

// Against the simulated Kraken, whose liquid stays at 25 °C on a clock that does not move; a fan
// curve that maps each temperature to itself shows which input the fan followed.
struct KrakenTest : CoolerTest<sim::SimulatedKrakenX31> {
    vennix::ManualClock clock;
    std::shared_ptr<sim::SimulatedKrakenX31> kraken = std::make_shared<sim::SimulatedKrakenX31>(clock);
    std::shared_ptr<Asetek> cooler = create(kraken);

    void SetUp() override
    {
        ASSERT_TRUE(cooler);
        cooler->setFSArray({0, 200, 0, 200});
    }
    void TearDown() override { EXPECT_TRUE(kraken->violations().empty()); }
};

TEST_F(KrakenTest, LowerCPUTemperaturesWaitOutTheHold)
{
    cooler->setUseCPUF(true);
    struct Step {
        double time;
        int64_t temperature, held;
    } steps[] = {{0, 60, 60},  {10, 50, 60}, {15, 50, 60}, {16, 50, 50},
                 {17, 45, 45}, {18, 47, 47}, {19, 40, 47}, {33.5, 40, 40}};
    for (const Step& s : steps) {
        now = s.time;
        cooler->refresh(s.temperature);
        EXPECT_EQ(cooler->cpuTemp(), s.temperature) << s.time;
        EXPECT_EQ(cooler->heldCPUTemp(), s.held) << s.time;
        EXPECT_EQ(kraken->fanSetting(), s.held) << s.time;
    }
}

TEST_F(KrakenTest, FullPowerDrivesTheCoolerAsAt90)
{
    now = 10;
    fullPower = true;
    cooler->refresh(40);
    EXPECT_EQ(cooler->cpuTemp(), 90);
    EXPECT_EQ(cooler->heldCPUTemp(), 90);
    EXPECT_EQ(kraken->fanSetting(), 90); // above 80 the fan follows the CPU though its switch is off
    EXPECT_EQ(kraken->pumpSetting(), 25);
    // The full-power cycle did not renew the hold, which started at 0 s.
    now = 16;
    fullPower = false;
    cooler->refresh(50);
    EXPECT_EQ(cooler->heldCPUTemp(), 50);
}

TEST_F(KrakenTest, AboveEightyTheFanFollowsTheCPU)
{
    for (auto [temperature, fan] : {std::pair{80, 25}, {81, 81}, {95, 95}}) {
        cooler->refresh(temperature);
        EXPECT_EQ(kraken->fanSetting(), fan) << temperature;
        EXPECT_EQ(kraken->pumpSetting(), 25) << temperature;
    }
}

} // namespace
