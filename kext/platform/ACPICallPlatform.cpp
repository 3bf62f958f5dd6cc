#include "kext/platform/ACPICallPlatform.h"
#include "kext/platform/SmallFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "kext/platform/OSArray.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"

namespace vennix {

namespace {

// The most of a sysfs path file that is read; ACPI paths are far shorter.
constexpr size_t kMaxDevicePathLength = 512;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

IOReturn errorOfErrno(int error)
{
    switch (error) {
    case ENOENT:
        return kIOReturnUnsupported; // no acpi_call module
    case EACCES:
    case EPERM:
        return kIOReturnNotPermitted;
    case ENOMEM:
        return kIOReturnNoMemory;
    default:
        return kIOReturnIOError;
    }
}

IOReturn errorOfStatus(std::string_view status)
{
    if (status == "AE_NOT_FOUND")
        return kIOReturnNotFound;
    if (status == "AE_NO_MEMORY")
        return kIOReturnNoMemory;
    static constexpr std::string_view kArgumentErrors[] = {
        "AE_BAD_PARAMETER",    "AE_BAD_CHARACTER",     "AE_BAD_PATHNAME",
        "AE_BAD_DATA",         "AE_TYPE",              "AE_AML_OPERAND_TYPE",
        "AE_AML_OPERAND_VALUE", "AE_AML_UNINITIALIZED_ARG", "AE_AML_TOO_MANY_ARGUMENTS",
    };
    for (std::string_view argumentError : kArgumentErrors) {
        if (status == argumentError)
            return kIOReturnBadArgument;
    }
    return kIOReturnError;
}

// A recursive-descent reader of one answer. Every step checks the end first; nothing is read
// past it.
class AnswerParser {
public:
    explicit AnswerParser(std::string_view text) : fText(text) {}

    // The value and nothing but blanks after it.
    IOReturn parse(OSObject** result)
    {
        OSObject* value = parseValue(0);
        if (value == nullptr)
            return fError;
        skipBlanks();
        if (fPos != fText.size()) {
            value->release();
            return kIOReturnIOError;
        }
        *result = value;
        return kIOReturnSuccess;
    }

private:
    static constexpr std::string_view kOtherType = "Object type";

    bool atEnd() const { return fPos >= fText.size(); }
    char peek() const { return atEnd() ? '\0' : fText[fPos]; }

    void skipBlanks()
    {
        while (!atEnd() && isBlank(fText[fPos]))
            ++fPos;
    }

    OSObject* fail(IOReturn error)
    {
        fError = error;
        return nullptr;
    }

    // "0x" and 1 to maxDigits hex digits.
    bool parseHex(size_t maxDigits, uint64_t& value)
    {
        if (fText.substr(fPos, 2) != "0x" && fText.substr(fPos, 2) != "0X")
            return false;
        size_t pos = fPos + 2;
        value = 0;
        size_t digits = 0;
        while (pos < fText.size() && hexDigit(fText[pos]) >= 0) {
            if (++digits > maxDigits)
                return false;
            value = value << 4 | static_cast<uint64_t>(hexDigit(fText[pos]));
            ++pos;
        }
        if (digits == 0)
            return false;
        fPos = pos;
        return true;
    }

    OSObject* parseValue(int depth)
    {
        skipBlanks();
        const char c = peek();
        if (c == '"')
            return parseString(depth > 0);
        if (c == '{')
            return parseBuffer();
        if (c == '[')
            return parsePackage(depth);
        if (fText.substr(fPos, kOtherType.size()) == kOtherType)
            return fail(kIOReturnUnsupported);
        uint64_t value;
        if (!parseHex(16, value))
            return fail(kIOReturnIOError);
        OSObject* number = OSNumber::withNumber(value, 64);
        return number ? number : fail(kIOReturnNoMemory);
    }

    // The module does not escape quotes inside strings: a string ends at the first quote that
    // is followed (after blanks) by the end of the answer or, inside a package, by a comma or
    // a closing bracket.
    OSObject* parseString(bool inPackage)
    {
        const size_t start = ++fPos;
        for (size_t pos = start; pos < fText.size(); ++pos) {
            if (fText[pos] != '"')
                continue;
            size_t after = pos + 1;
            while (after < fText.size() && isBlank(fText[after]))
                ++after;
            const bool ends = after == fText.size()
                || (inPackage && (fText[after] == ',' || fText[after] == ']'));
            if (!ends)
                continue;
            fPos = pos + 1;
            OSObject* string = OSString::withCString(fText.data() + start, pos - start);
            return string ? string : fail(kIOReturnNoMemory);
        }
        return fail(kIOReturnIOError); // unterminated: the answer was cut
    }

