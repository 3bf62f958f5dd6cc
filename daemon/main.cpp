// vennixd: serves the CPU service's Vennix and ACPIAccessor on a Unix socket until SIGTERM or
// SIGINT.

#include "host/PlatformBackends.h"
#include "protocol/Protocol.h"
#include "host/ServiceSet.h"
#include "daemon/SocketServer.h"
#include "kext/platform/IOLog.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <pthread.h>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace vennix;

namespace {

constexpr const char* kUsage =
    "usage: vennixd [--simulate | --msr-directory DIR] [--socket PATH] [--users-file PATH]\n"
    "               [--msrs-file PATH] [--acpi-file PATH] [--allow-writes]\n"
    "               [--max-connections N] [--help]\n"
    "\n"
    "  --simulate           serve the simulated processor and ACPI namespace\n"
    "  --msr-directory DIR  read and write MSRs in the files DIR/N/msr instead of\n"
    "                       /dev/cpu/N/msr (recorded machines, tests); CPUID stays real\n"
    "  --socket PATH        listen on PATH (default /run/vennix/vennix.sock)\n"
    "  --users-file PATH    users who may connect besides root and group vennix\n"
    "                       (default /etc/vennix/users)\n"
    "  --msrs-file PATH     MSRs other users may read besides the monitor's\n"
    "                       (default /etc/vennix/msrs)\n"
    "  --acpi-file PATH     ACPI methods other users may evaluate besides those that\n"
    "                       only report (default /etc/vennix/acpi)\n"
    "  --allow-writes       let every allowed user write MSRs, read any MSR and call\n"
    "                       any ACPI method (default: root only)\n"
    "  --max-connections N  connections served at once (default 64)\n";

struct Arguments {
    bool simulate = false;
    std::string msrDirectory;
    bool help = false;
    SocketServer::Options server;
};

bool parseCount(std::string_view text, unsigned& value)
{
    unsigned parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || parsed == 0 || parsed > 100000)
        return false;
    value = parsed;
    return true;
}

// False, with the reason in *problem, for anything it does not understand.
bool parseArguments(int argc, char** argv, Arguments& arguments, std::string& problem)
{
    arguments.server.maxConnections = SocketServer::kDefaultMaxConnections;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        std::string_view value;
        bool hasValue = false;
        if (const size_t equals = option.find('='); option.rfind("--", 0) == 0 && equals != std::string_view::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= argc) {
                problem = std::string(option) + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto noValue = [&]() -> bool {
            if (hasValue)
                problem = std::string(option) + " takes no value";
            return !hasValue;
        };

        if (option == "--simulate") {
            if (!noValue())
                return false;
            arguments.simulate = true;
        } else if (option == "--allow-writes") {
            if (!noValue())
                return false;
            arguments.server.allowWrites = true;
        } else if (option == "--help" || option == "-h") {
            if (!noValue())
                return false;
            arguments.help = true;
        } else if (option == "--msr-directory") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                problem = "--msr-directory needs a directory";
                return false;
            }
            arguments.msrDirectory = value;
        } else if (option == "--socket" || option == "--users-file" || option == "--msrs-file"
                   || option == "--acpi-file") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                problem = std::string(option) + " needs a path";
                return false;
            }
            std::string& target = option == "--socket"       ? arguments.server.path
                : option == "--users-file"                   ? arguments.server.usersFile
                : option == "--msrs-file"                    ? arguments.server.msrsFile
                                                             : arguments.server.acpiFile;
            target = value;
        } else if (option == "--max-connections") {
            if (!takeValue())
                return false;
            if (!parseCount(value, arguments.server.maxConnections)) {
                problem = "--max-connections needs a number from 1 to 100000, not '" + std::string(value) + "'";
                return false;
            }
        } else {
            problem = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
    }
    if (arguments.simulate && !arguments.msrDirectory.empty()) {
        problem = "--simulate and --msr-directory do not go together";
        return false;
    }
    return true;
}

// Waits for SIGTERM or SIGINT, which every thread has blocked since start-up.
void waitForTermination(const sigset_t& signals)
{
    const int fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (fd >= 0) {
        signalfd_siginfo info;
        while (read(fd, &info, sizeof info) < 0 && errno == EINTR) {
        }
        close(fd);
        return;
    }
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    std::string problem;
    if (!parseArguments(argc, argv, arguments, problem)) {
        std::fprintf(stderr, "vennixd: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }
    if (arguments.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    // Before any thread starts, so that all of them inherit the mask and the signals queue
    // for waitForTermination. A client that vanishes must not kill the daemon with SIGPIPE.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    PlatformBackends::RealPaths paths;
    if (!arguments.msrDirectory.empty())
        paths.cpuDirectory = arguments.msrDirectory;
    std::unique_ptr<PlatformBackends> backends =
        arguments.simulate ? PlatformBackends::simulated() : PlatformBackends::real(&error, paths);
    if (!backends) {
        std::fprintf(stderr, "vennixd: %s\n", error.c_str());
        return 1;
    }

    // The socket first: a second daemon gives up before it touches the hardware.
    std::unique_ptr<SocketServer> server = SocketServer::listen(arguments.server, &error);
    if (!server) {
        std::fprintf(stderr, "vennixd: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<ServiceSet> services =
        ServiceSet::start(backends->hardware(), backends->clock(), backends->acpi());
    if (!services) {
        std::fprintf(stderr, "vennixd: the services did not start\n");
        return 1;
    }
    if (!server->serve(&error)) {
        std::fprintf(stderr, "vennixd: %s\n", error.c_str());
        server.reset();
        return 1;
    }
    IOLog("vennixd/ serving %s on %s; %s\n", backends->description().c_str(), server->path().c_str(),
          arguments.server.allowWrites ? "every allowed user may write" : "only root may write");

    waitForTermination(signals);

    // Connections (and their user clients) end before the services they use.
    server->stop();
    server.reset();
    services.reset();
    backends.reset();
    IOLog("vennixd/ stopped\n");
    return 0;
}
