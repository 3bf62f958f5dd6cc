#pragma once
// The CPU service's log: one call, one line, to standard error (journald under systemd).
// Tests capture the lines instead with IOLogCapture.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vennix {

// printf-style; the text is written as it is (callers end their lines with "\n").
void IOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text that came from a client (an ACPI path, a key, a file's name), made safe for one log
// line: bytes outside printable ASCII, and the backslash, become \xNN, so that nobody forges
// lines or sends a terminal escape; longer text is cut at maxLength bytes with "...".
std::string escapeForLog(std::string_view text, size_t maxLength = 256);

// While one exists, IOLog appends each formatted text to it instead of writing it out.
// Captures nest: the newest one receives the lines. Thread-safe.
class IOLogCapture {
public:
    IOLogCapture();
    ~IOLogCapture();
    IOLogCapture(const IOLogCapture&) = delete;
    IOLogCapture& operator=(const IOLogCapture&) = delete;

    std::vector<std::string> lines() const;
    void clear();

private:
    friend void IOLog(const char*, ...);
    IOLogCapture* fPrevious;
    std::vector<std::string> fLines;
};

} // namespace vennix
