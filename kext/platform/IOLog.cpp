#include "IOLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vennix {

namespace {
std::mutex gLogMutex;
IOLogCapture* gCapture = nullptr;
} // namespace

std::string escapeForLog(std::string_view text, size_t maxLength)
{
    std::string safe;
    const bool cut = text.size() > maxLength;
    for (unsigned char c : text.substr(0, maxLength)) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            safe += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            safe += "\\x";
            safe += kHex[c >> 4];
            safe += kHex[c & 0xF];
        }
    }
    if (cut)
        safe += "...";
    return safe;
}

void IOLog(const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = vsnprintf(small, sizeof small, format, args);
    va_end(args);

    std::string text;
    if (needed < 0) {
        text = format;
    } else if (static_cast<size_t>(needed) < sizeof small) {
        text.assign(small, static_cast<size_t>(needed));
    } else {
        text.resize(static_cast<size_t>(needed) + 1);
        vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(again);

    std::lock_guard<std::mutex> hold(gLogMutex);
    if (gCapture) {
        gCapture->fLines.push_back(std::move(text));
        return;
    }
    // One write per call so that lines of concurrent writers do not interleave.
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

IOLogCapture::IOLogCapture()
{
    std::lock_guard<std::mutex> hold(gLogMutex);
    fPrevious = gCapture;
    gCapture = this;
}

IOLogCapture::~IOLogCapture()
{
    std::lock_guard<std::mutex> hold(gLogMutex);
    // Captures end in reverse order of their start; tolerate any order all the same.
    IOLogCapture** link = &gCapture;
    while (*link && *link != this)
        link = &(*link)->fPrevious;
    if (*link)
        *link = fPrevious;
}

std::vector<std::string> IOLogCapture::lines() const
{
    std::lock_guard<std::mutex> hold(gLogMutex);
    return fLines;
}

void IOLogCapture::clear()
{
    std::lock_guard<std::mutex> hold(gLogMutex);
    fLines.clear();
}

} // namespace vennix
