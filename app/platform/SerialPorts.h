#pragma once
// Where serial ports are found: the tty devices the system lists. One contract, two backends:
//   - UdevSerialPorts (real): libudev's tty devices that have a parent device (a USB adapter, a
//     board's UART), their device nodes as paths.
//   - sim::SimulatedSerialPorts: the paths of simulated displays' pseudo-terminals.
// Opening and talking to a port is plain POSIX (termios) on the path, the same for both: a
// simulated display sits behind a real pseudo-terminal.

#include <string>
#include <vector>

namespace qarn {

class SerialPorts {
public:
    virtual ~SerialPorts();

    // The ports' device paths, in the order the system lists them. Where the ports cannot be
    // listed at all (no udev), an empty list, and why says so (it may be null).
    virtual std::vector<std::string> ports(std::string* why) = 0;
};

} // namespace qarn
