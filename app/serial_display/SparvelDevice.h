#pragma once
// The serial LED display: a device on a serial port that shows coloured bars and display modes on
// one or more screens whose sizes it reports. Finding it, opening and setting up the port, the
// version handshake, and the byte protocol of its commands.
//
// Every operation blocks its caller: opening takes at least the two pauses of the handshake
// (1.1 s) plus up to 0.5 s per silent read. One device is used from one thread at a time. Log
// lines go to standard error, one per message.

#include "platform/SerialPorts.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qarn {

// The handshake's pauses, in seconds; tests against a display that answers at once may shorten
// them.
struct SparvelPauses {
    double beforeQuery = 1.0;
    double afterQuery = 0.1;
};

class SparvelDevice {
public:
    static constexpr int kBaudrate = 19200;
    static constexpr const char* kModel = "S002";
    static constexpr size_t kLineBuffer = 1024;
    // The most screens read from the list; a display has a handful.
    static constexpr int64_t kMaxScreens = 64;

    struct Size {
        double width = 0;
        double height = 0;
    };
    // Components from 0 to 1, as a colour object gives them.
    struct Color {
        double red = 0;
        double green = 0;
        double blue = 0;
    };
    using Pauses = SparvelPauses;

    // The ports of ports, without any whose path contains "Bluetooth" in any letter case.
    static std::vector<std::string> devices(SerialPorts& ports);
    // Every port's device whose version begins with "S002", in port order.
    static std::vector<std::shared_ptr<SparvelDevice>> findSparvels(SerialPorts& ports, Pauses pauses = {});
    // The first port's device that reports any version; null when none does.
    static std::shared_ptr<SparvelDevice> findSparvel(SerialPorts& ports, Pauses pauses = {});
    // The device on path at 19200 bit/s; null when it does not open or identify. openError (may
    // be null) gets the system error number when the port itself did not open, else 0.
    static std::shared_ptr<SparvelDevice> deviceWithString(const std::string& path, Pauses pauses = {},
                                                           int* openError = nullptr);
    // Opens path (null: none), sets the port up and identifies the device; null on any failure,
    // with the failure's log lines.
    static std::shared_ptr<SparvelDevice> initWithString(const std::string* path, int baudrate, Pauses pauses = {},
                                                         int* openError = nullptr);
    // Closes the port.
    ~SparvelDevice();

    SparvelDevice(const SparvelDevice&) = delete;
    SparvelDevice& operator=(const SparvelDevice&) = delete;

    bool setSerialParameters();
    void flush();
    // Queries the device: its 4-character version, or nothing.
    std::optional<std::string> version();
    const std::optional<std::string>& versionString() const { return fVersion; }
    const std::string& devicename() const { return fDevicename; }
    const std::vector<Size>& screens() const { return fScreens; }
    int fileDescriptor() const { return fFileDescriptor; }

    // One line as a decimal integer (atol's rules); 0 for an empty line, a line that does not end
    // before a read comes back empty, and a line longer than the buffer.
    int64_t readLongIntLine();

    void sendChar(int8_t byte);
    void sendStop();
    void sendVosk();
    void sendMatrix();
    void sendPulse();
    void sendShutdown();
    void sendStart();
    void sendShowBar();
    // Lights rows 0 to bar (clamped to the first screen) in color, the other rows dark, then shows.
    void sendBar(int64_t bar, const Color& color);

    // The first screen's size; 0 without screens.
    int64_t width() const;
    int64_t height() const;
    // Sends "v" and reads the reply line; 0 when none arrives.
    int64_t getADC();

private:
    SparvelDevice() = default;

    int fFileDescriptor = -1;
    int fBaudrate = 0;
    int fParity = 0;
    int fLength = 0;
    int fStopbits = 0;
    std::optional<std::string> fVersion;
    std::string fDevicename;
    std::vector<Size> fScreens;
    Pauses fPauses;
};

} // namespace qarn
