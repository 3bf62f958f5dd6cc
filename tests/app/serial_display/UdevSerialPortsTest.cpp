// The serial ports udev lists, on a umockdev testbed: tty devices of USB adapters are ports,
// a tty without a parent device is not, and the driver never offers a Bluetooth one.

#include "platform/UdevSerialPorts.h"
#include "serial_display/SparvelDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <umockdev.h>

using testing::ElementsAre;
using testing::UnorderedElementsAre;

namespace {

// A USB device with one interface, and a tty on that interface.
std::string usbSerialAdapter(int port, const std::string& tty)
{
    const std::string device = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
    const std::string interface = device + "/1-" + std::to_string(port) + ":1.0";
    return "P: " + interface + "/tty/" + tty + "\nN: " + tty + "\nE: DEVNAME=/dev/" + tty +
           "\nE: SUBSYSTEM=tty\n\n"
           "P: " + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n"
           "P: " + device + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
}

} // namespace

TEST(UdevSerialPortsTest, ListsTheTtysOfDevicesWithoutBluetooth)
{
    UMockdevTestbed* testbed = umockdev_testbed_new();
    ASSERT_TRUE(umockdev_in_mock_environment()) << "the umockdev preload is not active";
    GError* error = nullptr;
    for (const std::string& record :
         {usbSerialAdapter(2, "ttyACM0"), usbSerialAdapter(3, "ttyBlueTooth0"),
          std::string("P: /devices/virtual/tty/ttyV0\nN: ttyV0\nE: DEVNAME=/dev/ttyV0\nE: SUBSYSTEM=tty\n")}) {
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
            << (error ? error->message : "");
    }

    qarn::UdevSerialPorts ports;
    std::string why = "untouched";
    EXPECT_THAT(ports.ports(&why), UnorderedElementsAre("/dev/ttyACM0", "/dev/ttyBlueTooth0"));
    EXPECT_EQ(why, "untouched");
    EXPECT_THAT(qarn::SparvelDevice::devices(ports), ElementsAre("/dev/ttyACM0"));
    g_object_unref(testbed);
}
