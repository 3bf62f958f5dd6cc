// USBDevice and USBDeviceInterface on the simulated bus: the bytes each call puts on the wire, and
// the kernel's rules for opening and claiming.
#include "sim/SimulatedUSBBus.h"
#include "usb/USBDevice.h"
#include "usb/USBDeviceInterface.h"

#include <gtest/gtest.h>

using namespace qarn;
using sim::ScriptedUSBDevice;
using sim::USBTransferRecord;

namespace {

constexpr uint16_t kVendor = 0x2433, kProduct = 0xB200;

struct USBDeviceTest : ::testing::Test {
    sim::SimulatedUSBBus bus;
    std::shared_ptr<ScriptedUSBDevice> device =
        std::make_shared<ScriptedUSBDevice>(kVendor, kProduct, "Kraken X31", sim::krakenX31Interfaces());
    USBDeviceId id = bus.plug(device);

    std::shared_ptr<USBDevice> opened()
    {
        auto usb = USBDevice::initWithService(bus, id);
        EXPECT_TRUE(usb && usb->open());
        return usb;
    }
    std::shared_ptr<USBDeviceInterface> claimed(USBDevice& usb)
    {
        EXPECT_EQ(usb.interfaces().size(), 1u);
        auto interface = usb.interfaces().at(0);
        EXPECT_TRUE(interface->open());
        return interface;
    }
    size_t expectedViolations = 0;
    void TearDown() override
    {
        EXPECT_EQ(device->violations().size(), expectedViolations);
        EXPECT_EQ(device->pending(), 0u);
    }
};

TEST_F(USBDeviceTest, ControlRequestsCarryTheSetupBytesTheArgumentsGive)
{
    struct Case {
        const char* name;
        uint8_t direction, type, recipient;
        uint8_t bmRequestType;
    } cases[] = {
        {"out vendor device", 0, 2, 0, 0x40},
        {"in vendor interface", 1, 2, 1, 0xC1},
        {"in class interface", 1, 1, 1, 0xA1},
        {"out class interface", 0, 1, 1, 0x21},
        {"in standard endpoint", 1, 0, 2, 0x82},
        {"out vendor other", 0, 2, 3, 0x43},
        {"only the low bits count", 0xFF, 0xFE, 0xE1, 0xC1},
    };
    auto usb = opened();
    for (const auto& c : cases) {
        std::vector<uint8_t> data{0xAA, 0xBB};
        const bool in = c.bmRequestType & 0x80;
        device->expectControl({c.bmRequestType, 0x07, 0x1234, 0x5678, 2}, in ? std::vector<uint8_t>{1, 2} : data);
        EXPECT_TRUE(usb->sendRequest(c.direction, c.type, c.recipient, 0x07, 0x1234, 0x5678, &data)) << c.name;
        EXPECT_EQ(data, (in ? std::vector<uint8_t>{1, 2} : std::vector<uint8_t>{0xAA, 0xBB})) << c.name;
    }
}

TEST_F(USBDeviceTest, HIDReportsAreVendorRequestsToInterfaceZeroKeyedByTheFirstByte)
{
    auto usb = opened();
    std::vector<uint8_t> report{3, 9, 9, 9};
    device->expectControl({0xC1, 0x01, 0x0103, 0, 4}, {3, 4, 5, 6});
    device->expectControl({0x41, 0x09, 0x0203, 0, 4}, {3, 4, 5, 6});
    device->expectControl({0x40, 0x00, 0xFFFF, 0, 0}, {});
    EXPECT_TRUE(usb->getHIDReport(&report));
    EXPECT_EQ(report, (std::vector<uint8_t>{3, 4, 5, 6}));
    EXPECT_TRUE(usb->setHIDReport(&report));
    // Nil data: no length, no bytes.
    EXPECT_TRUE(usb->sendRequest(0, 2, 0, 0x00, 0xFFFF, 0, nullptr));
    EXPECT_EQ(device->recorded().back(), (USBTransferRecord{USBTransferRecord::Kind::Control, {0x40, 0, 0xFFFF, 0, 0}, 0, {}, 0}));

    // A report needs its ID byte: nothing goes out without one.
    std::vector<uint8_t> empty;
    EXPECT_FALSE(usb->getHIDReport(&empty));
    EXPECT_FALSE(usb->setHIDReport(nullptr));
    EXPECT_EQ(device->recorded().size(), 3u);
}

TEST_F(USBDeviceTest, PipesAreTheInterfaceEndpointsInDescriptorOrderByTheLowEightBits)
{
    auto usb = opened();
    auto interface = claimed(*usb);
    EXPECT_EQ(interface->numberOfEndpoints(), 2);
    std::vector<uint8_t> packet(32);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = uint8_t(i * 7);

    device->expectWrite(0x02, {0x12, 0x40});
    device->expectRead(0x81, packet);
    device->expectRead(0x81, {1, 2, 3, 4, 5});
    device->expectRead(0x81, {}, USBStatus::Timeout);
    device->expectRead(0x81, std::vector<uint8_t>(33));
    EXPECT_TRUE(interface->writePipe(257, std::vector<uint8_t>{0x12, 0x40}));
    EXPECT_EQ(interface->readPipe(2, 32), packet);
    EXPECT_EQ(interface->readPipe(2, 32), (std::vector<uint8_t>{1, 2, 3, 4, 5})) << "a short read is what came";
    EXPECT_EQ(interface->readPipe(2, 32), std::nullopt) << "silence";
    EXPECT_EQ(interface->lastStatus(), USBStatus::Timeout);
    EXPECT_EQ(interface->readPipe(2, 32), std::nullopt) << "babble";
    EXPECT_EQ(interface->readPipe(2, 32), std::nullopt) << "after the device's script: a stall, loudly";
    expectedViolations = 1;
    ASSERT_EQ(device->violations().size(), 1u);
    EXPECT_EQ(device->violations()[0], "unexpected read of 32 bytes from endpoint 81 after the end of the script");
    const size_t sent = device->recorded().size();

    // Pipes that are not a data endpoint in that direction, and lengths out of bounds, send nothing.
    EXPECT_FALSE(interface->writePipe(0, std::vector<uint8_t>{1}));
    EXPECT_FALSE(interface->writePipe(3, std::vector<uint8_t>{1}));
    EXPECT_FALSE(interface->writePipe(2, std::vector<uint8_t>{1}));
    EXPECT_EQ(interface->readPipe(1, 32), std::nullopt);
    EXPECT_EQ(interface->readPipe(2, -1), std::nullopt);
    EXPECT_EQ(interface->readPipe(2, USBDeviceInterface::kMaxReadLength + 1), std::nullopt);
    EXPECT_EQ(device->recorded().size(), sent);
}

TEST_F(USBDeviceTest, OpenListsInterfacesAfreshAndClaimsAreExclusiveUntilClosed)
{
    auto usb = opened();
    auto first = usb->interfaces();
    EXPECT_TRUE(usb->open());
    EXPECT_EQ(usb->interfaces(), first) << "open on an open device keeps its list";

    auto interface = claimed(*usb);
    auto other = opened();
    EXPECT_FALSE(other->interfaces().at(0)->open());
    EXPECT_EQ(other->interfaces().at(0)->lastStatus(), USBStatus::Busy);

    usb->close();
    EXPECT_FALSE(usb->isOpen());
    EXPECT_TRUE(usb->interfaces().empty());
    EXPECT_FALSE(interface->isOpen()) << "an interface kept by its user is closed with the device";
    EXPECT_FALSE(interface->writePipe(1, std::vector<uint8_t>{1}));
    EXPECT_TRUE(other->interfaces().at(0)->open()) << "the claim went with the close";

    EXPECT_TRUE(usb->open());
    ASSERT_EQ(usb->interfaces().size(), 1u);
    EXPECT_NE(usb->interfaces().at(0), first.at(0));
    EXPECT_EQ(usb->interfaces().at(0)->description().endpoints.size(), 2u);
}

TEST_F(USBDeviceTest, DevicesAreFoundByIdsAndNameAndFailCleanlyOnceGone)
{
    auto other = std::make_shared<ScriptedUSBDevice>(0x1234, 0x0001, "Other", sim::krakenX31Interfaces());
    bus.plug(other);
    EXPECT_EQ(USBDevice::initWithVendor(bus, kVendor, kProduct)->service(), id);
    EXPECT_EQ(USBDevice::initWithName(bus, "Other")->vendorId(), 0x1234);
    EXPECT_EQ(USBDevice::initWithVendor(bus, kVendor, 0x0001), nullptr);
    EXPECT_EQ(USBDevice::initWithName(bus, "Kraken"), nullptr);
    EXPECT_EQ(USBDevice::initWithService(bus, 0), nullptr);

    auto usb = opened();
    EXPECT_EQ(usb->numberOfConfigurations(), 1);
    EXPECT_EQ(usb->productName(), "Kraken X31");
    bus.pull(id);
    EXPECT_EQ(USBDevice::initWithService(bus, id), nullptr);
    EXPECT_FALSE(usb->sendRequest(0, 2, 0, 0, 0, 0, nullptr));
    EXPECT_EQ(usb->lastStatus(), USBStatus::NoDevice);
    usb->close();
    EXPECT_FALSE(usb->open());

    other->setOpenStatus(USBStatus::Access);
    auto refused = USBDevice::initWithName(bus, "Other");
    EXPECT_FALSE(refused->open());
    EXPECT_EQ(refused->lastStatus(), USBStatus::Access);
    EXPECT_TRUE(refused->interfaces().empty());
}

} // namespace
