#pragma once
// A simulated serial LED display behind a real pseudo-terminal: the driver opens slavePath() as
// it would open /dev/ttyACM0, and the kernel's tty layer lies between the two. A thread of the
// display's own reads what the driver sends and answers: "?" with the version and the screen
// list, "v" with an ADC line; it records every mode byte and bar frame, and fails loudly (a
// violation: recorded and written to standard error) on bytes outside the protocol.

#include "platform/SerialPorts.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct SimulatedSparvelScreen {
    int width = 0;
    int height = 0;
};

struct SimulatedSparvelOptions {
    std::string version = "S002";      // sent as these bytes plus one more ("\n")
    std::vector<SimulatedSparvelScreen> screens{{16, 8}};
    // Replaces the screen list's lines when set (to send odd counts, "12\r\n", silence...).
    std::optional<std::string> screenListText;
    std::function<int64_t()> adc;      // the reading "v" answers; empty: 512
};

class SimulatedSparvelDisplay {
public:
    using Screen = SimulatedSparvelScreen;
    using Options = SimulatedSparvelOptions;
    struct RGB {
        uint8_t red = 0, green = 0, blue = 0;
        bool operator==(const RGB&) const = default;
    };

    // Null when no pseudo-terminal can be had.
    static std::unique_ptr<SimulatedSparvelDisplay> create(Options options = {});
    ~SimulatedSparvelDisplay();

    // The driver's end, e.g. "/dev/pts/3".
    const std::string& slavePath() const;

    // What arrived, in order: mode bytes ('0' to '5'), and each bar frame's rows (the bytes
    // before its "6"). Safe from any thread.
    std::vector<char> modes() const;
    std::vector<std::vector<RGB>> frames() const;
    std::vector<std::string> violations() const;
    int versionQueries() const;

private:
    SimulatedSparvelDisplay(Options options, int master, int slave, int stopRead, int stopWrite, std::string path);
    void serve();
    void receive(uint8_t byte);
    void answer(const std::string& text);
    void violation(std::string what);

    const Options fOptions;
    const int fMaster;
    const int fSlave; // kept open so that the driver's last close does not hang the line up
    const int fStopRead;
    const int fStopWrite;
    const std::string fSlavePath;
    std::vector<uint8_t> fColours; // the open frame's colour bytes (reader thread only)

    mutable std::mutex fLock;
    std::vector<char> fModes;
    std::vector<std::vector<RGB>> fFrames;
    std::vector<std::string> fViolations;
    int fVersionQueries = 0;

    std::thread fReader;
};

// The ports a simulated process has: the displays' pseudo-terminals, then any extra paths.
class SimulatedSerialPorts : public qarn::SerialPorts {
public:
    explicit SimulatedSerialPorts(std::vector<std::string> paths) : fPaths(std::move(paths)) {}
    std::vector<std::string> ports(std::string*) override { return fPaths; }

private:
    std::vector<std::string> fPaths;
};

} // namespace sim
