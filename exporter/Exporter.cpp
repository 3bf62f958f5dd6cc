#include "exporter/Exporter.h"

#include "exporter/MetricsCollector.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "platform/RunLoop.h"
#include "platform/SignalStop.h"
#include "platform/SocketServiceDirectory.h"
#include "telemetry/IntelCPU.h"
#ifdef QARN_EXPORTER_COOLER
#include "exporter/CoolerWatch.h"
#endif

#include <prometheus/exposer.h>
#include <prometheus/text_serializer.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

namespace qarn {

namespace {

struct Options {
    bool simulate = false;
    std::string socket;
    Exporter::ListenAddress listen{"127.0.0.1", 9864, false};
    std::string textfile;
    std::chrono::milliseconds interval{1000};
};

int fail(std::ostream& err, int status, const std::string& message)
{
    err << "qarn-exporter: " << message << "\n";
    if (status == Exporter::kExitUsage)
        err << "Run 'qarn-exporter --help' for the options.\n";
    return status;
}

// Writes what the collector gives every interval until stopped; a failed write is said once
// per change of reason and tried again next time.
void writeLoop(const MetricsCollector& collector, const Options& options, std::ostream& err, std::mutex& mutex,
               std::condition_variable& wake, const bool& stopped)
{
    std::string said;
    std::unique_lock lock(mutex);
    while (!wake.wait_for(lock, options.interval, [&] { return stopped; })) {
        lock.unlock();
        std::string why;
        if (!Exporter::writeTextfile(options.textfile, collector.Collect(), why) && why != said)
            err << "qarn-exporter: " << why << "\n" << std::flush;
        said = why;
        lock.lock();
    }
}

} // namespace

std::string Exporter::ListenAddress::text() const
{
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

const char* Exporter::usage()
{
    return "usage: qarn-exporter [--simulate | --socket PATH] [--listen ADDRESS:PORT | --textfile DIR]\n"
           "                     [--interval SECONDS]\n"
           "\n"
           "Publishes the processor's temperatures, power, energy, multipliers, busy shares and core\n"
           "voltage (from the CPU service, vennixd) and the liquid cooler's fan, pump and liquid\n"
           "temperature for Prometheus. A figure the processor cannot give is left out.\n"
           "\n"
           "Options:\n"
           "  --listen ADDRESS:PORT  serve /metrics there (default 127.0.0.1:9864); ADDRESS is numeric,\n"
           "                         IPv6 in brackets ([::1]:9864) where the web server supports it;\n"
           "                         port 0 takes a free one\n"
           "  --textfile DIR         instead of serving, write DIR/qarn.prom every interval (for\n"
           "                         node_exporter's textfile collector), replaced atomically\n"
           "  --interval SECONDS     the longest a reading is reused and the textfile period, from 1\n"
           "                         to 3600 (default 1): the CPU service is asked at most this often\n"
           "  --simulate             the simulated processor and cooler, in this process\n"
           "                         (qarn_simulated reads 1)\n"
           "  --socket PATH          reach vennixd at PATH (default: $VENNIX_SOCKET, else\n"
           "                         /run/vennix/vennix.sock)\n"
           "  -h, --help             show this text\n"
           "\n"
           "An attached Kraken X31 is driven with the curves stored in the monitor's preferences, as\n"
           "qarnctl cooler follow does; one the monitor holds is left alone.\n"
           "\n"
           "Runs until SIGINT or SIGTERM. Exit status: 0 stopped, 1 could not start, 2 bad usage.\n";
}

std::optional<Exporter::ListenAddress> Exporter::parseListen(const std::string& text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size())
        return std::nullopt;
    ListenAddress address;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        address.ipv6 = true;
        host = host.substr(1, host.size() - 2);
        in6_addr parsed;
        if (inet_pton(AF_INET6, host.c_str(), &parsed) != 1)
            return std::nullopt;
    } else {
        in_addr parsed;
        if (inet_pton(AF_INET, host.c_str(), &parsed) != 1)
            return std::nullopt;
    }
    address.host = host;
    const char* begin = text.data() + colon + 1;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(begin, end, address.port);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return address;
}

std::optional<std::chrono::milliseconds> Exporter::parseInterval(const std::string& text)
{
    double seconds = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || stop != text.data() + text.size() || !(seconds >= 1)
        || seconds > 3600)
        return std::nullopt;
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

