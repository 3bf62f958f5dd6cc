#include "vennixctl/VennixCtl.h"

#include "common/Json.h"
#include "platform/SignalStop.h"
#include "protocol/AccessorTypes.h"
#include "protocol/IOReturn.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "platform/SocketServiceDirectory.h"
#include "telemetry/ACPIAccessor.h"
#include "telemetry/CPUMetrics.h"
#include "telemetry/CPUReadings.h"
#include "telemetry/IntelCPU.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <memory>
#include <string_view>

namespace qarn {

namespace {

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

std::string writeRefusal(vennix::IOReturn result)
{
    if (result == vennix::kIOReturnNotPrivileged)
        return "writing is refused: it needs root, or vennixd started with --allow-writes";
    return "the write failed: " + describeIOReturn(result);
}

std::string readRefusal(vennix::IOReturn result, uint32_t msr)
{
    if (result == vennix::kIOReturnNotPrivileged)
        return "reading MSR " + hex(msr) + " is refused: users other than root read only the MSRs the monitor "
               "needs (root may add more in /etc/vennix/msrs)";
    return "the read failed: " + describeIOReturn(result);
}

std::string refusedMethod(const std::string& key)
{
    return "evaluating " + key + " is refused: users other than root evaluate only methods that report "
           "(root may add more in /etc/vennix/acpi)";
}

// A value as the user reads it: text as it is, numbers in decimal, bytes in hexadecimal.
std::string show(const ACPIValue& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return *text;
    if (const auto* number = std::get_if<uint64_t>(&value))
        return std::to_string(*number);
    std::string bytes;
    for (uint8_t byte : std::get<std::vector<uint8_t>>(value)) {
        char two[4];
        std::snprintf(two, sizeof two, "%s%02x", bytes.empty() ? "" : " ", byte);
        bytes += two;
    }
    return bytes;
}

} // namespace

const char* VennixCtl::usage()
{
    return "usage: vennixctl [--simulate | --socket PATH] COMMAND [ARGUMENTS]\n"
           "\n"
           "Commands:\n"
           "  info [--json]                 the CPU information record, decoded\n"
           "  rdmsr MSR [--cpu N | --all]   read an MSR on the calling CPU, on CPU N, or on all\n"
           "  wrmsr MSR VALUE [--cpus N | --all]\n"
           "                                write an MSR on the calling CPU, on the CPUs below N\n"
           "                                (N at least 2), or on all\n"
           "  metrics [--interval SECONDS] [--count N] [--json]\n"
           "                                multiplier, voltage, temperatures and power, measured\n"
           "                                over each interval of SECONDS (default 1), until\n"
           "                                Ctrl-C or SIGTERM, or N samples\n"
           "  acpi check PATH KEY           the kind of value ACPI method KEY of device PATH gives\n"
           "  acpi get PATH KEY             its value\n"
           "  acpi set PATH KEY NUMBER      call it with NUMBER and show what it gives\n"
           "\n"
           "With --json each sample (and the record) is one JSON object on a line:\n"
           "  info     vendor, brand, family, model, stepping, family_code, cores, threads,\n"
           "           simulated\n"
           "  metrics  time_seconds (Unix time), average_multiplier (mean over the CPUs),\n"
           "           highest_multiplier (highest mean of the last 8 samples), core_voltage_volts,\n"
           "           package_temperature_celsius, hottest_core_celsius, mean_core_celsius,\n"
           "           package_power_watts, simulated; null where the processor gives no figure\n"
           "\n"
           "Numbers are decimal or hexadecimal with 0x. PATH is a registry path such as\n"
           "IOACPIPlane:/_SB/PCI0/LPCB/EC0.\n"
           "\n"
           "Options:\n"
           "  --simulate     use the simulated processor and ACPI namespace, in this process\n"
           "  --socket PATH  reach vennixd at PATH (default: $VENNIX_SOCKET, else\n"
           "                 /run/vennix/vennix.sock)\n"
           "  -h, --help     show this text\n"
           "\n"
           "Exit status: 0 done (metrics also when Ctrl-C or SIGTERM ends it), 1 the service or the\n"
           "hardware refused or failed, 2 bad usage.\n";
}

std::optional<uint64_t> VennixCtl::parseNumber(const std::string& text)
{
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    if (start >= text.size())
        return std::nullopt;
    uint64_t value = 0;
    const char* begin = text.data() + start;
    const char* end = text.data() + text.size();
    // from_chars takes no sign, blank or prefix of its own: exactly digits of the base.
    const auto [stop, error] = std::from_chars(begin, end, value, base);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::optional<std::chrono::milliseconds> VennixCtl::parseInterval(const std::string& text)
{
    double seconds = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || stop != text.data() + text.size() || !(seconds >= 0.01)
        || seconds > 3600)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000 + 0.5));
}

