#pragma once
// The real serial ports: udev's tty devices that have a parent device (a USB adapter, a board's
// UART), which leaves out the virtual consoles and pseudo-terminals; their device nodes as paths.

#include "platform/SerialPorts.h"

namespace qarn {

class UdevSerialPorts : public SerialPorts {
public:
    std::vector<std::string> ports(std::string* why) override;
};

} // namespace qarn
