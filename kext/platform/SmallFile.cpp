#include "kext/platform/SmallFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vennix {

bool readAll(int fd, size_t limit, std::string& text, int* error, Overlong overlong)
{
    text.clear();
    char chunk[4096];
    for (;;) {
        // One byte past the limit tells an overlong file apart from one that just fits.
        const size_t room = limit + 1 - text.size();
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, room));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (error)
                *error = errno;
            return false;
        }
        if (n == 0)
            return true;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > limit) {
            if (overlong == Overlong::Cut) {
                text.resize(limit);
                return true;
            }
            if (error)
                *error = EFBIG;
            return false;
        }
    }
}

bool readSmallFile(const std::string& path, size_t limit, std::string& text, int* error, Overlong overlong)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (error)
            *error = errno;
        return false;
    }
    const bool read = readAll(fd, limit, text, error, overlong);
    ::close(fd);
    return read;
}

} // namespace vennix