int VennixCtl::main(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                    bool stopOnSignals)
{
    VennixCtl ctl(out, err);
    ctl.fStopOnSignals = stopOnSignals;
    const int status = ctl.run(arguments);
    out.flush();
    return status;
}

int VennixCtl::fail(int status, const std::string& message)
{
    fErr << "vennixctl: " << message << "\n";
    if (status == kExitUsage)
        fErr << "Run 'vennixctl --help' for the commands.\n";
    return status;
}

int VennixCtl::run(const std::vector<std::string>& arguments)
{
    bool simulate = false;
    std::string socket;
    size_t i = 0;
    for (; i < arguments.size() && startsWith(arguments[i], "-"); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            fOut << usage();
            return 0;
        }
        if (option == "--simulate") {
            simulate = true;
        } else if (option == "--socket") {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty())
                return fail(kExitUsage, "--socket needs a path");
            socket = arguments[++i];
        } else {
            return fail(kExitUsage, "unknown option '" + option + "'");
        }
    }
    if (simulate && !socket.empty())
        return fail(kExitUsage, "--simulate and --socket do not go together");
    if (i >= arguments.size())
        return fail(kExitUsage, "no command given");
    const std::string command = arguments[i];
    const std::vector<std::string> rest(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end());
    using Handler = int (VennixCtl::*)(ServiceDirectory&, const std::vector<std::string>&);
    Handler handler = nullptr;
    if (command == "info")
        handler = &VennixCtl::info;
    else if (command == "rdmsr")
        handler = &VennixCtl::rdmsr;
    else if (command == "wrmsr")
        handler = &VennixCtl::wrmsr;
    else if (command == "metrics")
        handler = &VennixCtl::metrics;
    else if (command == "acpi")
        handler = &VennixCtl::acpi;
    else
        return fail(kExitUsage, "unknown command '" + command + "'");

    // Before the directory: the simulated service's threads inherit the blocked signals.
    std::optional<SignalStop> signals;
    if (fStopOnSignals && handler == &VennixCtl::metrics)
        signals.emplace([this] { stop(); });
    std::shared_ptr<ServiceDirectory> directory;
    if (simulate) {
        std::string why;
        directory = EmbeddedServiceDirectory::simulated(&why);
        if (!directory)
            return fail(kExitFailed, why);
    } else {
        directory = std::make_shared<SocketServiceDirectory>(socket.empty() ? SocketServiceDirectory::defaultPath()
                                                                             : socket);
    }
    return (this->*handler)(*directory, rest);
}

namespace {

// The CPU accessor, or the reason there is none.
std::shared_ptr<IntelCPU> openCPU(ServiceDirectory& directory, std::string& why, std::ostream& err)
{
    auto cpu = IntelCPU::create(directory);
    if (!cpu) {
        why = directory.explainUnavailable("Vennix");
        if (why.empty())
            why = "the CPU information could not be read";
        return nullptr;
    }
    if (cpu->isSimulated())
        err << "vennixctl: these are the simulated processor's numbers, not this machine's\n";
    return cpu;
}

} // namespace

int VennixCtl::info(ServiceDirectory& directory, const std::vector<std::string>& arguments)
{
    const bool json = arguments.size() == 1 && arguments[0] == "--json";
    if (!arguments.empty() && !json)
        return fail(kExitUsage, "info takes only --json");
    std::string why;
    auto cpu = openCPU(directory, why, fErr);
    if (!cpu)
        return fail(kExitFailed, why);
    const vennix::i386_cpu_info_t& record = cpu->info();
    if (json) {
        fOut << json::Object()
                    .text("vendor", record.cpuid_vendor)
                    .text("brand", record.cpuid_brand_string)
                    .integer("family", record.cpuid_family)
                    .integer("model", record.cpuid_model)
                    .integer("stepping", record.cpuid_stepping)
                    .integer("family_code", record.cpuid_cpufamily)
                    .integer("cores", record.core_count)
                    .integer("threads", record.thread_count)
                    .boolean("simulated", cpu->isSimulated())
                    .str()
             << "\n";
        return 0;
    }
    char family[16];
    std::snprintf(family, sizeof family, "0x%08X", record.cpuid_cpufamily);
    char model[16];
    std::snprintf(model, sizeof model, "0x%02X", record.cpuid_model);
    fOut << "vendor       " << record.cpuid_vendor << "\n"
         << "brand        " << record.cpuid_brand_string << "\n"
         << "family       " << unsigned(record.cpuid_family) << "\n"
         << "model        " << model << " (" << unsigned(record.cpuid_model) << ")\n"
         << "stepping     " << unsigned(record.cpuid_stepping) << "\n"
         << "family code  " << family << "\n"
         << "cores        " << record.core_count << "\n"
         << "threads      " << record.thread_count << "\n";
    return 0;
}

