#include "qarnctl/QarnCtl.h"

#include "common/Json.h"
#include "platform/SignalStop.h"
#include "cooler/CoolerController.h"
#include "cooler/CoolerEnvironment.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "platform/RunLoop.h"
#include "platform/SocketServiceDirectory.h"
#include "platform/USBBus.h"
#include "platform/UdevSerialPorts.h"
#include "serial_display/DisplayChannel.h"
#include "serial_display/DisplayFollower.h"
#include "sim/SimulatedSparvelDisplay.h"
#include "telemetry/IntelCPU.h"

#include <charconv>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <map>
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

} // namespace

const char* QarnCtl::usage()
{
    return "usage: qarnctl [--simulate] COMMAND [ARGUMENTS]\n"
           "\n"
           "commands:\n"
           "  usb list [--watch]   USB devices with their ids, product strings and interfaces;\n"
           "                       --watch then prints arrivals (+) and removals (-) until Ctrl-C\n"
           "  cooler status [--json]\n"
           "                       the Kraken X31's fan and pump speeds and liquid temperature;\n"
           "                       --json: one JSON object (keys below)\n"
           "  cooler set fan|pump CURVE\n"
           "                       stores a curve of TEMPERATURE:SETTING points (°C:%, rising\n"
           "                       temperatures, at most 16), e.g. '30:25 50:60 70:100', and sends it\n"
           "  cooler cpu-temp fan|pump on|off\n"
           "                       whether the fan (pump) follows the CPU temperature or the liquid's\n"
           "  cooler follow [--interval S] [--json]\n"
           "                       drives the cooler from the CPU temperature every S seconds\n"
           "                       (default 1) and prints each cycle (--json: one object a line),\n"
           "                       until Ctrl-C\n"
           "\n"
           "  display [--port PATH] list | bar N COLOUR | mode MODE | adc | follow [--temperature] [--interval S]\n"
           "                       the serial LED display: the ports and what answered on each; light\n"
           "                       rows 0 to N of the first screen in COLOUR (a name or #RRGGBB); a mode\n"
           "                       (stop, vosk, matrix, pulse, shutdown, start); its ADC reading; or the\n"
           "                       CPU's load (package temperature) as a bar every S seconds until Ctrl-C.\n"
           "                       --port picks a port (any tty path) instead of the first display found\n"
           "\n"
           "JSON keys: time_seconds (Unix time), name, simulated, fan_rpm, pump_rpm,\n"
           "liquid_temperature_celsius, cpu_temperature_celsius, fan_setting_percent,\n"
           "pump_setting_percent, fan_follows_cpu, pump_follows_cpu, fan_curve_celsius_percent and\n"
           "pump_curve_celsius_percent ([[°C, %], ...]); null where the cooler has not told yet.\n"
           "\n"
           "Curves and switches are kept in the monitor's preferences and sent whenever the cooler\n"
           "appears; the CPU temperature comes from the CPU service (vennixd).\n"
           "\n"
           "options:\n"
           "  --simulate           the simulated USB bus with a simulated Kraken X31, warmed by the\n"
           "                       simulated processor; its settings are kept apart from the real one's\n"
           "  -h, --help           this text\n";
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
    SignalStop stop([&loop] { loop.stop(); });
    CoolerEnvironment made = CoolerEnvironment::make(simulate, [simulate]() -> std::shared_ptr<ServiceDirectory> {
        if (simulate)
            return EmbeddedServiceDirectory::simulated();
        return std::make_shared<SocketServiceDirectory>(SocketServiceDirectory::defaultPath());
    });
    std::unique_ptr<sim::SimulatedSparvelDisplay> display;
    std::unique_ptr<SerialPorts> ports;
    if (simulate && (display = sim::SimulatedSparvelDisplay::create()))
        ports = std::make_unique<sim::SimulatedSerialPorts>(std::vector<std::string>{display->slavePath()});
    else if (!simulate)
        ports = std::make_unique<UdevSerialPorts>();
    else
        ports = std::make_unique<sim::SimulatedSerialPorts>(std::vector<std::string>{});
    auto directory = std::make_shared<std::shared_ptr<ServiceDirectory>>();
    Environment environment{*made.bus, CoolerSettings::standard(simulate),
                            made.cpuTemperature, ports.get(), [simulate, directory] {
                                if (!*directory)
                                    *directory = simulate ? std::shared_ptr<ServiceDirectory>(EmbeddedServiceDirectory::simulated())
                                                          : std::make_shared<SocketServiceDirectory>(SocketServiceDirectory::defaultPath());
                                return *directory;
                            },
                            SparvelDevice::Pauses{}};
    return run(rest, environment, loop, out, err);
}

