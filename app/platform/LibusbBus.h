#pragma once
// The real USB bus: libusb-1.0 on the kernel's usbdevfs.
//
// Registry handles are ids the bus hands out per libusb device (from 1, never reused by one bus
// object); the bus holds a libusb reference on each mapped device so that the pointer stays the
// device's. Hot-plug events come from libusb's own monitor, handled on a thread of each watch.

#include "platform/USBBus.h"

#include <memory>

namespace qarn {

class LibusbBus : public USBBus {
public:
    // Never fails: without usbfs (a container, no USB at all) availability() says why and the
    // bus lists no device.
    static std::shared_ptr<LibusbBus> create();
    ~LibusbBus() override;

    LibusbBus(const LibusbBus&) = delete;
    LibusbBus& operator=(const LibusbBus&) = delete;

    const char* description() const override { return "libusb"; }
    bool isSimulated() const override { return false; }
    USBStatus availability() const override;
    std::vector<USBDeviceId> deviceIds() override;
    std::unique_ptr<USBDeviceAccess> access(USBDeviceId id) override;
    std::unique_ptr<USBWatch> watch(EventHandler handler) override;

    // Shared by the bus, its accesses and its watches: the libusb context and the id map.
    struct Context;

private:
    LibusbBus();

    std::shared_ptr<Context> fContext;
};

} // namespace qarn