int VennixCtl::rdmsr(ServiceDirectory& directory, const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        return fail(kExitUsage, "rdmsr needs an MSR number");
    const auto msr = parseNumber(arguments[0]);
    if (!msr || *msr > UINT32_MAX)
        return fail(kExitUsage, "'" + arguments[0] + "' is not an MSR number (decimal, or hexadecimal with 0x, below 2^32)");
    std::optional<uint64_t> cpuWanted;
    bool all = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--all" && !all && !cpuWanted) {
            all = true;
        } else if (arguments[i] == "--cpu" && !all && !cpuWanted && i + 1 < arguments.size()) {
            cpuWanted = parseNumber(arguments[++i]);
            if (!cpuWanted)
                return fail(kExitUsage, "'" + arguments[i] + "' is not a CPU number");
        } else {
            return fail(kExitUsage, "rdmsr takes an MSR and then --cpu N or --all, not '" + arguments[i] + "'");
        }
    }

    std::string why;
    auto cpu = openCPU(directory, why, fErr);
    if (!cpu)
        return fail(kExitFailed, why);
    const uint32_t number = static_cast<uint32_t>(*msr);

    if (!all && !cpuWanted) {
        uint64_t value = 0;
        const vennix::IOReturn result = cpu->getMSRs(&number, &value, 1);
        if (result != vennix::kIOReturnSuccess)
            return fail(kExitFailed, readRefusal(result, number));
        fOut << hex(value) << "\n";
        return 0;
    }

    // One call carries the rows of as many CPUs as fit in a structure, whatever the record says.
    const uint32_t cpus = std::min<uint32_t>(
        static_cast<uint32_t>(cpu->numberOfCPUs()),
        (ServiceConnection::kMaxStructureSize - vennix::MSRBatchResult::kHeaderSize) / 8);
    if (cpuWanted && *cpuWanted >= cpus)
        return fail(kExitFailed, "there is no CPU " + std::to_string(*cpuWanted) + ": this processor has " +
                                     std::to_string(cpus) + " (0 to " + std::to_string(cpus ? cpus - 1 : 0) + ")");
    MSRBatch reply(1, cpus);
    const vennix::IOReturn result = cpu->getMSRs(&number, reply, 1, cpus);
    if (result != vennix::kIOReturnSuccess)
        return fail(kExitFailed, readRefusal(result, number));
    if (cpuWanted) {
        if (*cpuWanted >= reply.cpus())
            return fail(kExitFailed, "CPU " + std::to_string(*cpuWanted) + " gave no value");
        fOut << hex(reply.value(static_cast<uint32_t>(*cpuWanted), 0)) << "\n";
        return 0;
    }
    for (uint32_t n = 0; n < reply.cpus(); ++n)
        fOut << "CPU " << n << ": " << hex(reply.value(n, 0)) << "\n";
    return 0;
}