int QarnCtl::run(const std::vector<std::string>& arguments, Environment& environment, RunLoop& loop,
                 std::ostream& out, std::ostream& err)
{
    QarnCtl ctl(environment, out, err);
    if (arguments.empty())
        return ctl.fail(kExitUsage, "no command given (qarnctl --help lists them)");
    if (arguments[0].rfind("-", 0) == 0)
        return ctl.fail(kExitUsage, "unknown option '" + arguments[0] + "'");
    if (arguments[0] == "usb")
        return ctl.usb({arguments.begin() + 1, arguments.end()}, loop);
    if (arguments[0] == "cooler")
        return ctl.cooler({arguments.begin() + 1, arguments.end()}, loop);
    if (arguments[0] == "display")
        return ctl.display({arguments.begin() + 1, arguments.end()}, loop);
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

namespace {

std::string statusLines(const CoolerStatus& status)
{
    auto setting = [](int64_t value, bool cpu) {
        return std::to_string(value) + " % (follows the " + (cpu ? "CPU" : "liquid") + ")";
    };
    return "cooler: " + status.name + (status.simulated ? " (simulated)" : "") + "\n" +
           "fan: " + std::to_string(status.fanRPM) + " rpm\n" +
           "pump: " + std::to_string(status.pumpRPM) + " rpm\n" +
           "liquid: " + std::to_string(status.liquidTemperature) + " °C\n" +
           "fan setting: " + setting(status.fanSetting, status.setup.fanFollowsCPU) + ", curve " +
           CoolerSettings::formatCurve(status.setup.fanCurve) + "\n" +
           "pump setting: " + setting(status.pumpSetting, status.setup.pumpFollowsCPU) + ", curve " +
           CoolerSettings::formatCurve(status.setup.pumpCurve) + "\n";
}

std::string cycleLine(const CoolerStatus& status)
{
    return "cpu " + (status.cpuTemperatureKnown ? std::to_string(status.cpuTemperature) + " °C" : std::string("-")) +
           "  liquid " + std::to_string(status.liquidTemperature) + " °C  fan " + std::to_string(status.fanRPM) +
           " rpm (" + std::to_string(status.fanSetting) + " %)  pump " + std::to_string(status.pumpRPM) + " rpm (" +
           std::to_string(status.pumpSetting) + " %)\n";
}

// Points as [°C, %] pairs, [[30,25],[50,60]], from the cooler's layout (temperatures, then settings).
std::string curveJson(const CoolerCurve& curve)
{
    const size_t points = curve.size() / 2;
    std::string text = "[";
    for (size_t i = 0; i < points; ++i)
        text += (i ? ",[" : "[") + std::to_string(curve[i]) + "," + std::to_string(curve[points + i]) + "]";
    return text + "]";
}

// One line of JSON for scripts; null for what the cooler has not told yet.
std::string statusJson(const CoolerStatus& status)
{
    // Before the first cycle the cooler has reported nothing: its zeros are no readings.
    auto read = [&status](int64_t value) { return status.cycles ? std::optional(value) : std::nullopt; };
    auto setting = [](int64_t value) { return value >= 0 ? std::optional(value) : std::nullopt; };
    return json::Object()
               .now("time_seconds")
               .text("name", status.name)
               .boolean("simulated", status.simulated)
               .integer("fan_rpm", read(status.fanRPM))
               .integer("pump_rpm", read(status.pumpRPM))
               .integer("liquid_temperature_celsius", read(status.liquidTemperature))
               .integer("cpu_temperature_celsius",
                        status.cpuTemperatureKnown ? std::optional(status.cpuTemperature) : std::nullopt)
               .integer("fan_setting_percent", setting(status.fanSetting))
               .integer("pump_setting_percent", setting(status.pumpSetting))
               .boolean("fan_follows_cpu", status.setup.fanFollowsCPU)
               .boolean("pump_follows_cpu", status.setup.pumpFollowsCPU)
               .raw("fan_curve_celsius_percent", curveJson(status.setup.fanCurve))
               .raw("pump_curve_celsius_percent", curveJson(status.setup.pumpCurve))
               .str()
           + "\n";
}

// Seconds with an optional fraction, from 0.1 to 3600.
std::optional<std::chrono::milliseconds> parseInterval(const std::string& text)
{
    double seconds = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || !(seconds >= 0.1 && seconds <= 3600))
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000 + 0.5));
}

} // namespace

