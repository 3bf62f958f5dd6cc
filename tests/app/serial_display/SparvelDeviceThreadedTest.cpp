// The display driver against simulated displays on real pseudo-terminals: the handshake, the
// screen list's lines, the open with and without another holder's lock, the finders, and the
// bytes of every command as the display receives them.

#include "serial_display/SparvelDevice.h"
#include "sim/SimulatedSparvelDisplay.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

using qarn::SparvelDevice;
using sim::SimulatedSparvelDisplay;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

constexpr SparvelDevice::Pauses kQuick{0.05, 0.05};
using RGB = SimulatedSparvelDisplay::RGB;

std::unique_ptr<SimulatedSparvelDisplay> display(SimulatedSparvelDisplay::Options options = {})
{
    auto simulated = SimulatedSparvelDisplay::create(std::move(options));
    EXPECT_NE(simulated, nullptr) << "no pseudo-terminal";
    return simulated;
}

SimulatedSparvelDisplay::Options withScreenList(std::string text)
{
    SimulatedSparvelDisplay::Options options;
    options.screenListText = std::move(text);
    return options;
}

SimulatedSparvelDisplay::Options withScreens(std::vector<SimulatedSparvelDisplay::Screen> screens)
{
    SimulatedSparvelDisplay::Options options;
    options.screens = std::move(screens);
    return options;
}

std::vector<std::pair<double, double>> sizes(const SparvelDevice& device)
{
    std::vector<std::pair<double, double>> result;
    for (const auto& screen : device.screens())
        result.emplace_back(screen.width, screen.height);
    return result;
}

// The display answers in order, so once "v" is answered it has seen every byte sent before it.
void waitUntilReceived(SparvelDevice& device)
{
    ASSERT_EQ(device.getADC(), 512);
}

// Holds flock(LOCK_EX) on its own open of path while it lives.
struct LockHolder {
    explicit LockHolder(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~LockHolder() { ::close(fd); }
    bool lock() const { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }
    int fd;
};

} // namespace

TEST(SparvelDeviceThreadedTest, IdentifiesTheDisplayAndReadsItsScreens)
{
    auto simulated = display(withScreens({{16, 8}, {8, 4}}));
    ASSERT_TRUE(simulated);
    testing::internal::CaptureStderr();
    auto device = SparvelDevice::deviceWithString(simulated->slavePath()); // the handshake's own pauses
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->versionString(), "S002");
    EXPECT_EQ(device->devicename(), simulated->slavePath());
    EXPECT_THAT(sizes(*device), ElementsAre(std::pair(16.0, 8.0), std::pair(8.0, 4.0)));
    EXPECT_EQ(device->width(), 16); // only the first screen counts
    EXPECT_EQ(device->height(), 8);
    EXPECT_EQ(log, "({16, 8}, {8, 4})\n");
    EXPECT_EQ(simulated->versionQueries(), 1);
    EXPECT_THAT(simulated->violations(), IsEmpty());
}

struct ScreenListCase {
    const char* name;
    std::string text;
    std::vector<std::pair<double, double>> screens;
};

