// qarnctl's commands in-process on the simulated bus; --watch with devices plugged from another
// thread, as the bus's event thread delivers them.
#include "platform/RunLoop.h"
#include "qarnctl/QarnCtl.h"
#include "sim/SimulatedKrakenX31.h"
#include "sim/SimulatedSparvelDisplay.h"
#include "sim/SimulatedUSBBus.h"
#include "tests/tools/JsonLines.h"

#include <QJsonArray>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sstream>
#include <future>
#include <thread>

using namespace qarn;

namespace {

struct QarnCtlTest : ::testing::Test {
    sim::SimulatedUSBBus bus;
    RunLoop loop;
    std::ostringstream out, err;
    QTemporaryDir directory;
    std::unique_ptr<sim::SimulatedSparvelDisplay> display = sim::SimulatedSparvelDisplay::create({"S002", {{4, 8}}, std::nullopt, {}});
    sim::SimulatedSerialPorts ports{{display->slavePath()}};
    QarnCtl::Environment environment{bus, CoolerSettings(directory.filePath("qarn.conf")), [] { return 50; }, &ports,
                                     nullptr, SparvelDevice::Pauses{0.02, 0.02}};

    int run(std::vector<std::string> arguments) { return QarnCtl::run(arguments, environment, loop, out, err); }
    std::shared_ptr<sim::ScriptedUSBDevice> cooler()
    {
        return std::make_shared<sim::ScriptedUSBDevice>(0x2433, 0xB200, "Kraken X31", sim::krakenX31Interfaces());
    }
};

TEST_F(QarnCtlTest, ListsDevicesWithIdsProductsAndPipes)
{
    EXPECT_EQ(run({"usb", "list"}), 0);
    EXPECT_EQ(out.str(), "USB devices (simulated bus):\nno USB devices\n");
    out.str("");
    bus.plug(cooler());
    bus.plug(std::make_shared<sim::ScriptedUSBDevice>(0x1d6b, 0x0002, "", std::vector<USBInterfaceDescription>{}));
    EXPECT_EQ(run({"usb", "list"}), 0);
    EXPECT_EQ(out.str(), "USB devices (simulated bus):\n"
                         "2433:b200  Kraken X31  (simulated bus)\n"
                         "    interface 0  class ff  pipes: 1 bulk out 02, 2 bulk in 81\n"
                         "1d6b:0002  (no product string)  (simulated bus)\n");
    EXPECT_EQ(err.str(), "");
}

TEST_F(QarnCtlTest, SaysWhichRuleIsMissingWhenTheCoolerIsNotOpenToTheUser)
{
    auto device = cooler();
    device->setOpenStatus(USBStatus::Access);
    bus.plug(device);
    EXPECT_EQ(run({"usb", "list"}), 0);
    EXPECT_NE(err.str().find("qarnctl: no access to simulated bus (the cooler): the udev rule 70-qarn-cooler.rules "
                             "is missing"),
              std::string::npos)
        << err.str();
}

TEST_F(QarnCtlTest, RefusesCommandLinesItDoesNotKnow)
{
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"--bogus"}, {"usb"}, {"usb", "show"}, {"usb", "list", "--all"}, {"cooler"}}) {
        err.str("");
        EXPECT_EQ(run(arguments), QarnCtl::kExitUsage) << arguments.size();
        EXPECT_EQ(err.str().rfind("qarnctl: ", 0), 0u) << err.str();
    }
    EXPECT_EQ(out.str(), "");
}

TEST_F(QarnCtlTest, WatchPrintsArrivalsAndRemovalsUntilStopped)
{
    const USBDeviceId present = bus.plug(cooler());
    std::thread plugger([&] {
        // The loop runs once the listing is printed: the events come after it.
        std::promise<void> listed;
        loop.dispatchAsync([&] { listed.set_value(); });
        listed.get_future().wait();
        const USBDeviceId other = bus.plug(std::make_shared<sim::ScriptedUSBDevice>(0x1e71, 0x170e, "Kraken X62",
                                                                                    std::vector<USBInterfaceDescription>{}));
        bus.pull(present);
        bus.pull(other);
        loop.dispatchAsync([&] { loop.stop(); });
    });
    EXPECT_EQ(run({"usb", "list", "--watch"}), 0);
    plugger.join();
    EXPECT_EQ(out.str(), "USB devices (simulated bus):\n"
                         "2433:b200  Kraken X31  (simulated bus)\n"
                         "    interface 0  class ff  pipes: 1 bulk out 02, 2 bulk in 81\n"
                         "+ 1e71:170e  Kraken X62  (simulated bus)\n"
                         "- 2433:b200  Kraken X31  (simulated bus)\n"
                         "- 1e71:170e  Kraken X62  (simulated bus)\n");
}

