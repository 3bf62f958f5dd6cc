#pragma once
// A device on the simulated USB bus: its descriptors, and a protocol object that answers the
// transfers it understands. Every transfer it receives is recorded; anything outside its
// protocol is a violation: recorded, written to standard error, and answered with a stall, so a
// driver that strays fails loudly instead of reading made-up bytes.
//
// The bus calls one device from one thread at a time (it holds the device's lock around each
// call); recorded() and violations() may be read from any thread.

#include "platform/USBBus.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// One transfer as the device saw it.
struct USBTransferRecord {
    enum class Kind { Control, Write, Read };
    Kind kind = Kind::Control;
    qarn::USBControlSetup setup; // Control only
    uint8_t endpoint = 0;        // Write and Read
    std::vector<uint8_t> bytes;  // what the host sent (Control out, Write)
    uint32_t length = 0;         // bytes asked for (Read, Control in) or sent
    bool operator==(const USBTransferRecord&) const;
};

// Bytes as "12 ab 00" for violation messages; "(none)" for none.
std::string hexBytes(const uint8_t* bytes, size_t length);

class SimulatedUSBDevice {
public:
    SimulatedUSBDevice(uint16_t vendorId, uint16_t productId, std::string product,
                       std::vector<qarn::USBInterfaceDescription> interfaces);
    virtual ~SimulatedUSBDevice();

    uint16_t vendorId() const { return fVendorId; }
    uint16_t productId() const { return fProductId; }
    const std::string& product() const { return fProduct; }
    const std::vector<qarn::USBInterfaceDescription>& interfaces() const { return fInterfaces; }

    // What opening the device answers: Access stands for a device node without the udev rule.
    void setOpenStatus(qarn::USBStatus status);
    qarn::USBStatus openStatus() const;

    // Called by the bus, under the device's lock. data and transferred as USBDeviceAccess has them.
    qarn::USBStatus control(const qarn::USBControlSetup& setup, uint8_t* data, uint32_t* transferred);
    qarn::USBStatus transfer(const qarn::USBEndpointDescription& endpoint, uint8_t* data, uint32_t length,
                             uint32_t* transferred);

    std::vector<USBTransferRecord> recorded() const;
    std::vector<std::string> violations() const;

    std::mutex& lock() { return fCallMutex; }

protected:
    // The protocol. Answer the transfer, or call violation() and answer Stall.
    virtual qarn::USBStatus answerControl(const qarn::USBControlSetup& setup, uint8_t* data,
                                          uint32_t* transferred) = 0;
    virtual qarn::USBStatus answerWrite(uint8_t endpoint, const uint8_t* data, uint32_t length) = 0;
    virtual qarn::USBStatus answerRead(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t* transferred) = 0;

    qarn::USBStatus violation(const std::string& what);

private:
    const uint16_t fVendorId;
    const uint16_t fProductId;
    const std::string fProduct;
    const std::vector<qarn::USBInterfaceDescription> fInterfaces;

    std::mutex fCallMutex;
    mutable std::mutex fRecordMutex;
    qarn::USBStatus fOpenStatus = qarn::USBStatus::Success;
    std::vector<USBTransferRecord> fRecorded;
    std::vector<std::string> fViolations;
};

// A device that answers from a script: each expected transfer in order, with its answer. A
// transfer that differs from the next expected one, or comes after the script ran out, is a
// violation.
class ScriptedUSBDevice : public SimulatedUSBDevice {
public:
    using SimulatedUSBDevice::SimulatedUSBDevice;

    // An expected control request; an IN request is answered with reply, an OUT one must carry
    // exactly sent. status other than Success answers the request with that failure.
    void expectControl(const qarn::USBControlSetup& setup, std::vector<uint8_t> bytes,
                       qarn::USBStatus status = qarn::USBStatus::Success);
    void expectWrite(uint8_t endpoint, std::vector<uint8_t> bytes,
                     qarn::USBStatus status = qarn::USBStatus::Success);
    // reply may be shorter than the read asks (a short packet); Timeout stands for silence.
    void expectRead(uint8_t endpoint, std::vector<uint8_t> reply,
                    qarn::USBStatus status = qarn::USBStatus::Success);

    // Expected transfers that never came.
    size_t pending() const;

protected:
    qarn::USBStatus answerControl(const qarn::USBControlSetup& setup, uint8_t* data, uint32_t* transferred) override;
    qarn::USBStatus answerWrite(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    qarn::USBStatus answerRead(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t* transferred) override;

private:
    struct Step {
        USBTransferRecord::Kind kind;
        qarn::USBControlSetup setup;
        uint8_t endpoint;
        std::vector<uint8_t> bytes;
        qarn::USBStatus status;
    };
    bool next(USBTransferRecord::Kind kind, const std::string& what, Step& step);

    mutable std::mutex fScriptMutex;
    std::deque<Step> fScript;
};

// The descriptors of a Kraken X31 cooler (vendor 0x2433, product 0xB200): one vendor-specific
// interface, pipe 1 = bulk OUT 0x02, pipe 2 = bulk IN 0x81.
std::vector<qarn::USBInterfaceDescription> krakenX31Interfaces();

} // namespace sim
