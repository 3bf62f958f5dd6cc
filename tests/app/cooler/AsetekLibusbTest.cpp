// Asetek on the libusb backend: the start-up bytes as they reach a device emulated at the usbdevfs
// level.
#include "LibusbBusTestbed.h"

#include "cooler/Asetek.h"

namespace qarn {
namespace {

using Transfer = EmulatedUSBDevice::Transfer;

struct AsetekOnLibusb : LibusbBusTest {};

TEST_F(AsetekOnLibusb, SendsTheResetAndAFirstCycleWithTheDefaultCurves)
{
    std::vector<uint8_t> status(32);
    status[0] = 0x03, status[1] = 0x84, status[8] = 0x0B, status[9] = 0xB8, status[10] = 0x1E;
    kraken->queueReply(0x81, {}); // the drain: a zero-length packet
    kraken->queueReply(0x81, status);

    auto cooler = Asetek::withDevice(device);
    ASSERT_TRUE(cooler);
    const std::vector<Transfer> expected{{0x00, {0x40, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}},
                                         {0x00, {0x40, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}},
                                         {0x00, {0x40, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
                                         {0x02, {0x14, 0x00, 0x00, 0x00}},
                                         {0x02, {0x13, 0x19}},
                                         {0x02, {0x12, 0x19}}};
    EXPECT_EQ(kraken->transfers(), expected);
    EXPECT_EQ(std::tuple(cooler->fanRPM(), cooler->pumpRPM(), cooler->waterTemp()), std::tuple(900, 3000, 30));
}

} // namespace
} // namespace qarn
