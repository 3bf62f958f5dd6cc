#include "qarnctl/QarnCtl.h"

#include "platform/LibusbBus.h"
#include "platform/RunLoop.h"
#include "platform/USBBus.h"
#include "sim/SimulatedUSBBus.h"

#include <csignal>
#include <cstdio>
#include <map>
#include <pthread.h>
#include <thread>

namespace qarn {

namespace {

// The devices this program drives, and the rule that lets the user at the seat do so.
constexpr uint16_t kCoolerVendor = 0x2433;
constexpr uint16_t kCoolerProduct = 0xB200;
constexpr const char* kCoolerRule = "70-qarn-cooler.rules";

const char* typeName(USBTransferType type)
{
    switch (type) {
    case USBTransferType::Control: return "control";
    case USBTransferType::Isochronous: return "isochronous";
    case USBTransferType::Bulk: return "bulk";
    case USBTransferType::Interrupt: return "interrupt";
    }
    return "?";
}

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string deviceLine(USBDeviceAccess& access)
{
    const USBDeviceDescription& d = access.description();
    std::string line = format("%04x:%04x", d.vendorId, d.productId);
    const std::string product = access.productString();
    line += "  " + (product.empty() ? std::string("(no product string)") : product);
    return line + "  (" + d.node + ")";
}

// Runs on its own thread with SIGINT and SIGTERM blocked everywhere else: the first of them (or
// SIGUSR1, sent when the loop ended for another reason) stops the loop.
class SignalStop {
public:
    explicit SignalStop(RunLoop& loop)
    {
        sigemptyset(&fSignals);
        sigaddset(&fSignals, SIGINT);
        sigaddset(&fSignals, SIGTERM);
        sigaddset(&fSignals, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &fSignals, &fPrevious);
        fThread = std::thread([this, &loop] {
            int signal = 0;
            sigwait(&fSignals, &signal);
            loop.stop();
        });
    }
    ~SignalStop()
    {
        pthread_kill(fThread.native_handle(), SIGUSR1);
        fThread.join();
        pthread_sigmask(SIG_SETMASK, &fPrevious, nullptr);
    }

private:
    sigset_t fSignals;
    sigset_t fPrevious;
    std::thread fThread;
};

} // namespace

const char* QarnCtl::usage()
{
    return "usage: qarnctl [--simulate] COMMAND [ARGUMENTS]\n"
           "\n"
           "commands:\n"
           "  usb list [--watch]   USB devices with their ids, product strings and interfaces;\n"
           "                       --watch then prints arrivals (+) and removals (-) until Ctrl-C\n"
           "\n"
           "options:\n"
           "  --simulate           use the simulated USB bus (the Kraken X31 cooler plugged in)\n"
           "  -h, --help           this text\n";
}

std::shared_ptr<USBBus> QarnCtl::simulatedBus()
{
    auto bus = std::make_shared<sim::SimulatedUSBBus>();
    bus->plug(std::make_shared<sim::ScriptedUSBDevice>(kCoolerVendor, kCoolerProduct, "Kraken X31",
                                                       sim::krakenX31Interfaces()));
    return bus;
}

int QarnCtl::main(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    std::vector<std::string> rest;
    bool simulate = false;
    for (const std::string& argument : arguments) {
        if (argument == "-h" || argument == "--help") {
            out << usage();
            return 0;
        }
        if (argument == "--simulate")
            simulate = true;
        else
            rest.push_back(argument);
    }
    RunLoop loop;
    // Before the bus: threads libusb starts inherit the blocked signals, so they reach sigwait.
    SignalStop stop(loop);
    std::shared_ptr<USBBus> bus = simulate ? simulatedBus() : LibusbBus::create();
    return run(rest, *bus, loop, out, err);
}

int QarnCtl::run(const std::vector<std::string>& arguments, USBBus& bus, RunLoop& loop, std::ostream& out,
                 std::ostream& err)
{
    QarnCtl ctl(bus, out, err);
    if (arguments.empty())
        return ctl.fail(kExitUsage, "no command given (qarnctl --help lists them)");
    if (arguments[0].rfind("-", 0) == 0)
        return ctl.fail(kExitUsage, "unknown option '" + arguments[0] + "'");
    if (arguments[0] == "usb")
        return ctl.usb({arguments.begin() + 1, arguments.end()}, loop);
    return ctl.fail(kExitUsage, "unknown command '" + arguments[0] + "' (qarnctl --help lists them)");
}

int QarnCtl::fail(int status, const std::string& message)
{
    fErr << "qarnctl: " << message << "\n";
    return status;
}

std::string QarnCtl::describe(USBDeviceAccess& access, std::string& warning)
{
    std::string text = deviceLine(access) + "\n";
    for (const USBInterfaceDescription& interface : access.interfaces()) {
        text += format("    interface %u  class %02x", interface.number, interface.interfaceClass);
        for (unsigned pipe = 1; pipe <= interface.endpoints.size(); ++pipe) {
            const USBEndpointDescription& endpoint = interface.endpoints[pipe - 1];
            text += format(pipe == 1 ? "  pipes: %u " : ", %u ", pipe) + typeName(endpoint.type) +
                    (endpoint.isIn() ? " in " : " out ") + format("%02x", endpoint.address);
        }
        text += "\n";
    }

    // The devices we drive: say at once when the user could list but not drive them.
    const USBDeviceDescription& d = access.description();
    if (d.vendorId != kCoolerVendor || d.productId != kCoolerProduct)
        return text;
    const USBStatus status = access.open();
    if (status == USBStatus::Access)
        warning = "qarnctl: no access to " + d.node + " (the cooler): the udev rule " + kCoolerRule +
                  " is missing, or the cooler was plugged in before it was installed; install it in "
                  "/etc/udev/rules.d (the monitor's installer does), then plug the cooler in again, or run as root\n";
    else if (status != USBStatus::Success)
        warning = "qarnctl: cannot open " + d.node + " (the cooler): " + usbStatusText(status) + "\n";
    access.close();
    return text;
}

int QarnCtl::usb(const std::vector<std::string>& arguments, RunLoop& loop)
{
    if (arguments.empty() || arguments[0] != "list")
        return fail(kExitUsage, arguments.empty() ? "usb needs a command: list"
                                                  : "unknown usb command '" + arguments[0] + "'");
    bool watch = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != "--watch")
            return fail(kExitUsage, "unknown usb list argument '" + arguments[i] + "'");
        watch = true;
    }

    if (const USBStatus status = fBus.availability(); status != USBStatus::Success) {
        // No usbfs at all (a container, a machine without USB): there are no devices to list.
        fOut << "no USB devices (" << fBus.description() << ": " << usbStatusText(status) << ")\n";
        return 0;
    }

    // Watch before listing, so that nothing arriving in between is missed; events wait in the
    // loop's queue until the list is printed.
    std::map<USBDeviceId, std::string> seen;
    std::unique_ptr<USBWatch> watching;
    if (watch) {
        // Described on the bus's thread as it arrives: a device that comes and goes at once is
        // still shown. Printed on this thread, in order.
        watching = fBus.watch([this, &loop, &seen](USBEvent event, USBDeviceId id) {
            std::string text, warning;
            if (event == USBEvent::Arrived)
                if (auto access = fBus.access(id))
                    text = describe(*access, warning);
            loop.dispatchAsync([this, &seen, event, id, text, warning] {
                if (event == USBEvent::Arrived && !text.empty() && !seen.count(id)) {
                    seen[id] = text.substr(0, text.find('\n'));
                    fOut << "+ " << text;
                    fErr << warning;
                } else if (event == USBEvent::Left && seen.count(id)) {
                    fOut << "- " << seen[id] << "\n";
                    seen.erase(id);
                }
                fOut.flush();
            });
        });
        if (!watching)
            return fail(kExitFailed, std::string(fBus.description()) + " cannot report arrivals and removals here");
    }

    fOut << "USB devices (" << fBus.description() << "):\n";
    const std::vector<USBDeviceId> ids = fBus.deviceIds();
    if (ids.empty())
        fOut << "no USB devices\n";
    for (USBDeviceId id : ids) {
        if (auto access = fBus.access(id)) {
            std::string warning;
            const std::string text = describe(*access, warning);
            seen[id] = text.substr(0, text.find('\n'));
            fOut << text;
            fErr << warning;
        }
    }
    fOut.flush();
    if (watch) {
        fErr << "qarnctl: watching for arrivals (+) and removals (-); Ctrl-C ends\n";
        loop.run();
        watching.reset(); // events still queued are dropped with the loop
    }
    return 0;
}

} // namespace qarn
