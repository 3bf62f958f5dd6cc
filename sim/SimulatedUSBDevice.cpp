#include "sim/SimulatedUSBDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

using qarn::USBControlSetup;
using qarn::USBStatus;

namespace {

std::string describe(const USBControlSetup& s)
{
    char text[96];
    std::snprintf(text, sizeof text, "control %02x %02x value %04x index %04x length %u", s.bmRequestType,
                  s.bRequest, s.wValue, s.wIndex, s.wLength);
    return text;
}

bool sameSetup(const USBControlSetup& a, const USBControlSetup& b)
{
    return a.bmRequestType == b.bmRequestType && a.bRequest == b.bRequest && a.wValue == b.wValue &&
           a.wIndex == b.wIndex && a.wLength == b.wLength;
}

} // namespace

std::string hexBytes(const uint8_t* bytes, size_t length)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
        text += byte;
    }
    return text.empty() ? "(none)" : text;
}

bool USBTransferRecord::operator==(const USBTransferRecord& other) const
{
    return kind == other.kind && sameSetup(setup, other.setup) && endpoint == other.endpoint && bytes == other.bytes &&
           length == other.length;
}

SimulatedUSBDevice::SimulatedUSBDevice(uint16_t vendorId, uint16_t productId, std::string product,
                                       std::vector<qarn::USBInterfaceDescription> interfaces)
    : fVendorId(vendorId), fProductId(productId), fProduct(std::move(product)), fInterfaces(std::move(interfaces))
{
}

SimulatedUSBDevice::~SimulatedUSBDevice() = default;

void SimulatedUSBDevice::setOpenStatus(USBStatus status)
{
    std::lock_guard lock(fRecordMutex);
    fOpenStatus = status;
}

USBStatus SimulatedUSBDevice::openStatus() const
{
    std::lock_guard lock(fRecordMutex);
    return fOpenStatus;
}

USBStatus SimulatedUSBDevice::control(const USBControlSetup& setup, uint8_t* data, uint32_t* transferred)
{
    USBTransferRecord record{USBTransferRecord::Kind::Control, setup, 0, {}, setup.wLength};
    if (!(setup.bmRequestType & 0x80) && data)
        record.bytes.assign(data, data + setup.wLength);
    {
        std::lock_guard lock(fRecordMutex);
        fRecorded.push_back(record);
    }
    return answerControl(setup, data, transferred);
}

USBStatus SimulatedUSBDevice::transfer(const qarn::USBEndpointDescription& endpoint, uint8_t* data, uint32_t length,
                                       uint32_t* transferred)
{
    USBTransferRecord record{endpoint.isIn() ? USBTransferRecord::Kind::Read : USBTransferRecord::Kind::Write, {},
                             endpoint.address, {}, length};
    if (!endpoint.isIn() && length > 0) {
        record.bytes.assign(data, data + length);
    }
    {
        std::lock_guard lock(fRecordMutex);
        fRecorded.push_back(record);
    }
    if (!endpoint.isIn()) {
        const USBStatus status = answerWrite(endpoint.address, data, length);
        *transferred = status == USBStatus::Success ? length : 0;
        return status;
    }
    *transferred = 0;
    return answerRead(endpoint.address, data, length, transferred);
}

std::vector<USBTransferRecord> SimulatedUSBDevice::recorded() const
{
    std::lock_guard lock(fRecordMutex);
    return fRecorded;
}

std::vector<std::string> SimulatedUSBDevice::violations() const
{
    std::lock_guard lock(fRecordMutex);
    return fViolations;
}

USBStatus SimulatedUSBDevice::violation(const std::string& what)
{
    char name[16];
    std::snprintf(name, sizeof name, "%04x:%04x", fVendorId, fProductId);
    std::fprintf(stderr, "simulated USB device %s: %s\n", name, what.c_str());
    std::lock_guard lock(fRecordMutex);
    fViolations.push_back(what);
    return USBStatus::Stall;
}

void ScriptedUSBDevice::expectControl(const USBControlSetup& setup, std::vector<uint8_t> bytes, USBStatus status)
{
    std::lock_guard lock(fScriptMutex);
    fScript.push_back({USBTransferRecord::Kind::Control, setup, 0, std::move(bytes), status});
}

