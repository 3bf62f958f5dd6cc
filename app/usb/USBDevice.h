#pragma once
// One USB device for user-space use: found by registry handle, by vendor and product id or by
// name (its product string), opened to list its interfaces, and sent control requests on the
// default pipe, HID report requests included.
//
// Used by one thread at a time. A control request blocks that thread for at most
// kControlTimeoutMs: a device that stops answering makes the request answer false, it never
// hangs the caller.

#include "platform/USBBus.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qarn {

class USBDeviceInterface;

class USBDevice {
public:
    static constexpr unsigned kControlTimeoutMs = 5000;

    // Null when the bus does not know the device (0, unknown or gone).
    static std::shared_ptr<USBDevice> initWithService(USBBus& bus, USBDeviceId service);
    // The first attached device with these ids; null when none is.
    static std::shared_ptr<USBDevice> initWithVendor(USBBus& bus, uint16_t vendor, uint16_t product);
    // The first attached device whose product string equals name; null when none does.
    static std::shared_ptr<USBDevice> initWithName(USBBus& bus, const std::string& name);

    // Closes the device if it is open.
    ~USBDevice();

    USBDevice(const USBDevice&) = delete;
    USBDevice& operator=(const USBDevice&) = delete;

    USBDeviceId service() const;
    int64_t vendorId() const;
    int64_t productId() const;
    int64_t numberOfConfigurations() const;
    // The product string, "" when the device has none or cannot be asked.
    std::string productName() const;
    // Where the device lives, for messages about access ("/dev/bus/usb/001/004").
    std::string node() const;

    // Opens the device and lists its interfaces afresh; an open device answers true at once and
    // keeps its list.
    bool open();
    // Empties interfaces() and closes the device if it is open.
    void close();
    bool isOpen() const { return fIsOpen; }

    // The interfaces found by the last open, in descriptor order; empty while closed. The list
    // itself, not a copy.
    std::vector<std::shared_ptr<USBDeviceInterface>>& interfaces() { return fInterfaces; }

    // One control transfer: bmRequestType from the low bit of direction (1 = in), the low two of
    // type (2 = vendor) and the low five of recipient (1 = interface). data (null for none)
    // supplies wLength and the bytes, and receives the reply of an IN request; its length does
    // not change.
    bool sendRequest(uint8_t direction, uint8_t type, uint8_t recipient, uint8_t request,
                     uint16_t value, uint16_t index, std::vector<uint8_t>* data);

    // HID GET_REPORT / SET_REPORT sent as vendor requests to interface 0; the buffer's first
    // byte is the report ID. False, and nothing sent, for a null or empty buffer.
    bool getHIDReport(std::vector<uint8_t>* data);
    bool setHIDReport(std::vector<uint8_t>* data);

    // Why the last open or request failed (Success after one that did not).
    USBStatus lastStatus() const { return fLastStatus; }

private:
    explicit USBDevice(std::unique_ptr<USBDeviceAccess> access);
    static std::shared_ptr<USBDevice> commonInit(std::unique_ptr<USBDeviceAccess> access);

    bool fIsOpen = false;
    std::shared_ptr<USBDeviceAccess> fDeviceInterface;
    std::vector<std::shared_ptr<USBDeviceInterface>> fInterfaces;
    USBStatus fLastStatus = USBStatus::Success;
};

} // namespace qarn