int QarnCtl::cooler(const std::vector<std::string>& arguments, RunLoop& loop)
{
    const std::string command = arguments.empty() ? "" : arguments[0];
    std::chrono::milliseconds interval{1000};
    bool json = false;
    if (command == "status" || command == "follow") {
        for (size_t i = 1; i < arguments.size(); ++i) {
            if (arguments[i] == "--json") {
                json = true;
            } else if (command == "follow" && arguments[i] == "--interval" && i + 1 < arguments.size()) {
                const auto parsed = parseInterval(arguments[++i]);
                if (!parsed)
                    return fail(kExitUsage, "--interval takes seconds from 0.1 to 3600, not '" + arguments[i] + "'");
                interval = *parsed;
            } else {
                return fail(kExitUsage, "cooler " + command + ": unknown argument '" + arguments[i] +
                                            "' (qarnctl --help shows them)");
            }
        }
    } else if (command == "set" && arguments.size() == 3 && (arguments[1] == "fan" || arguments[1] == "pump")) {
        std::string error;
        const auto curve = CoolerSettings::parseCurve(arguments[2], error);
        if (!curve)
            return fail(kExitUsage, "cooler set " + arguments[1] + ": " + error);
        if (arguments[1] == "fan")
            fEnvironment.settings.setFanCurve(*curve);
        else
            fEnvironment.settings.setPumpCurve(*curve);
    } else if (command == "cpu-temp" && arguments.size() == 3 && (arguments[1] == "fan" || arguments[1] == "pump") &&
               (arguments[2] == "on" || arguments[2] == "off")) {
        if (arguments[1] == "fan")
            fEnvironment.settings.setFanFollowsCPU(arguments[2] == "on");
        else
            fEnvironment.settings.setPumpFollowsCPU(arguments[2] == "on");
    } else {
        return fail(kExitUsage, command.empty() ? "cooler needs a command: status, set, cpu-temp or follow"
                                                : "cooler " + command + ": unknown command or arguments (qarnctl "
                                                  "--help shows them)");
    }
    if (fBus.availability() != USBStatus::Success && command != "status" && command != "follow") {
        fOut << "stored; no USB here (" << fBus.description() << "): the cooler gets it when it appears\n";
        return 0;
    }

    // The monitor's own control loop: it sets the cooler up from the stored settings.
    std::mutex printing;
    bool following = command == "follow";
    uint64_t printed = 0;
    CoolerController::Options options;
    options.interval = interval;
    options.cpuTemperature = fEnvironment.cpuTemperature;
    options.readSettings(fEnvironment.settings);
    options.changed = [&](const CoolerStatus& status) {
        std::lock_guard lock(printing);
        if (following && status.attached && status.cycles != printed) {
            printed = status.cycles;
            fOut << (json ? statusJson(status) : cycleLine(status)) << std::flush;
        }
    };
    CoolerController controller(fBus, loop, options);
    loop.runPending();
    controller.cycleNow();
    const CoolerStatus status = controller.status();
    if (!status.attached) {
        const std::string why = status.problem.empty() ? "no Kraken X31 cooler (USB 2433:b200) is attached"
                                                       : status.problem;
        if (command == "set" || command == "cpu-temp")
            fOut << "stored; the cooler gets it when it appears (" << why << ")\n";
        else if (!following)
            return fail(kExitFailed, why);
        else
            fErr << "qarnctl: " << why << "; waiting for it\n";
    } else if (!following) {
        fOut << (json ? statusJson(status) : statusLines(status));
    }
    if (following) {
        fErr << "qarnctl: following the CPU temperature every " << interval.count() / 1000.0 << " s; Ctrl-C ends\n";
        loop.run();
    }
    return 0;
}