void ScriptedUSBDevice::expectWrite(uint8_t endpoint, std::vector<uint8_t> bytes, USBStatus status)
{
    std::lock_guard lock(fScriptMutex);
    fScript.push_back({USBTransferRecord::Kind::Write, {}, endpoint, std::move(bytes), status});
}

void ScriptedUSBDevice::expectRead(uint8_t endpoint, std::vector<uint8_t> reply, USBStatus status)
{
    std::lock_guard lock(fScriptMutex);
    fScript.push_back({USBTransferRecord::Kind::Read, {}, endpoint, std::move(reply), status});
}

size_t ScriptedUSBDevice::pending() const
{
    std::lock_guard lock(fScriptMutex);
    return fScript.size();
}

bool ScriptedUSBDevice::next(USBTransferRecord::Kind kind, const std::string& what, Step& step)
{
    std::lock_guard lock(fScriptMutex);
    if (fScript.empty()) {
        violation("unexpected " + what + " after the end of the script");
        return false;
    }
    if (fScript.front().kind != kind) {
        violation("unexpected " + what + " where the script expects another kind of transfer");
        return false;
    }
    step = fScript.front();
    fScript.pop_front();
    return true;
}

USBStatus ScriptedUSBDevice::answerControl(const USBControlSetup& setup, uint8_t* data, uint32_t* transferred)
{
    const bool in = setup.bmRequestType & 0x80;
    const std::string what = describe(setup) + (in || !data ? "" : " data " + hexBytes(data, setup.wLength));
    Step step;
    if (!next(USBTransferRecord::Kind::Control, what, step))
        return USBStatus::Stall;
    if (!sameSetup(step.setup, setup))
        return violation("unexpected " + what + ", expected " + describe(step.setup));
    if (!in && setup.wLength > 0 && !std::equal(step.bytes.begin(), step.bytes.end(), data, data + setup.wLength))
        return violation("unexpected " + what + ", expected data " + hexBytes(step.bytes.data(), step.bytes.size()));
    if (step.status != USBStatus::Success)
        return step.status;
    uint32_t moved = setup.wLength;
    if (in) {
        if (step.bytes.size() > setup.wLength)
            return violation("scripted reply longer than " + what);
        moved = static_cast<uint32_t>(step.bytes.size());
        if (moved > 0)
            std::memcpy(data, step.bytes.data(), moved);
    }
    if (transferred)
        *transferred = moved;
    return USBStatus::Success;
}

USBStatus ScriptedUSBDevice::answerWrite(uint8_t endpoint, const uint8_t* data, uint32_t length)
{
    char what[64];
    std::snprintf(what, sizeof what, "write to endpoint %02x:", endpoint);
    const std::string text = what + std::string(" ") + hexBytes(data, length);
    Step step;
    if (!next(USBTransferRecord::Kind::Write, text, step))
        return USBStatus::Stall;
    if (step.endpoint != endpoint || !std::equal(step.bytes.begin(), step.bytes.end(), data, data + length))
        return violation("unexpected " + text + ", expected " + hexBytes(step.bytes.data(), step.bytes.size()));
    return step.status;
}

USBStatus ScriptedUSBDevice::answerRead(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t* transferred)
{
    char what[64];
    std::snprintf(what, sizeof what, "read of %u bytes from endpoint %02x", length, endpoint);
    Step step;
    if (!next(USBTransferRecord::Kind::Read, what, step))
        return USBStatus::Stall;
    if (step.endpoint != endpoint)
        return violation(std::string("unexpected ") + what);
    if (step.status != USBStatus::Success)
        return step.status;
    // A reply longer than the read is what a real device's babble looks like.
    if (step.bytes.size() > length)
        return USBStatus::Overflow;
    if (!step.bytes.empty())
        std::memcpy(data, step.bytes.data(), step.bytes.size());
    *transferred = static_cast<uint32_t>(step.bytes.size());
    return USBStatus::Success;
}

std::vector<qarn::USBInterfaceDescription> krakenX31Interfaces()
{
    qarn::USBInterfaceDescription interface;
    interface.number = 0;
    interface.interfaceClass = 0xFF;
    interface.endpoints = {{0x02, qarn::USBTransferType::Bulk, 64}, {0x81, qarn::USBTransferType::Bulk, 64}};
    return {interface};
}

} // namespace sim
