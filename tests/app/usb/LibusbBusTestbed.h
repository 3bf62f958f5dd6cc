#pragma once
// The Kraken emulated on bus 1 of a umockdev testbed (one for the whole program), and per test a
// libusb bus with the device found and opened through the USB classes.

#include "EmulatedUSBDevice.h"

#include "platform/LibusbBus.h"
#include "usb/USBDevice.h"
#include "usb/USBDeviceInterface.h"

#include <gtest/gtest.h>

namespace qarn {

constexpr uint16_t kVendor = 0x2433;
constexpr uint16_t kProduct = 0xB200;

class LibusbBusTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Nothing may ask whether this is a mock before the testbed exists.
        testbed = umockdev_testbed_new();
        kraken = new EmulatedUSBDevice(testbed, 2, kVendor, kProduct, true);
    }

    static void TearDownTestSuite()
    {
        delete kraken;
        g_object_unref(testbed);
    }

    void SetUp() override
    {
        // Without the preload libusb would quietly see the machine's own bus.
        ASSERT_TRUE(umockdev_in_mock_environment()) << "libumockdev-preload is not loaded";
        kraken->reset();
        bus = LibusbBus::create();
        ASSERT_EQ(bus->availability(), USBStatus::Success);
        device = USBDevice::initWithVendor(*bus, kVendor, kProduct);
        ASSERT_TRUE(device);
        ASSERT_TRUE(device->open());
        ASSERT_EQ(device->interfaces().size(), 1u);
        interface = device->interfaces()[0];
    }

    static inline UMockdevTestbed* testbed = nullptr;
    static inline EmulatedUSBDevice* kraken = nullptr;
    std::shared_ptr<LibusbBus> bus;
    std::shared_ptr<USBDevice> device;
    std::shared_ptr<USBDeviceInterface> interface;
};

} // namespace qarn
