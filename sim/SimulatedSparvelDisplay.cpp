#include "sim/SimulatedSparvelDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

constexpr uint8_t kColourBit = 0x80;
constexpr int64_t kDefaultADC = 512;
// How long to wait before looking again while the line is hung up (no slave open).
constexpr int kHungUpRetryMs = 20;

} // namespace

std::unique_ptr<SimulatedSparvelDisplay> SimulatedSparvelDisplay::create(Options options)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return nullptr;
    char path[128];
    int stop[2] = {-1, -1};
    int slave = -1;
    termios raw{};
    if (::grantpt(master) == 0 && ::unlockpt(master) == 0 && ::ptsname_r(master, path, sizeof path) == 0 &&
        (slave = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0 && ::tcgetattr(master, &raw) == 0) {
        // Raw until the driver sets the line up, so that nothing is echoed or translated meanwhile.
        ::cfmakeraw(&raw);
        if (::tcsetattr(master, TCSANOW, &raw) == 0 && ::pipe2(stop, O_CLOEXEC) == 0)
            return std::unique_ptr<SimulatedSparvelDisplay>(
                new SimulatedSparvelDisplay(std::move(options), master, slave, stop[0], stop[1], path));
    }
    if (slave >= 0)
        ::close(slave);
    ::close(master);
    return nullptr;
}

SimulatedSparvelDisplay::SimulatedSparvelDisplay(Options options, int master, int slave, int stopRead, int stopWrite,
                                                 std::string path)
    : fOptions(std::move(options)), fMaster(master), fSlave(slave), fStopRead(stopRead), fStopWrite(stopWrite),
      fSlavePath(std::move(path))
{
    fReader = std::thread([this] { serve(); });
}

SimulatedSparvelDisplay::~SimulatedSparvelDisplay()
{
    const char stop = 0;
    (void)!::write(fStopWrite, &stop, 1);
    fReader.join();
    for (int fd : {fMaster, fSlave, fStopRead, fStopWrite})
        ::close(fd);
}

const std::string& SimulatedSparvelDisplay::slavePath() const
{
    return fSlavePath;
}

std::vector<char> SimulatedSparvelDisplay::modes() const
{
    std::lock_guard lock(fLock);
    return fModes;
}

std::vector<std::vector<SimulatedSparvelDisplay::RGB>> SimulatedSparvelDisplay::frames() const
{
    std::lock_guard lock(fLock);
    return fFrames;
}

std::vector<std::string> SimulatedSparvelDisplay::violations() const
{
    std::lock_guard lock(fLock);
    return fViolations;
}

int SimulatedSparvelDisplay::versionQueries() const
{
    std::lock_guard lock(fLock);
    return fVersionQueries;
}

void SimulatedSparvelDisplay::serve()
{
    for (;;) {
        pollfd fds[2] = {{fStopRead, POLLIN, 0}, {fMaster, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            violation("poll failed");
            return;
        }
        if (fds[0].revents)
            return;
        uint8_t bytes[256];
        ssize_t length = (fds[1].revents & POLLIN) ? ::read(fMaster, bytes, sizeof bytes) : -1;
        if (length > 0) {
            for (ssize_t i = 0; i < length; ++i)
                receive(bytes[i]);
            continue;
        }
        // Hung up (no slave open) or a spurious wake: wait for the line to come back, or for the stop.
        if (length < 0 || (fds[1].revents & (POLLHUP | POLLERR))) {
            pollfd stop{fStopRead, POLLIN, 0};
            if (::poll(&stop, 1, kHungUpRetryMs) > 0)
                return;
        }
    }
}

void SimulatedSparvelDisplay::receive(uint8_t byte)
{
    if (byte >= kColourBit) {
        fColours.push_back(byte);
        return;
    }
    switch (byte) {
    case '?': {
        {
            std::lock_guard lock(fLock);
            ++fVersionQueries;
        }
        std::string reply = fOptions.version + "\n";
        if (fOptions.screenListText) {
            reply += *fOptions.screenListText;
        } else {
            reply += std::to_string(fOptions.screens.size()) + "\n";
            for (const Screen& screen : fOptions.screens)
                reply += std::to_string(screen.width) + "\n" + std::to_string(screen.height) + "\n";
        }
        answer(reply);
        return;
    }
    case 'v':
        answer(std::to_string(fOptions.adc ? fOptions.adc() : kDefaultADC) + "\n");
        return;
    case '6': {
        if (fColours.size() % 3 != 0)
            violation("a frame of " + std::to_string(fColours.size()) + " colour bytes, not whole rows");
        std::vector<RGB> rows;
        for (size_t i = 0; i + 2 < fColours.size(); i += 3)
            rows.push_back({fColours[i], fColours[i + 1], fColours[i + 2]});
        fColours.clear();
        std::lock_guard lock(fLock);
        fFrames.push_back(std::move(rows));
        return;
    }
    default:
        if (byte >= '0' && byte <= '5') {
            std::lock_guard lock(fLock);
            fModes.push_back(static_cast<char>(byte));
            return;
        }
        char text[64];
        std::snprintf(text, sizeof text, "unexpected byte 0x%02X", byte);
        violation(text);
    }
}

void SimulatedSparvelDisplay::answer(const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t written = ::write(fMaster, text.data() + sent, text.size() - sent);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            violation("cannot answer: " + std::to_string(errno));
            return;
        }
        sent += static_cast<size_t>(written);
    }
}

void SimulatedSparvelDisplay::violation(std::string what)
{
    std::fprintf(stderr, "simulated display: %s\n", what.c_str());
    std::lock_guard lock(fLock);
    fViolations.push_back(std::move(what));
}

} // namespace sim
