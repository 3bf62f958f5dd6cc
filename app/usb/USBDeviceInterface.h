#pragma once
// One interface of an opened USB device: opened by claiming it (the kernel's driver is detached
// and given back on close), its endpoints read and written as pipes with fixed time-outs.
//
// Pipe numbers are the platform's: 0 is the default control pipe, 1 up to numberOfEndpoints()
// the interface's endpoints in descriptor order, each bulk or interrupt as its descriptor says.
// Only the low 8 bits of a pipe argument count, so pipe 257 is pipe 1. Used by one thread at a
// time; a read or write blocks it for at most kCompletionTimeoutMs.

#include "platform/USBBus.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace qarn {

class USBDeviceInterface {
public:
    static constexpr unsigned kNoDataTimeoutMs = 1000;
    static constexpr unsigned kCompletionTimeoutMs = 2000;
    // The longest read a caller may ask for (the system asks for 32 and 4096 bytes).
    static constexpr int64_t kMaxReadLength = 65536;

    // The interface described by interface on device (which must be open to claim it); null
    // when either is missing. The object shares the device's access, so it stays safe to use
    // after the device closed: its calls then fail.
    static std::shared_ptr<USBDeviceInterface> initByIOObject(std::shared_ptr<USBDeviceAccess> device,
                                                              const USBInterfaceDescription& interface);
    ~USBDeviceInterface();

    USBDeviceInterface(const USBDeviceInterface&) = delete;
    USBDeviceInterface& operator=(const USBDeviceInterface&) = delete;

    // Claims the interface; answers isOpen() afterwards.
    bool open();
    // Releases it if open; isOpen() is false afterwards.
    void close();
    bool isOpen() const { return fIsOpen; }

    int64_t numberOfEndpoints() const;
    uint8_t interfaceNumber() const { return fInterface.number; }
    const USBInterfaceDescription& description() const { return fInterface; }

    // One read of at most length bytes: the bytes received (possibly fewer), or nothing on any
    // failure (nothing within kNoDataTimeoutMs, a stall, the device gone, a pipe that is not an
    // IN endpoint of this interface, a length outside 0..kMaxReadLength).
    std::optional<std::vector<uint8_t>> readPipe(int64_t pipe, int64_t length);
    // One write of all of data; true when every byte went out in time. Empty data is a
    // zero-length transfer.
    bool writePipe(int64_t pipe, std::span<const uint8_t> data);

    // Why the last open, read or write failed (Success after one that did not).
    USBStatus lastStatus() const { return fLastStatus; }

private:
    USBDeviceInterface(std::shared_ptr<USBDeviceAccess> device, const USBInterfaceDescription& interface);
    const USBEndpointDescription* endpointForPipe(int64_t pipe, bool in);

    std::shared_ptr<USBDeviceAccess> fDevice;
    USBInterfaceDescription fInterface;
    bool fIsOpen = false;
    USBStatus fLastStatus = USBStatus::Success;
};

} // namespace qarn
