// vennixctl's --json output and the writer behind it, read back with Qt's parser. Built where
// Qt is (see CMakeLists.txt); the name keeps it out of the *Test.cpp glob.

#include <gtest/gtest.h>

#include "common/Json.h"
#include "tests/tools/JsonLines.h"
#include "vennixctl/VennixCtl.h"

#include <cmath>
#include <iterator>
#include <limits>
#include <sstream>

namespace qarn {
namespace {

using testing::Key;
constexpr auto kNumber = QJsonValue::Double;

TEST(VennixCtlJson, EachSampleAndTheRecordIsAnObjectOnALineWithStableKeys)
{
    const double kNow = 1.6e9, kLater = 1e10; // Unix time
    const struct { const char* command; size_t lines; std::vector<Key> keys; } cases[] = {
        {"info --json", 1,
         {{"vendor", QJsonValue::String}, {"brand", QJsonValue::String}, {"family", kNumber, 6, 6},
          {"model", kNumber, 94, 94}, {"stepping", kNumber, 3, 3}, {"family_code", kNumber, 1, UINT32_MAX},
          {"cores", kNumber, 4, 4}, {"threads", kNumber, 8, 8}, {"simulated", QJsonValue::Bool}}},
        // The simulated CPUs run between 22 and 42 under the default load.
        {"metrics --count 3 --interval 0.05 --json", 3,
         {{"time_seconds", kNumber, kNow, kLater}, {"average_multiplier", kNumber, 22, 42},
          {"highest_multiplier", kNumber, 22, 42}, {"core_voltage_volts", kNumber, 0.5, 1.6},
          {"package_temperature_celsius", kNumber, 20, 110}, {"hottest_core_celsius", kNumber, 20, 110},
          {"mean_core_celsius", kNumber, 20, 110}, {"package_power_watts", kNumber, 0.1, 300},
          {"simulated", QJsonValue::Bool}}},
        {"metrics --count 1 --interval 0.01 --json", 1, {}},
    };
    for (const auto& c : cases) {
        std::istringstream words(std::string("--simulate ") + c.command);
        std::ostringstream out, err;
        ASSERT_EQ(VennixCtl::main({std::istream_iterator<std::string>(words), {}}, out, err), 0) << err.str();
        const std::vector<QJsonObject> objects = testing::jsonLines(out.str());
        ASSERT_EQ(objects.size(), c.lines) << c.command << ":\n" << out.str();
        double previous = 0;
        for (const QJsonObject& object : objects) {
            if (!c.keys.empty())
                testing::expectKeys(object, c.keys);
            EXPECT_TRUE(object.value("simulated").toBool()) << c.command;
            if (!object.contains("time_seconds"))
                continue;
            // Samples an interval apart, highest no lower than the latest, the hottest core no
            // cooler than the mean.
            EXPECT_GT(object.value("time_seconds").toDouble(), previous);
            previous = object.value("time_seconds").toDouble();
            EXPECT_GE(object.value("highest_multiplier").toDouble(), object.value("average_multiplier").toDouble());
            EXPECT_GE(object.value("hottest_core_celsius").toDouble(), object.value("mean_core_celsius").toDouble());
        }
    }
}

TEST(VennixCtlJson, WriterEscapesWhatJsonForbidsAndWritesNoNumberItCannotHave)
{
    const struct { std::string text; QString read; } strings[] = {
        {"plain °C", QString::fromUtf8("plain °C")},
        {"quote \" backslash \\ slash /", QString::fromUtf8("quote \" backslash \\ slash /")},
        {"tab\tline\ncr\r", QString::fromUtf8("tab\tline\ncr\r")},
        {std::string("nul\0\x01\x1f\x7f", 7), QString::fromUtf8("nul\0\x01\x1f\x7f", 7)},
        {"\xf0\x9f\x98\x80", QString::fromUtf8("\xf0\x9f\x98\x80")},
        // Not UTF-8: a stray byte, an overlong slash, a surrogate, a sequence cut short.
        {"a\xff" "b", QString::fromUtf8("a\uFFFDb")},
        {"\xc0\xaf", QString::fromUtf8("\uFFFD\uFFFD")},
        {"\xed\xa0\x80", QString::fromUtf8("\uFFFD\uFFFD\uFFFD")},
        {"\xe2\x82", QString::fromUtf8("\uFFFD\uFFFD")},
    };
    for (const auto& c : strings) {
        const std::string line = json::Object().text(c.text, c.text).str() + "\n";
        const QJsonObject object = testing::jsonLines(line).at(0);
        EXPECT_EQ(object.value(c.read).toString(), c.read) << line;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const struct { std::optional<double> value; int decimals; std::optional<double> read; } numbers[] = {
        {1.25, 2, 1.25}, {-0.5, 1, -0.5}, {2.0 / 3, 3, 0.667}, {1e300, 0, 1e300},
        {nan, 2, {}}, {inf, 2, {}}, {-inf, 0, {}}, {{}, 2, {}},
    };
    for (const auto& c : numbers) {
        const std::string line = json::Object().number("n", c.value, c.decimals).str() + "\n";
        const QJsonValue read = testing::jsonLines(line).at(0).value("n");
        EXPECT_TRUE(c.read ? read.isDouble() && read.toDouble() == *c.read : read.isNull()) << line;
    }
}

} // namespace
} // namespace qarn
