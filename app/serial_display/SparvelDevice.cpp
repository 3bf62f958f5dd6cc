#include "serial_display/SparvelDevice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <thread>

namespace qarn {

namespace {

constexpr char kVersionQuery = '?';
constexpr char kShowBar = '6';
constexpr char kADCQuery = 'v';
constexpr size_t kVersionReply = 5;
constexpr size_t kVersionLength = 4;
constexpr uint8_t kColourBit = 0x80;

// One line to standard error per message, written at once so that lines of other threads do not
// cut into it.
[[gnu::format(printf, 1, 2)]] void logLine(const char* format, ...)
{
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    size_t size = std::min(static_cast<size_t>(length), sizeof line - 2);
    line[size++] = '\n';
    std::fwrite(line, 1, size, stderr);
}

void pause(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::optional<speed_t> speedConstant(int baudrate)
{
    static constexpr std::pair<int, speed_t> kSpeeds[] = {
        {50, B50},         {75, B75},         {110, B110},         {134, B134},         {150, B150},
        {200, B200},       {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}};
    for (const auto& [rate, constant] : kSpeeds)
        if (rate == baudrate)
            return constant;
    return std::nullopt;
}

bool validUTF8(const unsigned char* bytes, size_t length)
{
    for (size_t i = 0; i < length;) {
        unsigned char lead = bytes[i];
        size_t extra = 0;
        uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (length - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        if ((extra == 2 && codePoint < 0x800) || (extra == 3 && codePoint < 0x10000) ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

// Characters as the text's users count them: a byte outside ASCII makes a 4-byte version shorter.
size_t characterCount(const std::string& text)
{
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<uint8_t>(c) & 0xC0) != 0x80; }));
}

// Truncation toward zero that saturates instead of being undefined for values out of range.
template <typename Integer> Integer truncated(double value)
{
    if (std::isnan(value))
        return 0;
    if (value <= static_cast<double>(std::numeric_limits<Integer>::min()))
        return std::numeric_limits<Integer>::min();
    if (value >= static_cast<double>(std::numeric_limits<Integer>::max()))
        return std::numeric_limits<Integer>::max();
    return static_cast<Integer>(value);
}

std::string describe(const std::vector<SparvelDevice::Size>& screens)
{
    std::string text = "(";
    for (size_t i = 0; i < screens.size(); ++i) {
        char size[64];
        std::snprintf(size, sizeof size, "%s{%g, %g}", i ? ", " : "", screens[i].width, screens[i].height);
        text += size;
    }
    return text + ")";
}

bool containsBluetooth(const std::string& path)
{
    static constexpr std::string_view kWord = "bluetooth";
    auto found = std::search(path.begin(), path.end(), kWord.begin(), kWord.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    return found != path.end();
}

std::shared_ptr<SparvelDevice> aborted()
{
    logLine("Aborted Init With String");
    return nullptr;
}

} // namespace

std::vector<std::string> SparvelDevice::devices(SerialPorts& ports)
{
    std::vector<std::string> paths = ports.ports(nullptr);
    std::erase_if(paths, containsBluetooth);
    return paths;
}

std::vector<std::shared_ptr<SparvelDevice>> SparvelDevice::findSparvels(SerialPorts& ports, Pauses pauses)
{
    std::vector<std::shared_ptr<SparvelDevice>> found;
    for (const std::string& path : devices(ports)) {
        logLine("%s", path.c_str());
        auto device = initWithString(&path, kBaudrate, pauses);
        std::string version;
        if (device) {
            logLine("Device %X %s", static_cast<unsigned>(reinterpret_cast<uintptr_t>(device.get())),
                device->devicename().c_str());
            version = device->versionString().value_or("");
            logLine("Version %s", version.c_str());
        }
        if (version.size() >= kVersionLength && version.compare(0, kVersionLength, kModel) == 0)
            found.push_back(std::move(device));
    }
    return found;
}

std::shared_ptr<SparvelDevice> SparvelDevice::findSparvel(SerialPorts& ports, Pauses pauses)
{
    for (const std::string& path : devices(ports)) {
        logLine("%s", path.c_str());
        auto device = initWithString(&path, kBaudrate, pauses);
        if (!device)
            continue;
        logLine("Device %X %s", static_cast<unsigned>(reinterpret_cast<uintptr_t>(device.get())),
            device->devicename().c_str());
        std::string version = device->versionString().value_or("");
        logLine("Version %s", version.c_str());
        if (!version.empty())
            return device;
    }
    return nullptr;
}

std::shared_ptr<SparvelDevice> SparvelDevice::deviceWithString(const std::string& path, Pauses pauses, int* openError)
{
    return initWithString(&path, kBaudrate, pauses, openError);
}

std::shared_ptr<SparvelDevice> SparvelDevice::initWithString(const std::string* path, int baudrate, Pauses pauses,
                                                             int* openError)
{
    if (openError)
        *openError = 0;
    if (!path) {
        logLine("Devicename is nil");
        return aborted();
    }
    std::shared_ptr<SparvelDevice> device(new SparvelDevice);
    device->fScreens.clear();
    device->fDevicename = *path;
    device->fPauses = pauses;

    // The lock is taken right after opening: a port another program holds this way fails the first
    // attempt, and the second opens it anyway, without a lock.
    int fd = ::open(path->c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        fd = -1;
    }
    // Never the caller's controlling terminal, on the second attempt either: a session leader
    // without a terminal would otherwise get the display as one.
    if (fd < 0)
        fd = ::open(path->c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (openError)
            *openError = error;
        logLine("Open Error %i", error);
        return aborted();
    }
    device->fFileDescriptor = fd;
    device->fLength = CS8;
    device->fParity = 0;
    device->fStopbits = 0;
    device->fBaudrate = baudrate;
    if (!device->setSerialParameters()) {
        logLine("Set Parameter failed %i", errno);
        return aborted();
    }

    device->fVersion.reset();
    device->version();
    if (!device->fVersion || characterCount(*device->fVersion) != kVersionLength) {
        logLine("No Device detected");
        return aborted();
    }

    // A garbled count must not keep the caller reading silent lines for hours.
    const int64_t count = std::min(device->readLongIntLine(), kMaxScreens);
    for (int64_t i = 0; i < count; ++i) {
        double width = static_cast<double>(device->readLongIntLine());
        double height = static_cast<double>(device->readLongIntLine());
        device->fScreens.push_back({width, height});
    }
    logLine("%s", describe(device->fScreens).c_str());
    return device;
}

SparvelDevice::~SparvelDevice()
{
    if (fFileDescriptor >= 0)
        ::close(fFileDescriptor);
    fFileDescriptor = -1;
}

bool SparvelDevice::setSerialParameters()
{
    if (fFileDescriptor < 0)
        return false;
    // Blocking from here on; reads end through VTIME instead.
    if (::fcntl(fFileDescriptor, F_SETFL, 0) == -1)
        return false;
    termios attributes{};
    if (::tcgetattr(fFileDescriptor, &attributes) != 0)
        return false;
    attributes.c_iflag = IGNBRK | IGNPAR;
    attributes.c_oflag = ONLCR; // without OPOST, so bytes leave unchanged
    attributes.c_cflag = CS8 | CREAD | HUPCL | CLOCAL | static_cast<tcflag_t>(fLength) |
                         static_cast<tcflag_t>(fParity) | static_cast<tcflag_t>(fStopbits);
    attributes.c_lflag = 0;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 5;
    std::optional<speed_t> speed = speedConstant(fBaudrate);
    if (!speed) {
        errno = EINVAL;
        return false;
    }
    if (::cfsetispeed(&attributes, *speed) != 0 || ::cfsetospeed(&attributes, *speed) != 0)
        return false;
    return ::tcsetattr(fFileDescriptor, TCSAFLUSH, &attributes) == 0;
}

void SparvelDevice::flush()
{
    ::tcflush(fFileDescriptor, TCIOFLUSH);
}

std::optional<std::string> SparvelDevice::version()
{
    pause(fPauses.beforeQuery);
    uint8_t byte = 0;
    while (::read(fFileDescriptor, &byte, 1) == 1) {
    }
    sendChar(kVersionQuery);
    pause(fPauses.afterQuery);
    unsigned char reply[kVersionReply];
    ssize_t length = ::read(fFileDescriptor, reply, sizeof reply);
    if (length == static_cast<ssize_t>(kVersionReply) && validUTF8(reply, kVersionLength))
        fVersion = std::string(reinterpret_cast<const char*>(reply), kVersionLength);
    else
        fVersion.reset();
    return fVersion;
}

int64_t SparvelDevice::readLongIntLine()
{
    // The line and its line feed must fit the buffer; a longer line is read to its end, never
    // stored past the buffer, and counts as unusable.
    char line[kLineBuffer];
    size_t stored = 0;
    bool overflow = false;
    bool ended = false;
    char byte = 0;
    while (::read(fFileDescriptor, &byte, 1) == 1) {
        if (byte == '\n') {
            ended = true;
            break;
        }
        if (stored < kLineBuffer - 1)
            line[stored++] = byte;
        else
            overflow = true;
    }
    if (!ended || overflow || stored == 0)
        return 0;
    line[stored] = '\0';
    return std::atol(line);
}

void SparvelDevice::sendChar(int8_t byte)
{
    // A lost byte is neither reported nor repeated.
    (void)!::write(fFileDescriptor, &byte, 1);
}

void SparvelDevice::sendStop() { sendChar('0'); }
void SparvelDevice::sendVosk() { sendChar('1'); }
void SparvelDevice::sendMatrix() { sendChar('2'); }
void SparvelDevice::sendPulse() { sendChar('3'); }
void SparvelDevice::sendShutdown() { sendChar('4'); }
void SparvelDevice::sendStart() { sendChar('5'); }
void SparvelDevice::sendShowBar() { sendChar(kShowBar); }

void SparvelDevice::sendBar(int64_t bar, const Color& color)
{
    int64_t top = std::max<int64_t>(std::min<int64_t>(bar, height() - 1), 0);
    // The top bit marks a colour byte; the component keeps only its low 7 bits beneath it.
    const auto colourByte = [](double component) {
        return static_cast<int8_t>(static_cast<uint8_t>((truncated<int32_t>(component * 255.0) | kColourBit) & 0xFF));
    };
    const int8_t lit[3] = {colourByte(color.red), colourByte(color.green), colourByte(color.blue)};
    const auto dark = static_cast<int8_t>(kColourBit);
    for (int64_t row = 0; row < height(); ++row)
        for (int8_t value : lit)
            sendChar(row <= top ? value : dark);
    sendShowBar();
}

int64_t SparvelDevice::width() const
{
    return fScreens.empty() ? 0 : truncated<int64_t>(fScreens.front().width);
}

int64_t SparvelDevice::height() const
{
    return fScreens.empty() ? 0 : truncated<int64_t>(fScreens.front().height);
}

int64_t SparvelDevice::getADC()
{
    sendChar(kADCQuery);
    return readLongIntLine();
}

} // namespace qarn
