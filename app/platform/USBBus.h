#pragma once
// USB devices as the monitor's USB classes (USBDevice, USBDeviceInterface, USBDeviceList) see
// them: the bus, one device's access ("device interface"), and arrival and removal events.
//
// One contract, two backends:
//   - LibusbBus (real): libusb-1.0 on the kernel's usbdevfs (/dev/bus/usb/BBB/DDD).
//   - sim::SimulatedUSBBus: devices plugged and pulled by tests and --simulate, each one a
//     protocol object that answers the transfers it understands and fails loudly on the rest.
// ForwardingUSBBus passes every call to another backend, so that a wrapper (fault injection)
// overrides only what it changes.
//
// Nothing here throws. Every operation that can fail answers a USBStatus; the libusb codes and
// errno values behind it are mapped in one place (LibusbBus.cpp). Time-outs are in milliseconds
// and are always finite: no operation blocks longer than the time-out it was given.
//
// Threads: a USBBus may be used from any thread. A USBDeviceAccess is used by one thread at a
// time (its owner's); the backend keeps alive whatever an access object needs, so an access
// may outlive the bus object that made it (its operations then answer NoDevice).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qarn {

enum class USBStatus {
    Success,
    Timeout,         // nothing (or not everything) moved within the time-out
    Stall,           // the device refused the request (STALL)
    NoDevice,        // pulled out, or the access outlived its device
    NotFound,        // no such device, interface or endpoint
    Access,          // the device node is not open to this user
    Busy,            // another program (or a kernel driver that would not let go) holds it
    Overflow,        // the device sent more than asked for
    InvalidArgument, // a request the layer refuses before sending anything
    NotOpen,         // the device (or interface) was not opened first
    NotSupported,    // this backend or this machine cannot do it
    NoMemory,
    IOError,         // anything else the kernel or the device reported
};

// "timed out", "no access", ...: for messages to users.
const char* usbStatusText(USBStatus status);

enum class USBTransferType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct USBEndpointDescription {
    uint8_t address = 0; // bit 7 set: IN (device to host)
    USBTransferType type = USBTransferType::Bulk;
    uint16_t maxPacketSize = 0;
    bool isIn() const { return (address & 0x80) != 0; }
};

// One interface (alternate setting 0) of the active configuration; endpoints in descriptor order.
struct USBInterfaceDescription {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::vector<USBEndpointDescription> endpoints;
};

// What the device descriptor says, read without opening the device.
struct USBDeviceDescription {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t numberOfConfigurations = 0;
    uint8_t busNumber = 0;
    uint8_t address = 0;
    std::string node; // the device node users need access to ("/dev/bus/usb/001/004"), or
                      // where a simulated device lives ("simulated bus")
};

// The eight setup bytes of a control transfer, as they go on the wire.
struct USBControlSetup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// A device's registry handle: stable for as long as the device stays attached, never reused
// for another device while this bus object lives. 0 is no device.
using USBDeviceId = uint32_t;

class USBDeviceAccess {
public:
    virtual ~USBDeviceAccess();

    virtual USBDeviceId id() const = 0;
    virtual const USBDeviceDescription& description() const = 0;

    // The product string (iProduct), "" where the device has none or cannot be asked (no access).
    // Opens the device briefly where the backend needs that.
    virtual std::string productString() = 0;

    // USBDeviceOpen / USBDeviceClose. close on a closed access does nothing; it releases every
    // interface still claimed (handing each back to its kernel driver).
    virtual USBStatus open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // The interfaces of the active configuration in descriptor order, from the descriptors the
    // system keeps (no open needed, so a user without access can still see them); empty when the
    // configuration cannot be read.
    virtual std::vector<USBInterfaceDescription> interfaces() = 0;

    // One control transfer on the default pipe. data holds setup.wLength bytes (null when 0):
    // sent for OUT requests, overwritten with the reply for IN requests. transferred (may be
    // null) gets the bytes moved.
    virtual USBStatus control(const USBControlSetup& setup, uint8_t* data, unsigned timeoutMs,
                              uint32_t* transferred) = 0;

    // Claims an interface for this process alone, detaching the kernel's driver from it first;
    // release hands it back and reattaches the driver. Busy names a claim someone else holds.
    virtual USBStatus claimInterface(uint8_t number) = 0;
    virtual USBStatus releaseInterface(uint8_t number) = 0;

    // One bulk or interrupt transfer on endpoint (of a claimed interface), in the endpoint's
    // direction: writes length bytes from data, or reads up to length bytes into it.
    // noDataTimeoutMs bounds the wait for the first byte (and any later gap), completionTimeoutMs
    // the whole transfer. transferred (may be null) gets the bytes moved, also on failure.
    // A read ends early, with Success, when the device sends a short packet.
    virtual USBStatus transfer(const USBEndpointDescription& endpoint, uint8_t* data,
                               uint32_t length, unsigned noDataTimeoutMs,
                               unsigned completionTimeoutMs, uint32_t* transferred) = 0;
};

enum class USBEvent { Arrived, Left };

// Ends the delivery of events when destroyed; the destructor waits for a handler call that is
// running on another thread, and must not be called from inside the handler.
class USBWatch {
public:
    virtual ~USBWatch();
};

class USBBus {
public:
    virtual ~USBBus();

    // Says where the devices come from ("libusb", "simulated bus"), for users and logs.
    virtual const char* description() const = 0;
    virtual bool isSimulated() const = 0;

    // Success when devices can be listed at all; otherwise why not (no usbfs: NotSupported).
    virtual USBStatus availability() const = 0;

    // The devices attached now, in the order the bus lists them.
    virtual std::vector<USBDeviceId> deviceIds() = 0;

    // The access for a device ("plug-in"); null when the id is unknown or the device is gone.
    virtual std::unique_ptr<USBDeviceAccess> access(USBDeviceId id) = 0;

    // Calls handler on a thread of the bus's own (not the caller's) for every device that arrives or leaves after
    // watch returns, one call at a time, in the order they happen. Null where the bus cannot
    // watch (no hot-plug support): the caller then sees the bus as it was.
    using EventHandler = std::function<void(USBEvent event, USBDeviceId id)>;
    virtual std::unique_ptr<USBWatch> watch(EventHandler handler) = 0;
};

// Every call passed on to target, which must outlive the wrapper.
class ForwardingUSBBus : public USBBus {
public:
    explicit ForwardingUSBBus(USBBus& target) : fTarget(target) {}

    const char* description() const override { return fTarget.description(); }
    bool isSimulated() const override { return fTarget.isSimulated(); }
    USBStatus availability() const override { return fTarget.availability(); }
    std::vector<USBDeviceId> deviceIds() override { return fTarget.deviceIds(); }
    std::unique_ptr<USBDeviceAccess> access(USBDeviceId id) override { return fTarget.access(id); }
    std::unique_ptr<USBWatch> watch(EventHandler handler) override { return fTarget.watch(std::move(handler)); }

protected:
    USBBus& target() const { return fTarget; }

private:
    USBBus& fTarget;
};

} // namespace qarn