    OSObject* parseBuffer()
    {
        ++fPos;
        std::string bytes;
        skipBlanks();
        if (peek() == '}') {
            ++fPos;
        } else {
            for (;;) {
                skipBlanks();
                uint64_t value;
                if (!parseHex(2, value))
                    return fail(kIOReturnIOError);
                bytes.push_back(static_cast<char>(value));
                skipBlanks();
                if (peek() == ',') {
                    ++fPos;
                    continue;
                }
                if (peek() == '}') {
                    ++fPos;
                    break;
                }
                return fail(kIOReturnIOError); // "{0x01," is a cut answer
            }
        }
        OSObject* data = OSData::withBytes(bytes.data(), static_cast<unsigned int>(bytes.size()));
        return data ? data : fail(kIOReturnNoMemory);
    }

    OSObject* parsePackage(int depth)
    {
        if (depth >= ACPICallPlatform::kMaxAnswerDepth)
            return fail(kIOReturnIOError);
        ++fPos;
        OSArray* package = OSArray::withCapacity(4);
        if (package == nullptr)
            return fail(kIOReturnNoMemory);
        skipBlanks();
        if (peek() == ']') {
            ++fPos;
            return package;
        }
        for (;;) {
            OSObject* element = parseValue(depth + 1);
            if (element == nullptr) {
                package->release();
                return nullptr;
            }
            const bool stored = package->setObject(element);
            element->release();
            if (!stored) {
                package->release();
                return fail(kIOReturnNoMemory);
            }
            skipBlanks();
            if (peek() == ',') {
                ++fPos;
                continue;
            }
            if (peek() == ']') {
                ++fPos;
                return package;
            }
            package->release();
            return fail(kIOReturnIOError);
        }
    }

    std::string_view fText;
    size_t fPos = 0;
    IOReturn fError = kIOReturnIOError;
};

bool appendArgument(std::string& line, OSObject* param, IOReturn& error)
{
    if (const auto* number = OSDynamicCast<OSNumber>(param)) {
        char text[24];
        std::snprintf(text, sizeof text, " 0x%" PRIx64, number->unsigned64BitValue());
        line += text;
        return true;
    }
    if (const auto* string = OSDynamicCast<OSString>(param)) {
        // The module ends a string at the first quote; nothing may break out of the quotes.
        const char* text = string->getCStringNoCopy();
        for (unsigned int i = 0; i < string->getLength(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
                error = kIOReturnBadArgument;
                return false;
            }
        }
        line += " \"";
        line.append(text, string->getLength());
        line += '"';
        return true;
    }
    if (const auto* data = OSDynamicCast<OSData>(param)) {
        static constexpr char kHex[] = "0123456789abcdef";
        const auto* bytes = static_cast<const unsigned char*>(data->getBytesNoCopy());
        line += " b";
        for (unsigned int i = 0; i < data->getLength(); ++i) {
            line += kHex[bytes[i] >> 4];
            line += kHex[bytes[i] & 0xF];
            if (line.size() > ACPICallPlatform::kMaxRequestLength) {
                error = kIOReturnBadArgument;
                return false;
            }
        }
        return true;
    }
    error = param ? kIOReturnUnsupported : kIOReturnBadArgument;
    return false;
}

} // namespace

ACPICallPlatform::ACPICallPlatform(std::string callPath, std::string devicesDirectory)
    : fCallPath(std::move(callPath)), fDevicesDirectory(std::move(devicesDirectory))
{
}

const char* ACPICallPlatform::description() const
{
    return "/proc/acpi/call";
}

bool ACPICallPlatform::isSimulated() const
{
    return false;
}

bool ACPICallPlatform::deviceExists(const char* path)
{
    try {
        std::string wanted;
        if (!acpiPathOf(path, true, wanted))
            return false;
        DIR* directory = ::opendir(fDevicesDirectory.c_str());
        if (directory == nullptr)
            return false;
        bool found = false;
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] == '.')
                continue;
            std::string contents;
            int error = 0;
            if (!readSmallFile(fDevicesDirectory + "/" + entry->d_name + "/path", kMaxDevicePathLength,
                          contents, &error))
                continue;
            if (trimmed(contents) == wanted) {
                found = true;
                break;
            }
        }
        ::closedir(directory);
        return found;
    } catch (...) {
        return false;
    }
}