TEST_F(QarnCtlTest, CoolerCurvesAreCheckedStoredAndSentWhenTheCoolerIsThere)
{
    const std::string seventeen = [] {
        std::string text;
        for (int t = 0; t < 17; ++t)
            text += std::to_string(t) + ":50 ";
        return text;
    }();
    const std::pair<std::string, std::string> refused[] = {
        {"", "at least one point"},         {"30", "'30' is not a point"},     {"30:x", "is not a point"},
        {"30:101", "outside 0 to 100 %"},   {"-1:20", "outside 0 to 150 °C"},  {"151:20", "outside 0 to 150 °C"},
        {"40:20 30:50", "must rise"},       {"40:20 40:50", "must rise"},      {seventeen, "at most 16 points"},
    };
    for (const auto& [curve, why] : refused) {
        err.str("");
        EXPECT_EQ(run({"cooler", "set", "fan", curve}), QarnCtl::kExitUsage) << curve;
        EXPECT_NE(err.str().find(why), std::string::npos) << curve << ": " << err.str();
    }
    EXPECT_EQ(environment.settings.load(), CoolerSetup{}) << "nothing refused was stored";

    EXPECT_EQ(run({"cooler", "set", "fan", "30:25, 50:60 70:100"}), 0);
    EXPECT_NE(out.str().find("stored; the cooler gets it when it appears"), std::string::npos) << out.str();
    EXPECT_EQ(run({"cooler", "status"}), QarnCtl::kExitFailed);
    EXPECT_NE(err.str().find("no Kraken X31 cooler (USB 2433:b200) is attached"), std::string::npos);

    auto kraken = std::make_shared<sim::SimulatedKrakenX31>();
    bus.plug(kraken);
    out.str("");
    EXPECT_EQ(run({"cooler", "status"}), 0);
    EXPECT_NE(out.str().find("fan setting: 25 % (follows the liquid), curve 30:25 50:60 70:100\n"), std::string::npos)
        << out.str();
    EXPECT_EQ(run({"cooler", "cpu-temp", "fan", "on"}), 0);
    EXPECT_EQ(kraken->fanSetting(), 60) << "the curve at the CPU's 50 °C";
    EXPECT_EQ(kraken->resetCount(), 2) << "each command sets the cooler up afresh";
    EXPECT_EQ(kraken->violations(), std::vector<std::string>{});
}

TEST_F(QarnCtlTest, CoolerStatusAsJsonForScripts)
{
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"cooler", "status", "--jsn"}, {"cooler", "status", "--interval", "1"}, {"cooler", "follow", "--json", "--interval"}})
        EXPECT_EQ(run(arguments), QarnCtl::kExitUsage) << arguments.back();
    err.str("");
    EXPECT_EQ(run({"cooler", "status", "--json"}), QarnCtl::kExitFailed) << "no cooler: as without --json";
    EXPECT_EQ(err.str(), "qarnctl: no Kraken X31 cooler (USB 2433:b200) is attached\n");

    bus.plug(std::make_shared<sim::SimulatedKrakenX31>());
    EXPECT_EQ(run({"cooler", "set", "pump", "30:40 60:90"}), 0);
    out.str("");
    EXPECT_EQ(run({"cooler", "status", "--json"}), 0) << err.str();
    const std::vector<QJsonObject> objects = qarn::testing::jsonLines(out.str());
    ASSERT_EQ(objects.size(), 1u) << out.str();
    constexpr auto kNumber = QJsonValue::Double;
    qarn::testing::expectKeys(objects[0], {{"time_seconds", kNumber, 1.6e9, 1e10}, {"name", QJsonValue::String},
                                     {"simulated", QJsonValue::Bool}, {"fan_rpm", kNumber, 1, 5000},
                                     {"pump_rpm", kNumber, 1, 5000}, {"liquid_temperature_celsius", kNumber, 10, 60},
                                     {"cpu_temperature_celsius", kNumber, 50, 50}, {"fan_setting_percent", kNumber, 0, 100},
                                     {"pump_setting_percent", kNumber, 40, 40}, {"fan_follows_cpu", QJsonValue::Bool},
                                     {"pump_follows_cpu", QJsonValue::Bool},
                                     {"fan_curve_celsius_percent", QJsonValue::Array},
                                     {"pump_curve_celsius_percent", QJsonValue::Array}});
    EXPECT_TRUE(objects[0].value("simulated").toBool());
    EXPECT_EQ(QJsonDocument(objects[0].value("pump_curve_celsius_percent").toArray()).toJson(QJsonDocument::Compact),
              "[[30,40],[60,90]]");
}

TEST_F(QarnCtlTest, DisplayCommandsReachTheDisplayOnTheFirstPortOrTheOneNamed)
{
    EXPECT_EQ(run({"display", "list"}), 0);
    EXPECT_EQ(out.str(), display->slavePath() + ": display S002, screens 4x8\n");
    EXPECT_EQ(run({"display", "--port", display->slavePath(), "bar", "2", "#FF0000"}), 0);
    EXPECT_EQ(run({"display", "bar", "-5", "white"}), 0);
    EXPECT_EQ(run({"display", "mode", "pulse"}), 0);
    const std::vector<std::vector<std::string>> refused = {
        {"display", "bar", "2", "#GG0000"}, {"display", "bar", "x", "red"}, {"display", "mode", "disco"},
        {"display", "--port"},              {"display", "follow", "--fast"}, {"display", "list", "--port", "/x"}};
    for (const auto& arguments : refused)
        EXPECT_EQ(run(arguments), QarnCtl::kExitUsage) << arguments.back();
    EXPECT_EQ(run({"display", "--port", "/nonexistent/tty", "adc"}), QarnCtl::kExitFailed);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((display->frames().size() < 2 || display->modes().empty()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const sim::SimulatedSparvelDisplay::RGB red{0xFF, 0x80, 0x80}, white{0xFF, 0xFF, 0xFF}, dark{0x80, 0x80, 0x80};
    EXPECT_EQ(display->frames(), (std::vector<std::vector<sim::SimulatedSparvelDisplay::RGB>>{
                                     {red, red, red, dark, dark, dark, dark, dark},
                                     {white, dark, dark, dark, dark, dark, dark, dark}}));
    EXPECT_EQ(display->modes(), std::vector<char>{'3'});
    EXPECT_EQ(display->violations(), std::vector<std::string>{});
}

} // namespace
