#include "usb/USBDeviceInterface.h"

namespace qarn {

std::shared_ptr<USBDeviceInterface> USBDeviceInterface::initByIOObject(std::shared_ptr<USBDeviceAccess> device,
                                                                       const USBInterfaceDescription& interface)
{
    if (!device)
        return nullptr;
    return std::shared_ptr<USBDeviceInterface>(new USBDeviceInterface(std::move(device), interface));
}

USBDeviceInterface::USBDeviceInterface(std::shared_ptr<USBDeviceAccess> device, const USBInterfaceDescription& interface)
    : fDevice(std::move(device)), fInterface(interface)
{
}

USBDeviceInterface::~USBDeviceInterface()
{
    close();
}

bool USBDeviceInterface::open()
{
    fLastStatus = fDevice->claimInterface(fInterface.number);
    fIsOpen = fLastStatus == USBStatus::Success;
    return fIsOpen;
}

void USBDeviceInterface::close()
{
    if (fIsOpen)
        fDevice->releaseInterface(fInterface.number);
    fIsOpen = false;
}

int64_t USBDeviceInterface::numberOfEndpoints() const
{
    // The descriptor's count is 8 bits wide.
    return static_cast<uint8_t>(fInterface.endpoints.size());
}

const USBEndpointDescription* USBDeviceInterface::endpointForPipe(int64_t pipe, bool in)
{
    const unsigned reference = static_cast<uint8_t>(pipe);
    // Pipe 0 is the control pipe: not a pipe for reads and writes of data.
    if (reference == 0 || reference > fInterface.endpoints.size()) {
        fLastStatus = USBStatus::NotFound;
        return nullptr;
    }
    const USBEndpointDescription& endpoint = fInterface.endpoints[reference - 1];
    const bool dataPipe = endpoint.type == USBTransferType::Bulk || endpoint.type == USBTransferType::Interrupt;
    if (!dataPipe || endpoint.isIn() != in) {
        fLastStatus = USBStatus::InvalidArgument;
        return nullptr;
    }
    return &endpoint;
}

std::optional<std::vector<uint8_t>> USBDeviceInterface::readPipe(int64_t pipe, int64_t length)
{
    if (length < 0 || length > kMaxReadLength) {
        fLastStatus = USBStatus::InvalidArgument;
        return std::nullopt;
    }
    const USBEndpointDescription* endpoint = endpointForPipe(pipe, true);
    if (!endpoint)
        return std::nullopt;
    std::vector<uint8_t> buffer(static_cast<size_t>(length));
    uint32_t received = 0;
    fLastStatus = fDevice->transfer(*endpoint, buffer.data(), static_cast<uint32_t>(length), kNoDataTimeoutMs,
                                    kCompletionTimeoutMs, &received);
    if (fLastStatus != USBStatus::Success)
        return std::nullopt;
    buffer.resize(std::min<size_t>(received, buffer.size()));
    return buffer;
}

bool USBDeviceInterface::writePipe(int64_t pipe, std::span<const uint8_t> data)
{
    const USBEndpointDescription* endpoint = endpointForPipe(pipe, false);
    if (!endpoint)
        return false;
    // The backend's transfer takes one buffer for both directions; an OUT transfer only reads it.
    std::vector<uint8_t> bytes(data.begin(), data.end());
    uint32_t sent = 0;
    fLastStatus = fDevice->transfer(*endpoint, bytes.data(), static_cast<uint32_t>(bytes.size()), kNoDataTimeoutMs,
                                    kCompletionTimeoutMs, &sent);
    if (fLastStatus == USBStatus::Success && sent != bytes.size())
        fLastStatus = USBStatus::Timeout;
    return fLastStatus == USBStatus::Success;
}

} // namespace qarn
