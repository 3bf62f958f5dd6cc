#include "platform/USBBus.h"

namespace qarn {

USBDeviceAccess::~USBDeviceAccess() = default;
USBWatch::~USBWatch() = default;
USBBus::~USBBus() = default;

const char* usbStatusText(USBStatus status)
{
    switch (status) {
    case USBStatus::Success: return "success";
    case USBStatus::Timeout: return "timed out";
    case USBStatus::Stall: return "refused by the device (stall)";
    case USBStatus::NoDevice: return "device gone";
    case USBStatus::NotFound: return "not found";
    case USBStatus::Access: return "no access";
    case USBStatus::Busy: return "busy: held by another program or driver";
    case USBStatus::Overflow: return "the device sent more than asked for";
    case USBStatus::InvalidArgument: return "invalid request";
    case USBStatus::NotOpen: return "not open";
    case USBStatus::NotSupported: return "not supported here";
    case USBStatus::NoMemory: return "out of memory";
    case USBStatus::IOError: return "input/output error";
    }
    return "unknown error";
}

} // namespace qarn
