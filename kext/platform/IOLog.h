#pragma once
// The CPU service's log: one call, one line, to standard error (journald under systemd).
// Tests capture the lines instead with IOLogCapture.

#include <string>
#include <vector>

namespace vennix {

// printf-style; the text is written as it is (callers end their lines with "\n").
void IOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

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