int VennixCtl::wrmsr(ServiceDirectory& directory, const std::vector<std::string>& arguments)
{
    if (arguments.size() < 2)
        return fail(kExitUsage, "wrmsr needs an MSR number and a value");
    const auto msr = parseNumber(arguments[0]);
    if (!msr || *msr > UINT32_MAX)
        return fail(kExitUsage, "'" + arguments[0] + "' is not an MSR number (decimal, or hexadecimal with 0x, below 2^32)");
    const auto value = parseNumber(arguments[1]);
    if (!value)
        return fail(kExitUsage, "'" + arguments[1] + "' is not a 64-bit value (decimal, or hexadecimal with 0x)");
    std::optional<uint64_t> below;
    bool all = false;
    for (size_t i = 2; i < arguments.size(); ++i) {
        if (arguments[i] == "--all" && !all && !below) {
            all = true;
        } else if (arguments[i] == "--cpus" && !all && !below && i + 1 < arguments.size()) {
            below = parseNumber(arguments[++i]);
            // The write list names the calling CPU with 0 or 1, so "the CPUs below 1" cannot be said.
            if (!below || *below < 2 || *below > UINT32_MAX)
                return fail(kExitUsage, "--cpus needs a number of at least 2; leave it out to write on the calling CPU");
        } else {
            return fail(kExitUsage, "wrmsr takes an MSR, a value and then --cpus N or --all, not '" + arguments[i] + "'");
        }
    }

    std::string why;
    auto cpu = openCPU(directory, why, fErr);
    if (!cpu)
        return fail(kExitFailed, why);
    const uint32_t number = static_cast<uint32_t>(*msr);
    vennix::IOReturn result;
    std::string where;
    if (all) {
        result = cpu->setAllMSRs(number, *value);
        where = "every CPU";
    } else if (below) {
        const uint64_t list[] = {1, *below, number, *value};
        result = cpu->setMSRs(list, 4);
        where = "CPUs 0 to " + std::to_string(*below - 1);
    } else {
        result = cpu->setMSR(number, *value);
        where = "the calling CPU";
    }
    if (result != vennix::kIOReturnSuccess)
        return fail(kExitFailed, writeRefusal(result));
    fOut << "wrote " << hex(*value) << " to MSR " << hex(number) << " on " << where << "\n";
    return 0;
}

namespace {

// One sample of the figures the monitor's metrics rows show, each missing where the processor
// gives none.
struct Sample {
    std::optional<double> average, highest, voltage, package, hottest, mean, power;
};

Sample figures(const CPUReadings& readings, CPUMetrics& metrics)
{
    Sample s;
    if (readings.state() != CPUReadings::State::kRead)
        return s;
    const CPUReadings::Figures f = readings.figures(metrics);
    s.package = f.packageCelsius;
    // A CPU without a valid reading would count as 0 °C.
    if (f.cores && f.cores->withoutReading == 0) {
        s.hottest = f.cores->hottest;
        s.mean = f.cores->mean;
    }
    s.power = f.packageWatts;
    // A batch of no CPU adds no sample: the ring would show the previous one again.
    if (f.cores)
        s.average = metrics.latestFrequency();
    s.voltage = f.coreVolts;
    return s;
}

std::string shown(std::optional<double> value, int decimals, const char* unit)
{
    return value ? fixed(*value, decimals) + unit : IntelCPU::kNoReading;
}

} // namespace

int VennixCtl::metrics(ServiceDirectory& directory, const std::vector<std::string>& arguments)
{
    std::chrono::milliseconds interval{1000};
    std::optional<uint64_t> count;
    bool json = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--interval" && i + 1 < arguments.size()) {
            const auto parsed = parseInterval(arguments[++i]);
            if (!parsed)
                return fail(kExitUsage, "--interval needs seconds from 0.01 to 3600, not '" + arguments[i] + "'");
            interval = *parsed;
        } else if (arguments[i] == "--count" && i + 1 < arguments.size()) {
            count = parseNumber(arguments[++i]);
            if (!count || *count == 0)
                return fail(kExitUsage, "--count needs a number of samples of at least 1, not '" + arguments[i] + "'");
        } else if (arguments[i] == "--json") {
            json = true;
        } else {
            return fail(kExitUsage, "metrics takes --interval SECONDS, --count N and --json, not '" + arguments[i] + "'");
        }
    }
    std::string why;
    auto cpu = openCPU(directory, why, fErr);
    if (!cpu)
        return fail(kExitFailed, why);

    const bool simulated = cpu->isSimulated();
    auto print = [&](const Sample& s) {
        if (json) {
            fOut << json::Object()
                        .now("time_seconds")
                        .number("average_multiplier", s.average, 2)
                        .number("highest_multiplier", s.highest, 2)
                        .number("core_voltage_volts", s.voltage, 4)
                        .number("package_temperature_celsius", s.package, 1)
                        .number("hottest_core_celsius", s.hottest, 1)
                        .number("mean_core_celsius", s.mean, 2)
                        .number("package_power_watts", s.power, 3)
                        .boolean("simulated", simulated)
                        .str()
                 << "\n";
        } else {
            fOut << "multiplier           " << shown(s.average, 2, " (mean over the CPUs, latest sample)") << "\n"
                 << "core voltage         " << shown(s.voltage, 3, " V") << "\n"
                 << "core temperature     " << shown(s.mean, 1, " \u00b0C") << "\n"
                 << "package temperature  " << shown(s.package, 1, " \u00b0C") << "\n"
                 << "package power        " << shown(s.power, 2, " W") << "\n";
        }
        fOut.flush();
    };

    // Power and multipliers measure the interval since the previous read: the first read sets
    // the baseline, each later one measures.
    CPUReadings readings;
    CPUMetrics metrics;
    const auto cpus = static_cast<uint32_t>(std::max(cpu->numberOfCPUs(), 0));
    std::deque<double> recent;
    readings.read(*cpu, cpus);
    figures(readings, metrics);
    for (uint64_t n = 0; (!count || n < *count) && readings.state() == CPUReadings::State::kRead
                         && !stopWithin(interval);
         ++n) {
        readings.read(*cpu, cpus);
        if (readings.state() != CPUReadings::State::kRead)
            break;
        // A blank line keeps the blocks apart; JSON Lines need none.
        if (n > 0 && !json)
            fOut << "\n";
        Sample sample = figures(readings, metrics);
        // The highest of the last printed samples: the baseline read is no sample.
        if (sample.average) {
            recent.push_back(*sample.average);
            if (recent.size() > CPUMetrics::kRingSize)
                recent.pop_front();
            sample.highest = *std::max_element(recent.begin(), recent.end());
        }
        print(sample);
        if (!fOut)
            return kExitFailed;
    }
    if (readings.state() == CPUReadings::State::kUnreadable) {
        print(Sample{});
        return fail(kExitFailed, readings.why() + ": these figures come from Intel MSRs and have no value here");
    }
    if (readings.state() != CPUReadings::State::kRead)
        return fail(kExitFailed, readings.why());
    return 0;
}

