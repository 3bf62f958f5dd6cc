// The USB classes on the libusb backend, against a device emulated at the usbdevfs level.
#include "LibusbBusTestbed.h"

#include <chrono>

namespace qarn {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

TEST_F(LibusbBusTest, FindsOpensAndDescribesTheDevice)
{
    EXPECT_EQ(device->productName(), "Kraken X31");
    EXPECT_EQ(device->node(), "/dev/bus/usb/001/002");
    EXPECT_EQ(device->numberOfConfigurations(), 1);
    EXPECT_EQ(USBDevice::initWithName(*bus, "Kraken X31")->service(), device->service());
    EXPECT_EQ(USBDevice::initWithVendor(*bus, kVendor, kProduct + 1), nullptr);
    EXPECT_EQ(USBDevice::initWithVendor(*bus, kVendor + 1, kProduct), nullptr);

    const USBInterfaceDescription& description = interface->description();
    EXPECT_EQ(description.number, 0);
    EXPECT_EQ(description.interfaceClass, 0xFF);
    ASSERT_EQ(interface->numberOfEndpoints(), 2);
    EXPECT_EQ(description.endpoints[0].address, 0x02);
    EXPECT_EQ(description.endpoints[1].address, 0x81);
    for (const USBEndpointDescription& endpoint : description.endpoints) {
        EXPECT_EQ(endpoint.type, USBTransferType::Bulk);
        EXPECT_EQ(endpoint.maxPacketSize, 64);
    }
}

TEST_F(LibusbBusTest, ControlRequestsCarryTheirSetupBytesAndReplies)
{
    Bytes out{0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(device->sendRequest(0, 2, 0, 0x02, 0x1234, 0x0000, &out));
    kraken->queueReply(0x80, {1, 2, 3, 4});
    Bytes in(4);
    ASSERT_TRUE(device->sendRequest(1, 2, 1, 0x03, 0x0100, 0x0005, &in));
    EXPECT_EQ(in, (Bytes{1, 2, 3, 4}));

    const std::vector<EmulatedUSBDevice::Transfer> expected{
        {0x00, {0x40, 0x02, 0x34, 0x12, 0x00, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC}},
        {0x00, {0xC1, 0x03, 0x00, 0x01, 0x05, 0x00, 0x04, 0x00}}};
    EXPECT_EQ(kraken->transfers(), expected);
}

TEST_F(LibusbBusTest, ClaimDetachesTheKernelDriverAndReleaseGivesItBack)
{
    EXPECT_TRUE(kraken->driverBound);
    ASSERT_TRUE(interface->open());
    EXPECT_TRUE(kraken->claimed);
    EXPECT_FALSE(kraken->driverBound);
    interface->close();
    EXPECT_FALSE(kraken->claimed);
    EXPECT_TRUE(kraken->driverBound);

    kraken->claimedElsewhere = true;
    EXPECT_FALSE(interface->open());
    EXPECT_EQ(interface->lastStatus(), USBStatus::Busy);
}

TEST_F(LibusbBusTest, PipesMoveExactBytes)
{
    ASSERT_TRUE(interface->open());
    ASSERT_TRUE(interface->writePipe(1, Bytes{0x10, 0x20, 0x30}));

    struct Case {
        size_t sent;
        size_t asked;
    };
    for (const Case& c : {Case{32, 32}, Case{5, 32}}) {
        Bytes reply(c.sent);
        for (size_t i = 0; i < reply.size(); ++i)
            reply[i] = static_cast<uint8_t>(0x80 + i);
        kraken->queueReply(0x81, reply);
        EXPECT_EQ(interface->readPipe(2, static_cast<int64_t>(c.asked)), reply) << c.sent << " of " << c.asked;
    }
    const std::vector<EmulatedUSBDevice::Transfer> expected{{0x02, {0x10, 0x20, 0x30}}};
    EXPECT_EQ(kraken->transfers(), expected);
}

TEST_F(LibusbBusTest, SilentDeviceTimesOut)
{
    ASSERT_TRUE(interface->open());
    kraken->silent = true;

    Clock::time_point start = Clock::now();
    EXPECT_EQ(interface->readPipe(2, 32), std::nullopt);
    EXPECT_EQ(interface->lastStatus(), USBStatus::Timeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));

    start = Clock::now();
    Bytes data{1};
    EXPECT_FALSE(device->sendRequest(0, 2, 0, 0x02, 0, 0, &data));
    EXPECT_EQ(device->lastStatus(), USBStatus::Timeout);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
}

} // namespace
} // namespace qarn