namespace {

std::optional<SparvelDevice::Color> parseColour(const std::string& text)
{
    static const std::pair<const char*, SparvelDevice::Color> names[] = {
        {"red", {1, 0, 0}},    {"green", {0, 1, 0}},   {"blue", {0, 0, 1}},      {"white", {1, 1, 1}},
        {"black", {0, 0, 0}},  {"yellow", {1, 1, 0}},  {"cyan", {0, 1, 1}},      {"magenta", {1, 0, 1}},
        {"orange", {1, 0.5, 0}},
    };
    for (const auto& [name, colour] : names)
        if (text == name)
            return colour;
    if (text.size() != 7 || text[0] != '#')
        return std::nullopt;
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data() + 1, text.data() + 7, value, 16);
    if (error != std::errc() || end != text.data() + 7)
        return std::nullopt;
    return SparvelDevice::Color{((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0, (value & 0xFF) / 255.0};
}

// "screens 16x8, 8x8", or "no screens"
std::string screens(const SparvelDevice& device)
{
    const std::string text = DisplayChannel::screensText(device);
    return device.screens().empty() ? text : "screens " + text;
}

std::string accessAdvice(const std::string& port, int error)
{
    if (error == EACCES || error == EPERM)
        return "no access to " + port + ": serial ports belong to the group dialout; add your user to it "
               "(sudo usermod -aG dialout $USER) and log in again";
    return "cannot open " + port + ": " + std::strerror(error);
}

} // namespace

std::shared_ptr<SparvelDevice> QarnCtl::openDisplay(const std::string& port)
{
    if (!port.empty()) {
        int error = 0;
        auto device = SparvelDevice::deviceWithString(port, fEnvironment.pauses, &error);
        if (!device)
            fail(kExitFailed, error ? accessAdvice(port, error) : "no display answered on " + port);
        return device;
    }
    if (!fEnvironment.serialPorts) {
        fail(kExitFailed, "no serial ports here");
        return nullptr;
    }
    auto found = SparvelDevice::findSparvels(*fEnvironment.serialPorts, fEnvironment.pauses);
    if (found.empty()) {
        const auto ports = SparvelDevice::devices(*fEnvironment.serialPorts);
        fail(kExitFailed, ports.empty() ? "no serial ports to look for a display on" : "no display found on " +
                                                                                          std::to_string(ports.size()) +
                                                                                          " serial port(s) "
                                                                                          "(qarnctl display list "
                                                                                          "says what answered)");
        return nullptr;
    }
    return found.front();
}

int QarnCtl::display(const std::vector<std::string>& given, RunLoop& loop)
{
    std::vector<std::string> arguments;
    std::string port;
    for (size_t i = 0; i < given.size(); ++i) {
        if (given[i] == "--port") {
            if (i + 1 == given.size() || given[i + 1].empty())
                return fail(kExitUsage, "--port needs a path");
            port = given[++i];
        } else {
            arguments.push_back(given[i]);
        }
    }
    const std::string command = arguments.empty() ? "" : arguments[0];
    static const std::pair<const char*, void (SparvelDevice::*)()> modes[] = {
        {"stop", &SparvelDevice::sendStop},       {"vosk", &SparvelDevice::sendVosk},
        {"matrix", &SparvelDevice::sendMatrix},   {"pulse", &SparvelDevice::sendPulse},
        {"shutdown", &SparvelDevice::sendShutdown}, {"start", &SparvelDevice::sendStart},
    };

    if (command == "list" && arguments.size() == 1) {
        if (!port.empty())
            return fail(kExitUsage, "display list looks at every port: --port does not go with it");
        std::vector<std::string> offered;
        if (fEnvironment.serialPorts)
            offered = SparvelDevice::devices(*fEnvironment.serialPorts);
        if (offered.empty()) {
            // Only now ask why: the listing itself goes through devices() once.
            std::string why;
            if (fEnvironment.serialPorts)
                fEnvironment.serialPorts->ports(&why);
            fOut << "no serial ports" << (why.empty() ? "" : " (" + why + ")") << "\n";
            return 0;
        }
        for (const std::string& path : offered) {
            int error = 0;
            auto device = SparvelDevice::deviceWithString(path, fEnvironment.pauses, &error);
            if (device)
                fOut << path << ": display " << device->versionString().value_or("") << ", " << screens(*device)
                     << "\n";
            else
                fOut << path << ": " << (error ? accessAdvice(path, error) : "no display answered") << "\n";
        }
        return 0;
    }

    std::optional<SparvelDevice::Color> colour;
    int64_t bar = 0;
    void (SparvelDevice::*mode)() = nullptr;
    DisplayFollower::Source source = DisplayFollower::Source::Load;
    std::chrono::milliseconds interval{1000};
    if (command == "bar" && arguments.size() == 3) {
        const std::string& n = arguments[1];
        auto [end, error] = std::from_chars(n.data(), n.data() + n.size(), bar);
        if (error != std::errc() || end != n.data() + n.size() || n.empty())
            return fail(kExitUsage, "display bar: '" + n + "' is not a row number");
        if (!(colour = parseColour(arguments[2])))
            return fail(kExitUsage, "display bar: '" + arguments[2] +
                                        "' is not a colour: a name (red, green, blue, white, black, yellow, cyan, "
                                        "magenta, orange) or #RRGGBB");
    } else if (command == "mode" && arguments.size() == 2) {
        for (const auto& [name, send] : modes)
            if (arguments[1] == name)
                mode = send;
        if (!mode)
            return fail(kExitUsage, "display mode: '" + arguments[1] +
                                        "' is not a mode: stop, vosk, matrix, pulse, shutdown or start");
    } else if (command == "adc" && arguments.size() == 1) {
    } else if (command == "follow") {
        for (size_t i = 1; i < arguments.size(); ++i) {
            if (arguments[i] == "--temperature") {
                source = DisplayFollower::Source::Temperature;
            } else if (arguments[i] == "--interval" && i + 1 < arguments.size()) {
                const auto parsed = parseInterval(arguments[++i]);
                if (!parsed)
                    return fail(kExitUsage, "--interval takes seconds from 0.1 to 3600, not '" + arguments[i] + "'");
                interval = *parsed;
            } else {
                return fail(kExitUsage, "display follow: unknown argument '" + arguments[i] + "'");
            }
        }
    } else {
        return fail(kExitUsage, command.empty() ? "display needs a command: list, bar, mode, adc or follow"
                                                : "display " + command + ": unknown command or arguments (qarnctl "
                                                  "--help shows them)");
    }

    std::shared_ptr<SparvelDevice> device = openDisplay(port);
    if (!device)
        return kExitFailed;
    if (command == "bar") {
        device->sendBar(bar, *colour);
        fOut << device->devicename() << ": rows 0 to " << std::clamp<int64_t>(bar, 0, std::max<int64_t>(device->height() - 1, 0))
             << " lit\n";
    } else if (mode) {
        (device.get()->*mode)();
        fOut << device->devicename() << ": mode " << arguments[1] << "\n";
    } else if (command == "adc") {
        fOut << device->getADC() << "\n";
    } else {
        std::shared_ptr<ServiceDirectory> directory = fEnvironment.directory ? fEnvironment.directory() : nullptr;
        std::shared_ptr<IntelCPU> cpu = directory ? IntelCPU::create(*directory) : nullptr;
        if (!cpu || !cpu->isIntel())
            return fail(kExitFailed, cpu ? "the CPU service reads no Intel MSRs here: nothing to show"
                                         : "no CPU service (is vennixd running? qarnctl --simulate shows a simulated one)");
        DisplayFollower follower(*device, cpu.get(), source);
        std::mutex mutex;
        std::condition_variable wake;
        bool stop = false;
        std::thread stepper([&] {
            std::unique_lock lock(mutex);
            while (!stop) {
                lock.unlock();
                if (const auto share = follower.step())
                    fOut << (source == DisplayFollower::Source::Load ? "load " : "temperature ")
                         << std::lround(*share * 100) << " %: rows 0 to "
                         << DisplayFollower::barFor(*share, device->height()) << " lit\n"
                         << std::flush;
                lock.lock();
                wake.wait_for(lock, interval, [&] { return stop; });
            }
        });
        fErr << "qarnctl: showing the CPU's " << (source == DisplayFollower::Source::Load ? "load" : "temperature")
             << " on " << device->devicename() << "; Ctrl-C ends\n";
        loop.run();
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        wake.notify_all();
        stepper.join();
    }
    return 0;
}

} // namespace qarn
