#pragma once
// The one reader of the small files the system keeps its facts in (/proc, /sys, /etc/vennix):
// a file read whole, up to a limit, with EINTR retried.

#include <cstddef>
#include <string>

namespace vennix {

// What happens to a file longer than the limit: a failure (EFBIG), or its first limit bytes.
enum class Overlong { Fail, Cut };

// Reads the open descriptor to its end into text. False, with errno's value in *error, when a
// read fails or (Overlong::Fail) the file holds more than limit bytes.
bool readAll(int fd, size_t limit, std::string& text, int* error = nullptr, Overlong overlong = Overlong::Fail);

// Opens path read-only (close-on-exec, no controlling terminal, non-blocking so that a FIFO
// cannot hold the caller up) and reads it as readAll does.
bool readSmallFile(const std::string& path, size_t limit, std::string& text, int* error = nullptr,
                   Overlong overlong = Overlong::Fail);

} // namespace vennix
