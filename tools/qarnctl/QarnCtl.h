#pragma once
// qarnctl: the peripherals from the command line (USB devices now; the cooler and the display
// join it), through the same classes as the monitor.
//
//   qarnctl [--simulate] usb list [--watch]
//
// Exit status: 0 done, 1 the hardware refused or failed, 2 a bad command line.

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qarn {

class RunLoop;
class USBBus;
class USBDeviceAccess;

class QarnCtl {
public:
    static constexpr int kExitFailed = 1;
    static constexpr int kExitUsage = 2;

    // The whole program: arguments after the program name. --watch runs until SIGINT or SIGTERM.
    static int main(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

    // The commands on a bus of the caller's (the simulated bus in tests, whatever the options
    // say). --watch runs loop until someone stops it; loop must not be running yet.
    static int run(const std::vector<std::string>& arguments, USBBus& bus, RunLoop& loop, std::ostream& out,
                   std::ostream& err);

    static const char* usage();

    // The simulated bus of --simulate: the Kraken X31 cooler plugged in.
    static std::shared_ptr<USBBus> simulatedBus();

private:
    QarnCtl(USBBus& bus, std::ostream& out, std::ostream& err) : fBus(bus), fOut(out), fErr(err) {}

    int usb(const std::vector<std::string>& arguments, RunLoop& loop);
    // The device's line and its interfaces; warning gets what keeps the user from driving it.
    static std::string describe(USBDeviceAccess& access, std::string& warning);
    int fail(int status, const std::string& message);

    USBBus& fBus;
    std::ostream& fOut;
    std::ostream& fErr;
};

} // namespace qarn