TEST(SparvelDeviceThreadedTest, ReadsScreenListLines)
{
    const std::string longLine = "7" + std::string(1998, ' ') + "\n"; // the 7 alone would read as 7
    const ScreenListCase cases[] = {
        {"no screens", "0\n", {}},
        {"negative count", "-3\n16\n8\n", {}},
        {"count never arrives", "", {}},
        {"carriage return, empty line", "1\n12\r\n\n", {{12, 0}}},
        {"signs and blanks", "1\n  +16\n-8x\n", {{16, -8}}},
        {"line longer than the buffer", "2\n" + longLine + "5\n3\n4\n", {{0, 5}, {3, 4}}},
        {"lines that never arrive", "2\n3\n", {{3, 0}, {0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto simulated = display(withScreenList(c.text));
        ASSERT_TRUE(simulated);
        auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
        ASSERT_TRUE(device);
        EXPECT_EQ(sizes(*device), c.screens);
        EXPECT_EQ(device->height(), c.screens.empty() ? 0 : static_cast<int64_t>(c.screens[0].second));
    }
}

TEST(SparvelDeviceThreadedTest, RefusesPortsWithoutAFourCharacterVersion)
{
    const std::pair<const char*, std::string> replies[] = {
        {"four bytes in all", "S00"}, // with the line feed, one byte short
        {"not UTF-8", std::string("\xFF") + "002"},
        {"fewer characters", std::string("\xC3\xA9") + "00"}, // valid UTF-8, but 3 characters
    };
    for (const auto& [name, version] : replies) {
        SCOPED_TRACE(name);
        auto options = withScreenList("");
        options.version = version;
        auto simulated = display(options);
        ASSERT_TRUE(simulated);
        int openError = -1;
        testing::internal::CaptureStderr();
        auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick, &openError);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "No Device detected\nAborted Init With String\n");
        EXPECT_FALSE(device);
        EXPECT_EQ(openError, 0);
        EXPECT_EQ(simulated->versionQueries(), 1);
    }
}

TEST(SparvelDeviceThreadedTest, LogsWhyAPortDidNotOpen)
{
    const std::string regularFile = testing::TempDir() + "sparvel-not-a-tty";
    { std::ofstream{regularFile}; }
    const std::string missing = "/nonexistent/ttyACM0";
    const struct {
        const std::string* path;
        int openError;
        std::string log;
    } cases[] = {
        {nullptr, 0, "Devicename is nil\n"},
        {&missing, ENOENT, "Open Error " + std::to_string(ENOENT) + "\n"},
        {&regularFile, 0, "Set Parameter failed " + std::to_string(ENOTTY) + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        int openError = -1;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(SparvelDevice::initWithString(c.path, SparvelDevice::kBaudrate, kQuick, &openError));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.log + "Aborted Init With String\n");
        EXPECT_EQ(openError, c.openError);
    }
    std::filesystem::remove(regularFile);
}

TEST(SparvelDeviceThreadedTest, LocksThePortUnlessAnotherHolderDoes)
{
    auto simulated = display();
    ASSERT_TRUE(simulated);
    {
        auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
        ASSERT_TRUE(device);
        EXPECT_FALSE(LockHolder(simulated->slavePath()).lock()) << "the first attempt holds the lock";
    }
    LockHolder holder(simulated->slavePath());
    ASSERT_TRUE(holder.lock());
    auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
    ASSERT_TRUE(device) << "the second attempt opens without a lock";
    EXPECT_EQ(device->versionString(), "S002");
    ::close(holder.fd);
    holder.fd = -1;
    EXPECT_TRUE(LockHolder(simulated->slavePath()).lock()) << "the device's descriptor holds no lock";
}

TEST(SparvelDeviceThreadedTest, FindersTellModelsApartAndSkipBluetooth)
{
    auto s002 = display();
    SimulatedSparvelDisplay::Options s003;
    s003.version = "S003";
    auto other = display(s003);
    auto bluetooth = display();
    ASSERT_TRUE(s002 && other && bluetooth);
    const std::filesystem::path directory = testing::TempDir() + "sparvel-ports-" + std::to_string(::getpid());
    std::filesystem::create_directories(directory);
    const std::string bluetoothPath = (directory / "tty.BlueTooth-x").string();
    std::filesystem::create_symlink(bluetooth->slavePath(), bluetoothPath);
    sim::SimulatedSerialPorts ports({bluetoothPath, other->slavePath(), s002->slavePath()});

    EXPECT_THAT(SparvelDevice::devices(ports), ElementsAre(other->slavePath(), s002->slavePath()));
    testing::internal::CaptureStderr();
    auto found = SparvelDevice::findSparvels(ports, kQuick);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->devicename(), s002->slavePath());
    EXPECT_THAT(log, HasSubstr(other->slavePath() + "\n"));
    EXPECT_THAT(log, HasSubstr("Version S003\n"));
    EXPECT_THAT(log, HasSubstr("Version S002\n"));
    found.clear();

    auto first = SparvelDevice::findSparvel(ports, kQuick);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->versionString(), "S003");
    first.reset();
    auto direct = SparvelDevice::deviceWithString(other->slavePath(), kQuick);
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->versionString(), "S003");
    EXPECT_EQ(bluetooth->versionQueries(), 0);
    EXPECT_EQ(s002->versionQueries(), 1);
    std::filesystem::remove_all(directory);
}

