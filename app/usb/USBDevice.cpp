#include "usb/USBDevice.h"

#include "usb/USBDeviceInterface.h"

namespace qarn {

namespace {

// HID class request codes and report types, sent with the vendor type by this device family.
constexpr uint8_t kHIDGetReport = 0x01;
constexpr uint8_t kHIDSetReport = 0x09;
constexpr uint16_t kHIDInputReport = 0x0100;
constexpr uint16_t kHIDOutputReport = 0x0200;
constexpr uint8_t kVendorType = 2;
constexpr uint8_t kInterfaceRecipient = 1;

} // namespace

USBDevice::USBDevice(std::unique_ptr<USBDeviceAccess> access) : fDeviceInterface(std::move(access)) {}

USBDevice::~USBDevice()
{
    close();
}

std::shared_ptr<USBDevice> USBDevice::commonInit(std::unique_ptr<USBDeviceAccess> access)
{
    if (!access)
        return nullptr;
    return std::shared_ptr<USBDevice>(new USBDevice(std::move(access)));
}

std::shared_ptr<USBDevice> USBDevice::initWithService(USBBus& bus, USBDeviceId service)
{
    if (service == 0)
        return nullptr;
    return commonInit(bus.access(service));
}

std::shared_ptr<USBDevice> USBDevice::initWithVendor(USBBus& bus, uint16_t vendor, uint16_t product)
{
    for (USBDeviceId id : bus.deviceIds()) {
        std::unique_ptr<USBDeviceAccess> access = bus.access(id);
        if (access && access->description().vendorId == vendor && access->description().productId == product)
            return commonInit(std::move(access));
    }
    return nullptr;
}

std::shared_ptr<USBDevice> USBDevice::initWithName(USBBus& bus, const std::string& name)
{
    for (USBDeviceId id : bus.deviceIds()) {
        std::unique_ptr<USBDeviceAccess> access = bus.access(id);
        if (access && access->productString() == name)
            return commonInit(std::move(access));
    }
    return nullptr;
}

USBDeviceId USBDevice::service() const
{
    return fDeviceInterface->id();
}

int64_t USBDevice::vendorId() const
{
    return fDeviceInterface->description().vendorId;
}

int64_t USBDevice::productId() const
{
    return fDeviceInterface->description().productId;
}

int64_t USBDevice::numberOfConfigurations() const
{
    return fDeviceInterface->description().numberOfConfigurations;
}

std::string USBDevice::productName() const
{
    return fDeviceInterface->productString();
}

std::string USBDevice::node() const
{
    return fDeviceInterface->description().node;
}

bool USBDevice::open()
{
    if (fIsOpen)
        return true;
    fLastStatus = fDeviceInterface->open();
    fIsOpen = fLastStatus == USBStatus::Success;
    if (!fIsOpen)
        return false;
    fInterfaces.clear();
    for (const USBInterfaceDescription& description : fDeviceInterface->interfaces()) {
        if (auto interface = USBDeviceInterface::initByIOObject(fDeviceInterface, description))
            fInterfaces.push_back(std::move(interface));
    }
    return true;
}

void USBDevice::close()
{
    if (fIsOpen) {
        // Interfaces still held elsewhere release their claim here; their later calls fail.
        for (const auto& interface : fInterfaces)
            interface->close();
        fInterfaces.clear();
        fDeviceInterface->close();
    }
    fIsOpen = false;
}

bool USBDevice::sendRequest(uint8_t direction, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value,
                            uint16_t index, std::vector<uint8_t>* data)
{
    USBControlSetup setup;
    setup.bmRequestType = static_cast<uint8_t>(((direction & 1) << 7) | ((type & 3) << 5) | (recipient & 0x1F));
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = index;
    setup.wLength = data ? static_cast<uint16_t>(data->size()) : 0;
    uint8_t* bytes = data && setup.wLength > 0 ? data->data() : nullptr;
    fLastStatus = fDeviceInterface->control(setup, bytes, kControlTimeoutMs, nullptr);
    return fLastStatus == USBStatus::Success;
}

bool USBDevice::getHIDReport(std::vector<uint8_t>* data)
{
    if (!data || data->empty()) {
        fLastStatus = USBStatus::InvalidArgument;
        return false;
    }
    return sendRequest(1, kVendorType, kInterfaceRecipient, kHIDGetReport, kHIDInputReport | (*data)[0], 0, data);
}

bool USBDevice::setHIDReport(std::vector<uint8_t>* data)
{
    if (!data || data->empty()) {
        fLastStatus = USBStatus::InvalidArgument;
        return false;
    }
    return sendRequest(0, kVendorType, kInterfaceRecipient, kHIDSetReport, kHIDOutputReport | (*data)[0], 0, data);
}

} // namespace qarn
