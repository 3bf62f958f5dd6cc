// The monitor's CPU budget: qarn run as a user runs it, against a vennixd of its own, for a few
// hundred ticks; the CPU time each process spent per tick, and as a share of one core at the
// monitor's ten ticks a second. On the simulated processor and on MSR files, in text mode and
// with the window (Qt's offscreen platform, so that no X server's time is counted).
//
//   monitor_budget [--ticks N] [--qarn PATH] [--vennixd PATH]
//
// Each process's time comes from /proc/PID/task/*/schedstat, in nanoseconds.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/VennixdChild.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Time a running process has spent on a CPU, all its threads, in seconds: schedstat counts
// nanoseconds where the clock ticks of /proc/PID/stat count hundredths.
double cpuSecondsOf(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "schedstat");
        unsigned long long nanoseconds = 0;
        if (stat >> nanoseconds)
            total += nanoseconds / 1e9;
    }
    return total;
}

struct Measured {
    double seconds = 0;    // the steady part of the run: from the second second to the last
    double monitorCPU = 0; // qarn's CPU time in that part
    double serviceCPU = 0; // vennixd's
    int status = -1;
};

// qarn for ticks ticks; measured from 2 s in (start-up and the first connection left out) to
// 1 s before its end.
Measured run(const std::string& qarn, const std::string& socket, pid_t daemon, bool text, int ticks)
{
    Measured measured;
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        setenv("VENNIX_SOCKET", socket.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const std::string count = std::to_string(ticks);
        std::vector<const char*> argv{qarn.c_str()};
        if (text)
            argv.push_back("--text");
        argv.insert(argv.end(), {"--ticks", count.c_str(), nullptr});
        execv(qarn.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto start = std::chrono::steady_clock::now();
    const double monitorBefore = cpuSecondsOf(pid);
    const double serviceBefore = cpuSecondsOf(daemon);
    std::this_thread::sleep_for(std::chrono::milliseconds(ticks * 100 - 3000));
    measured.monitorCPU = cpuSecondsOf(pid) - monitorBefore;
    measured.serviceCPU = cpuSecondsOf(daemon) - serviceBefore;
    measured.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    waitpid(pid, &measured.status, 0);
    return measured;
}

} // namespace

int main(int argc, char** argv)
{
    int ticks = 300;
    std::string qarn = QARN_PATH;
    std::string vennixd = VENNIXD_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--ticks")
            ticks = std::atoi(argv[i + 1]);
        else if (option == "--qarn")
            qarn = argv[i + 1];
        else if (option == "--vennixd")
            vennixd = argv[i + 1];
    }

    // MSR files for every online CPU, holding the registers of a running part.
    char pattern[] = "/tmp/vennix-budget-XXXXXX";
    const std::string files = mkdtemp(pattern);
    std::ifstream online("/sys/devices/system/cpu/online");
    std::string list;
    std::getline(online, list);
    int first = 0, last = 0;
    if (std::sscanf(list.c_str(), "%d-%d", &first, &last) < 2)
        last = first;
    for (int cpu = first; cpu <= last; ++cpu) {
        const std::string dir = files + "/" + std::to_string(cpu);
        mkdir(dir.c_str(), 0700);
        const int fd = ::open((dir + "/msr").c_str(), O_RDWR | O_CREAT, 0600);
        const uint64_t platformInfo = 24 << 8, perfStatus = 36 << 8;
        (void)!::pwrite(fd, &platformInfo, 8, 0xCE);
        (void)!::pwrite(fd, &perfStatus, 8, 0x198);
        ::close(fd);
    }

    if (ticks < 50) {
        std::fprintf(stderr, "monitor_budget: at least 50 ticks\n");
        return 2;
    }
    std::printf("%d ticks per run, measured from 2 s in to 1 s before the end: CPU time per tick and share of "
                "one core\n",
                ticks);
    std::printf("%-28s %14s %14s %14s\n", "", "qarn", "vennixd", "together");
    int status = 0;
    const struct {
        const char* name;
        std::vector<std::string> daemonArguments;
        bool text;
    } runs[] = {
        {"text, simulated processor", {"--simulate"}, true},
        {"text, MSR files", {"--msr-directory", files}, true},
        {"window, simulated processor", {"--simulate"}, false},
    };
    for (const auto& r : runs) {
        vennix::testing::VennixdChild daemon(r.daemonArguments, vennixd);
        if (!daemon.running()) {
            std::fprintf(stderr, "monitor_budget: %s\n", daemon.problem().c_str());
            return 1;
        }
        const Measured m = run(qarn, daemon.socketPath(), daemon.pid(), r.text, ticks);
        if (!WIFEXITED(m.status) || WEXITSTATUS(m.status) != 0)
            status = 1;
        const double measuredTicks = m.seconds * 10;
        auto cell = [&](double cpu) {
            char text[32];
            std::snprintf(text, sizeof text, "%5.0f us %5.2f%%", cpu / measuredTicks * 1e6, 100 * cpu / m.seconds);
            return std::string(text);
        };
        std::printf("%-28s %14s %14s %14s\n", r.name, cell(m.monitorCPU).c_str(), cell(m.serviceCPU).c_str(),
                    cell(m.monitorCPU + m.serviceCPU).c_str());
    }
    std::string remove = "rm -rf " + files;
    (void)!std::system(remove.c_str());
    return status;
}