std::string Exporter::probeListen(const ListenAddress& address)
{
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (address.ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(address.port);
        inet_pton(AF_INET6, address.host.c_str(), &in6->sin6_addr);
        size = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(address.port);
        inet_pton(AF_INET, address.host.c_str(), &in4->sin_addr);
        size = sizeof *in4;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("no socket: ") + std::strerror(errno);
    // As civetweb binds: a port left in TIME_WAIT by an earlier run is free.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&storage), size);
    const int error = errno;
    close(fd);
    if (bound == 0)
        return {};
    const std::string where = "cannot listen on " + address.text() + ": ";
    switch (error) {
    case EADDRINUSE:
        return where + "the port is in use (another exporter running?); choose another with --listen";
    case EADDRNOTAVAIL:
        return where + "the address is not one of this machine's";
    case EACCES:
        return where + "ports below 1024 need privileges";
    default:
        return where + std::strerror(error);
    }
}

bool Exporter::writeTextfile(const std::string& dir, const std::vector<prometheus::MetricFamily>& families,
                             std::string& why)
{
    const std::string temporary = dir + "/" + kTextfileTemporary;
    const std::string final = dir + "/" + kTextfileName;
    {
        std::ofstream file(temporary, std::ios::trunc);
        if (file)
            prometheus::TextSerializer().Serialize(file, families);
        file.close();
        if (!file) {
            why = "cannot write " + temporary + ": " + std::strerror(errno);
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), final.c_str()) != 0) {
        why = "cannot rename " + temporary + " to " + final + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int Exporter::main(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    Options options;
    bool listenGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "-h" || option == "--help") {
            out << usage() << std::flush;
            return 0;
        }
        if (option == "--simulate") {
            options.simulate = true;
            continue;
        }
        if (option != "--socket" && option != "--listen" && option != "--textfile" && option != "--interval")
            return fail(err, kExitUsage, "unknown option '" + option + "'");
        if (i + 1 >= arguments.size() || arguments[i + 1].empty())
            return fail(err, kExitUsage, option + " needs a value");
        const std::string& value = arguments[++i];
        if (option == "--socket") {
            options.socket = value;
        } else if (option == "--textfile") {
            options.textfile = value;
        } else if (option == "--listen") {
            const auto listen = parseListen(value);
            if (!listen)
                return fail(err, kExitUsage, "--listen needs ADDRESS:PORT with a numeric address (IPv6 in "
                                             "brackets) and a port from 0 to 65535, not '" + value + "'");
            options.listen = *listen;
            listenGiven = true;
        } else {
            const auto interval = parseInterval(value);
            if (!interval)
                return fail(err, kExitUsage, "--interval needs seconds from 1 to 3600, not '" + value + "'");
            options.interval = *interval;
        }
    }
    if (options.simulate && !options.socket.empty())
        return fail(err, kExitUsage, "--simulate and --socket do not go together");
    if (listenGiven && !options.textfile.empty())
        return fail(err, kExitUsage, "--listen and --textfile do not go together: it serves or it writes");

    if (!options.textfile.empty()) {
        struct stat status {};
        if (stat(options.textfile.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return fail(err, kExitFailed, "--textfile: " + options.textfile + " is not a directory");
        if (access(options.textfile.c_str(), W_OK) != 0)
            return fail(err, kExitFailed, "--textfile: cannot write in " + options.textfile + ": " + std::strerror(errno));
    } else if (const std::string why = probeListen(options.listen); !why.empty()) {
        return fail(err, kExitFailed, why);
    }

    // From here SIGINT and SIGTERM end the program by its own exit, even during start-up.
    RunLoop loop;
    // Blocked before any thread starts (civetweb's, libusb's), so that every thread inherits the
    // mask. Queued rather than loop.stop(): a signal before run() starts must not be lost.
    SignalStop stop([&loop] { loop.dispatchAsync([&loop] { loop.stop(); }); });
    std::shared_ptr<ServiceDirectory> directory;
    if (options.simulate) {
        std::string why;
        directory = EmbeddedServiceDirectory::simulated(&why);
        if (!directory)
            return fail(err, kExitFailed, "the simulated processor did not start: " + why);
        err << "qarn-exporter: publishing the simulated processor's numbers, not this machine's (qarn_simulated 1)\n";
    } else {
        directory = std::make_shared<SocketServiceDirectory>(options.socket.empty() ? SocketServiceDirectory::defaultPath()
                                                                                    : options.socket);
        if (const std::string why = directory->explainUnavailable("Vennix"); !why.empty())
            err << "qarn-exporter: " << why << "; the CPU's series stay out until it answers\n";
    }

    auto collector = std::make_shared<MetricsCollector>([directory] { return IntelCPU::create(*directory); },
                                                        options.interval, options.simulate);
    // The baseline of the interval figures: the first reading a scraper sees after an
    // interval has them all.
    collector->sample();
#ifdef QARN_EXPORTER_COOLER
    CoolerWatch::Sources sources;
    sources.cpuTemperature = [collector]() -> std::optional<int64_t> {
        if (const auto celsius = collector->sample()->packageCelsius)
            return std::lround(*celsius);
        return std::nullopt;
    };
    sources.heatWatts = [collector] { return collector->sample()->packageWatts.value_or(0.0); };
    CoolerWatch cooler(options.simulate, loop, sources);
    collector->setCooler([&cooler] { return cooler.reading(); });
    struct Unhook {
        MetricsCollector& collector;
        ~Unhook() { collector.setCooler({}); } // before the cooler goes
    } unhook{*collector};
#endif

    if (!options.textfile.empty()) {
        std::mutex mutex;
        std::condition_variable wake;
        bool stopped = false;
        err << "qarn-exporter: writing " << options.textfile << "/" << kTextfileName << " every "
            << options.interval.count() / 1000.0 << " s\n" << std::flush;
        std::thread writer(writeLoop, std::cref(*collector), std::cref(options), std::ref(err), std::ref(mutex),
                           std::ref(wake), std::cref(stopped));
        loop.run();
        {
            std::lock_guard lock(mutex);
            stopped = true;
        }
        wake.notify_all();
        writer.join();
        return 0;
    }

    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        exposer = std::make_unique<prometheus::Exposer>(options.listen.text());
    } catch (const std::exception& e) {
        // The probe bound the address, so the web server itself refused it; Debian's civetweb,
        // for one, is built without IPv6.
        return fail(err, kExitFailed, "cannot listen on " + options.listen.text() + ": the web server (civetweb) "
                                          + (options.listen.ipv6 ? "takes no IPv6 address in this build; give an IPv4 one"
                                                                 : "would not start: " + std::string(e.what())));
    }
    exposer->RegisterCollectable(collector);
    ListenAddress bound = options.listen;
    if (const auto ports = exposer->GetListeningPorts(); !ports.empty())
        bound.port = static_cast<uint16_t>(ports.front());
    err << "qarn-exporter: serving http://" << bound.text() << "/metrics\n" << std::flush;
    loop.run();
    return 0;
}

} // namespace qarn