TEST(SparvelDeviceThreadedTest, SendsBarFrames)
{
    const RGB dark{0x80, 0x80, 0x80};
    const struct {
        int64_t bar;
        SparvelDevice::Color color;
        RGB lit;
        size_t litRows; // of 4
    } cases[] = {
        {0, {1, 1, 1}, {0xFF, 0xFF, 0xFF}, 1},
        {-5, {0, 0, 0}, dark, 1},
        {std::numeric_limits<int64_t>::min(), {1, 1, 1}, {0xFF, 0xFF, 0xFF}, 1},
        {1, {0.5, 64.0 / 255, 0}, {0xFF, 0xC0, 0x80}, 2},
        {3, {128.0 / 255, 127.0 / 255, 1}, {0x80, 0xFF, 0xFF}, 4},
        {100, {0, 1, 0}, {0x80, 0xFF, 0x80}, 4},
        {std::numeric_limits<int64_t>::max(), {1, 0, 0}, {0xFF, 0x80, 0x80}, 4},
    };
    auto simulated = display(withScreens({{1, 4}, {1, 9}}));
    ASSERT_TRUE(simulated);
    auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
    ASSERT_TRUE(device);
    std::vector<std::vector<RGB>> expected;
    for (const auto& c : cases) {
        device->sendBar(c.bar, c.color);
        std::vector<RGB> rows(4, dark);
        std::fill_n(rows.begin(), c.litRows, c.lit);
        expected.push_back(rows);
    }
    waitUntilReceived(*device);
    EXPECT_EQ(simulated->frames(), expected);
    EXPECT_THAT(simulated->violations(), IsEmpty());
}

TEST(SparvelDeviceThreadedTest, SendsOnlyShowBarWithoutScreens)
{
    auto simulated = display(withScreens({}));
    ASSERT_TRUE(simulated);
    auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
    ASSERT_TRUE(device);
    device->sendBar(3, {1, 1, 1});
    waitUntilReceived(*device);
    EXPECT_THAT(simulated->frames(), ElementsAre(IsEmpty()));
    EXPECT_THAT(simulated->violations(), IsEmpty());
}

TEST(SparvelDeviceThreadedTest, SendsModesAndReadsTheADC)
{
    std::atomic<int64_t> reading = -7;
    SimulatedSparvelDisplay::Options options;
    options.adc = [&reading] { return reading.load(); };
    auto simulated = display(options);
    ASSERT_TRUE(simulated);
    auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
    ASSERT_TRUE(device);
    device->sendStop();
    device->sendVosk();
    device->sendMatrix();
    device->sendPulse();
    device->sendShutdown();
    device->sendStart();
    device->sendShowBar();
    EXPECT_EQ(device->getADC(), -7);
    reading = 1023;
    EXPECT_EQ(device->getADC(), 1023);
    EXPECT_THAT(simulated->modes(), ElementsAre('0', '1', '2', '3', '4', '5'));
    EXPECT_THAT(simulated->frames(), ElementsAre(IsEmpty()));
    EXPECT_THAT(simulated->violations(), IsEmpty());
}

TEST(SparvelDeviceThreadedTest, FlushDiscardsAnUnreadReply)
{
    auto simulated = display();
    ASSERT_TRUE(simulated);
    auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
    ASSERT_TRUE(device);
    device->sendChar('v');
    pollfd reply{device->fileDescriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&reply, 1, 5000), 1);
    device->flush();
    EXPECT_EQ(device->readLongIntLine(), 0);
    EXPECT_EQ(device->getADC(), 512);
}

TEST(SparvelDeviceThreadedTest, SimulatedDisplayFlagsBytesOutsideTheProtocol)
{
    auto simulated = display();
    ASSERT_TRUE(simulated);
    auto device = SparvelDevice::deviceWithString(simulated->slavePath(), kQuick);
    ASSERT_TRUE(device);
    testing::internal::CaptureStderr();
    device->sendChar('x');
    device->sendChar(static_cast<int8_t>(0x81));
    device->sendShowBar();
    waitUntilReceived(*device);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("simulated display: unexpected byte 0x78\n"));
    EXPECT_THAT(simulated->violations(), ElementsAre("unexpected byte 0x78", HasSubstr("1 colour bytes")));
}