bool VennixCtl::stopWithin(std::chrono::milliseconds interval)
{
    std::unique_lock lock(fStopMutex);
    return fStopWake.wait_for(lock, interval, [this] { return fStopped; });
}

void VennixCtl::stop()
{
    {
        std::lock_guard lock(fStopMutex);
        fStopped = true;
    }
    fStopWake.notify_all();
}

int VennixCtl::acpi(ServiceDirectory& directory, const std::vector<std::string>& arguments)
{
    if (arguments.empty())
        return fail(kExitUsage, "acpi needs check, get or set");
    const std::string& action = arguments[0];
    const bool set = action == "set";
    if (action != "check" && action != "get" && !set)
        return fail(kExitUsage, "acpi takes check, get or set, not '" + action + "'");
    if (arguments.size() != (set ? 4u : 3u))
        return fail(kExitUsage, set ? "acpi set needs PATH KEY NUMBER" : "acpi " + action + " needs PATH KEY");
    const std::string& path = arguments[1];
    const std::string& key = arguments[2];
    std::optional<uint64_t> number;
    if (set) {
        number = parseNumber(arguments[3]);
        if (!number)
            return fail(kExitUsage, "'" + arguments[3] + "' is not a number (decimal, or hexadecimal with 0x)");
    }

    auto accessor = ACPIAccessor::create(directory);
    if (!accessor) {
        std::string why = directory.explainUnavailable("ACPIAccessor");
        return fail(kExitFailed, why.empty() ? "the ACPI service could not be opened" : why);
    }
    if (action == "check") {
        const std::optional<std::string> kind = accessor->checkValueOnDevice(path, key);
        if (!kind)
            return fail(kExitFailed, accessor->lastResult() == vennix::kIOReturnSuccess ? "the service gave no readable answer"
                                     : accessor->lastResult() == vennix::kIOReturnNotPrivileged ? refusedMethod(key)
                                     : "the check failed: " + describeIOReturn(accessor->lastResult()));
        fOut << *kind << "\n";
        return 0;
    }
    const std::optional<ACPIValue> value = set ? accessor->setValueOnDevice(path, key, ACPIValue{uint64_t{*number}})
                                               : accessor->getValueOnDevice(path, key);
    if (accessor->lastResult() != vennix::kIOReturnSuccess)
        return fail(kExitFailed, accessor->lastResult() != vennix::kIOReturnNotPrivileged
                                     ? "the call failed: " + describeIOReturn(accessor->lastResult())
                                     : set ? "calling ACPI methods with an argument needs root, or vennixd started with --allow-writes"
                                           : refusedMethod(key));
    if (!value)
        return fail(kExitFailed, set ? "no result (the device or method does not exist, the call failed, or it gives nothing)"
                                     : "no value (the device or method does not exist, or it gives a kind of value vennixctl does not show)");
    fOut << show(*value) << "\n";
    return 0;
}

} // namespace qarn
