#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace qarn {

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

void closeDescriptor(int& descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

// For poll: -1 without a deadline, 0 once it has passed.
int millisecondsLeft(const Deadline& deadline)
{
    if (!deadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > 60'000 ? 60'000 : static_cast<int>(left);
}

bool passed(const Deadline& deadline)
{
    return deadline && Clock::now() >= *deadline;
}

// A descriptor that becomes readable when the process ends; -1 where the kernel has none.
int openPidDescriptor(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

void fillEnding(int status, Process::Result& result)
{
    if (WIFEXITED(status)) {
        result.ending = Process::Ending::Exited;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.ending = Process::Ending::Signalled;
        result.signal = WTERMSIG(status);
    }
}

// Blocks until pid has ended and reaps it.
void reap(pid_t pid, Process::Result& result)
{
    int status = 0;
    pid_t waited;
    do
        waited = ::waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);
    if (waited == pid) {
        fillEnding(status, result);
    } else {
        // Someone else reaped it (SIGCHLD ignored): how it ended is unknown, so not a success.
        result.ending = Process::Ending::Exited;
        result.exitStatus = -1;
    }
}

void killAndReap(pid_t pid, bool ownGroup, Process::Result& result)
{
    if (ownGroup)
        ::kill(-pid, SIGKILL);
    // Also the program itself, should it have left its group.
    ::kill(pid, SIGKILL);
    reap(pid, result);
    result.ending = Process::Ending::TimedOut;
}

// Waits until pid ends or the deadline passes; true when it has ended (not yet reaped).
bool waitForEnd(pid_t pid, const Deadline& deadline)
{
    if (!deadline)
        return true; // reap() blocks for as long as it takes
    if (int pidDescriptor = openPidDescriptor(pid); pidDescriptor >= 0) {
        bool ended = false;
        for (;;) {
            pollfd waiting{pidDescriptor, POLLIN, 0};
            const int ready = ::poll(&waiting, 1, millisecondsLeft(deadline));
            if (ready > 0) {
                ended = true;
                break;
            }
            if (ready == 0 && passed(deadline))
                break;
            if (ready < 0 && errno != EINTR)
                break;
        }
        closeDescriptor(pidDescriptor);
        return ended;
    }
    // No pidfd: look every few milliseconds.
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (passed(deadline))
            return false;
        const timespec pause{0, 5'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

// Reads descriptor until end of file, the bound or the deadline. False when the deadline passed.
bool readOutput(int descriptor, const Process::Options& options, const Deadline& deadline,
                Process::Result& result)
{
    char chunk[65536];
    for (;;) {
        pollfd waiting{descriptor, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, millisecondsLeft(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return true; // cannot wait on it: take what came
        }
        if (ready == 0) {
            if (passed(deadline))
                return false;
            continue;
        }
        const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return true;
        }
        if (count == 0)
            return true;
        const std::size_t room = options.maxOutput - result.output.size();
        if (static_cast<std::size_t>(count) > room) {
            result.output.append(chunk, room);
            result.outputTruncated = true;
            return true;
        }
        result.output.append(chunk, static_cast<std::size_t>(count));
    }
}

} // namespace

Process::Result Process::run(const std::vector<std::string>& arguments, const Options& options)
{
    Result result;
    if (arguments.empty() || arguments[0].empty()) {
        result.startError = EINVAL;
        return result;
    }

    int readEnd = -1;
    int writeEnd = -1;
    if (options.captureOutput) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            result.startError = errno;
            return result;
        }
        readEnd = ends[0];
        writeEnd = ends[1];
        // With our standard output closed the pipe may get descriptor 1, and dup2 onto itself
        // would leave it close-on-exec: the program would start without an output.
        if (writeEnd <= STDERR_FILENO) {
            const int moved = ::fcntl(writeEnd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            closeDescriptor(writeEnd);
            if (moved < 0) {
                result.startError = errno;
                closeDescriptor(readEnd);
                return result;
            }
            writeEnd = moved;
        }
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (writeEnd >= 0)
        posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);

    // The program starts with no signal blocked, and with default actions for the signals whose
    // "ignored" would otherwise survive exec and change how it behaves.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    if (options.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);

    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    closeDescriptor(writeEnd);
    if (spawned != 0) {
        closeDescriptor(readEnd);
        result.startError = spawned;
        return result;
    }
    result.ending = Ending::Exited;

    const Deadline deadline =
        options.timeout.count() > 0 ? Deadline(Clock::now() + options.timeout) : std::nullopt;

    bool inTime = true;
    if (readEnd >= 0) {
        inTime = readOutput(readEnd, options, deadline, result);
        // Closed before waiting: a program still writing past the bound gets EPIPE, not a full pipe.
        closeDescriptor(readEnd);
    }
    if (inTime)
        inTime = waitForEnd(pid, deadline);
    if (!inTime)
        killAndReap(pid, options.ownProcessGroup, result);
    else
        reap(pid, result);
    return result;
}

} // namespace qarn
