#include "shell/TerminalScreen.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qarn {

namespace {

// What the restore needs, readable from a signal handler.
std::atomic<bool> gSwitched{false};
int gFd = -1;
bool gHaveTermios = false;
termios gSavedTermios{};
int gTerminalStderr = -1;   // standard error as it was, while gHeldStderr stands in for it
int gHeldStderr = -1;

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction gPreviousActions[sizeof kFatalSignals / sizeof kFatalSignals[0]];

bool sameTerminal(int a, int b) {
    struct stat first {}, second {};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && S_ISCHR(first.st_mode) &&
           S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev;
}

// Messages written to the screen being redrawn would scroll it and vanish with it; they are
// kept in memory instead and shown once the screen is left.
void holdStderr(int terminal) {
    if (!sameTerminal(terminal, STDERR_FILENO))
        return;
    const int held = ::memfd_create("qarn-stderr", MFD_CLOEXEC);
    const int saved = held < 0 ? -1 : ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || ::dup2(held, STDERR_FILENO) < 0) {
        if (held >= 0)
            ::close(held);
        if (saved >= 0)
            ::close(saved);
        return;
    }
    gHeldStderr = held;
    gTerminalStderr = saved;
}

void releaseStderr() {
    if (gTerminalStderr < 0)
        return;
    ::dup2(gTerminalStderr, STDERR_FILENO);
    ::close(gTerminalStderr);
    gTerminalStderr = -1;
    char buffer[4096];
    ssize_t got = 0;
    for (off_t at = 0; (got = ::pread(gHeldStderr, buffer, sizeof buffer, at)) > 0; at += got) {
        if (::write(STDERR_FILENO, buffer, static_cast<std::size_t>(got)) != got)
            break;
    }
    ::close(gHeldStderr);
    gHeldStderr = -1;
}

// Async-signal-safe; does its work once however many paths reach it.
void restoreTerminal() {
    if (!gSwitched.exchange(false))
        return;
    const std::size_t length = std::strlen(TerminalScreen::kLeave);
    // A hung-up terminal takes nothing; there is nothing else to try then.
    [[maybe_unused]] const ssize_t written = ::write(gFd, TerminalScreen::kLeave, length);
    if (gHaveTermios) {
        // Keys typed at the monitor were meant for it, not for the shell.
        ::tcflush(gFd, TCIFLUSH);
        ::tcsetattr(gFd, TCSANOW, &gSavedTermios);
    }
    releaseStderr();
}

extern "C" void restoreOnFatalSignal(int signal, siginfo_t* info, void*) {
    restoreTerminal();
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
        if (kFatalSignals[i] == signal)
            ::sigaction(signal, &gPreviousActions[i], nullptr);
    }
    // A fault happens again on return, now to the previous action; a sent signal must be resent.
    if (info->si_code <= 0)
        ::raise(signal);
}

}  // namespace

bool TerminalScreen::isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

TerminalScreen::TerminalScreen(int fd) : _fd(fd) {
    static const bool registered = std::atexit(restoreTerminal) == 0;
    (void)registered;
    gFd = fd;
    gHaveTermios = ::tcgetattr(fd, &gSavedTermios) == 0;
    if (gHaveTermios) {
        termios quiet = gSavedTermios;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSANOW, &quiet);
    }
    struct sigaction action {};
    action.sa_sigaction = restoreOnFatalSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i)
        ::sigaction(kFatalSignals[i], &action, &gPreviousActions[i]);
    std::fflush(stderr);
    holdStderr(fd);
    gSwitched.store(true);
    [[maybe_unused]] const ssize_t written = ::write(fd, kEnter, std::strlen(kEnter));
}

TerminalScreen::~TerminalScreen() {
    restoreTerminal();
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i)
        ::sigaction(kFatalSignals[i], &gPreviousActions[i], nullptr);
}

TerminalSize TerminalScreen::size() const {
    winsize window{};
    TerminalSize size;
    if (::ioctl(_fd, TIOCGWINSZ, &window) == 0 && window.ws_row > 0 && window.ws_col > 0) {
        size.rows = window.ws_row;
        size.columns = window.ws_col;
    }
    return size;
}

}  // namespace qarn