IOReturn ACPICallPlatform::formatRequest(const char* path, const char* method,
                                         OSObject* const* params, IOItemCount paramCount,
                                         std::string& line)
{
    try {
        std::string out;
        if (method == nullptr || !isACPIName(method, strnlen(method, 5)))
            return kIOReturnBadArgument;
        if (!acpiPathOf(path, false, out))
            return kIOReturnBadArgument;
        if (paramCount > kACPIMaxArguments || (paramCount > 0 && params == nullptr))
            return kIOReturnBadArgument;
        out += '.';
        out += method;
        for (IOItemCount i = 0; i < paramCount; ++i) {
            IOReturn error = kIOReturnBadArgument;
            if (!appendArgument(out, params[i], error))
                return error;
        }
        // The module counts the line feed too.
        if (out.size() + 1 > kMaxRequestLength)
            return kIOReturnBadArgument;
        line = std::move(out);
        return kIOReturnSuccess;
    } catch (...) {
        return kIOReturnNoMemory;
    }
}

IOReturn ACPICallPlatform::parseAnswer(const char* answer, size_t length, OSObject** result)
{
    if (result == nullptr || (answer == nullptr && length != 0))
        return kIOReturnBadArgument;
    *result = nullptr;
    try {
        const std::string_view text = trimmed(std::string_view(answer ? answer : "", length));
        if (text.empty())
            return kIOReturnSuccess;
        if (text == "not called")
            return kIOReturnError;
        constexpr std::string_view kError = "Error:";
        if (text.substr(0, kError.size()) == kError) {
            std::string_view status = trimmed(text.substr(kError.size()));
            size_t end = 0;
            while (end < status.size() && !isBlank(status[end]))
                ++end;
            return errorOfStatus(status.substr(0, end));
        }
        return AnswerParser(text).parse(result);
    } catch (...) {
        return kIOReturnNoMemory;
    }
}

IOReturn ACPICallPlatform::exchange(const std::string& line, std::string& answer)
{
    std::lock_guard<std::mutex> hold(fLock);

    // One write is one request for the module: the whole line at once.
    const int fd = ::open(fCallPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return errorOfErrno(errno);
    const std::string request = line + "\n";
    ssize_t written;
    do {
        written = ::write(fd, request.data(), request.size());
    } while (written < 0 && errno == EINTR);
    const int writeError = errno;
    ::close(fd);
    if (written < 0)
        return errorOfErrno(writeError);
    if (static_cast<size_t>(written) != request.size())
        return kIOReturnIOError;

    std::string raw;
    int readError = 0;
    if (!readSmallFile(fCallPath, kMaxAnswerLength, raw, &readError))
        return readError == EFBIG ? kIOReturnIOError : errorOfErrno(readError);
    // The module ends its answer with a NUL; whatever follows is not part of it.
    const size_t nul = raw.find('\0');
    answer = nul == std::string::npos ? std::move(raw) : raw.substr(0, nul);
    return kIOReturnSuccess;
}

IOReturn ACPICallPlatform::evaluateObject(const char* path, const char* method,
                                          OSObject* const* params, IOItemCount paramCount,
                                          OSObject** result)
{
    if (result)
        *result = nullptr;
    try {
        std::string line;
        IOReturn status = formatRequest(path, method, params, paramCount, line);
        if (status != kIOReturnSuccess)
            return status;
        std::string answer;
        status = exchange(line, answer);
        if (status != kIOReturnSuccess)
            return status;
        OSObject* value = nullptr;
        status = parseAnswer(answer.data(), answer.size(), &value);
        if (status != kIOReturnSuccess)
            return status;
        if (result)
            *result = value;
        else if (value)
            value->release();
        return kIOReturnSuccess;
    } catch (...) {
        return kIOReturnNoMemory;
    }
}

} // namespace vennix
