#pragma once
// qarnctl: the peripherals from the command line (USB devices and the cooler; the display joins
// them), through the same classes as the monitor.
//
//   qarnctl [--simulate] usb list [--watch]
//   qarnctl [--simulate] cooler status [--json] | set fan|pump CURVE | cpu-temp fan|pump on|off
//                               | follow [--interval S] [--json]
//   qarnctl [--simulate] display [--port PATH] list | bar N COLOUR | mode MODE | adc
//                               | follow [--temperature] [--interval S]
//
// Exit status: 0 done, 1 the hardware refused or failed, 2 a bad command line.

#include "platform/ServiceDirectory.h"
#include "prefs/CoolerSettings.h"
#include "serial_display/SparvelDevice.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

    // What the commands work on: built by main() from the options, by tests from their own.
    struct Environment {
        USBBus& bus;
        CoolerSettings settings;
        std::function<std::optional<int64_t>()> cpuTemperature;
        // Serial ports; and where the CPU service is (asked when a command needs it).
        SerialPorts* serialPorts = nullptr;
        std::function<std::shared_ptr<ServiceDirectory>()> directory;
        SparvelDevice::Pauses pauses;
    };

    // The whole program: arguments after the program name. --watch and follow run until SIGINT
    // or SIGTERM.
    static int main(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

    // The commands (without --simulate, which main() turns into the environment). Waiting
    // commands run loop until someone stops it; loop must not be running yet.
    static int run(const std::vector<std::string>& arguments, Environment& environment, RunLoop& loop,
                   std::ostream& out, std::ostream& err);

    static const char* usage();

private:
    QarnCtl(Environment& environment, std::ostream& out, std::ostream& err)
        : fEnvironment(environment), fBus(environment.bus), fOut(out), fErr(err)
    {
    }

    int usb(const std::vector<std::string>& arguments, RunLoop& loop);
    int cooler(const std::vector<std::string>& arguments, RunLoop& loop);
    int display(const std::vector<std::string>& arguments, RunLoop& loop);
    // The display --port names, else the first one found; null after saying why.
    std::shared_ptr<SparvelDevice> openDisplay(const std::string& port);
    // The device's line and its interfaces; warning gets what keeps the user from driving it.
    static std::string describe(USBDeviceAccess& access, std::string& warning);
    int fail(int status, const std::string& message);

    Environment& fEnvironment;
    USBBus& fBus;
    std::ostream& fOut;
    std::ostream& fErr;
};

} // namespace qarn
