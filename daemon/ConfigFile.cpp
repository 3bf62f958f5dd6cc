#include "daemon/ConfigFile.h"

#include "kext/platform/SmallFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vennix {

namespace {

bool sameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

bool ConfigFile::Stamp::operator==(const Stamp& other) const
{
    return exists == other.exists && device == other.device && inode == other.inode && size == other.size
        && sameTime(modified, other.modified) && sameTime(changed, other.changed) && owner == other.owner
        && mode == other.mode;
}

ConfigFile::ConfigFile(std::string path, size_t maxSize)
    : fPath(std::move(path))
    , fMaxSize(maxSize)
{
}

ConfigFile::Stamp ConfigFile::stampOf(const std::string& path)
{
    Stamp stamp;
    struct stat status{};
    if (lstat(path.c_str(), &status) != 0)
        return stamp;
    stamp.exists = true;
    stamp.device = status.st_dev;
    stamp.inode = status.st_ino;
    stamp.size = status.st_size;
    stamp.modified = status.st_mtim;
    stamp.changed = status.st_ctim;
    stamp.owner = status.st_uid;
    stamp.mode = status.st_mode;
    return stamp;
}

bool ConfigFile::refresh()
{
    const Stamp now = stampOf(fPath);
    if (fRead && now == fStamp)
        return false;
    std::string why;
    std::optional<std::string> text = readTrusted(fPath, fMaxSize, &why);
    const bool changed = !fRead || text != fText || why != fProblem;
    fRead = true;
    fStamp = now;
    fText = std::move(text);
    fProblem = std::move(why);
    return changed;
}

std::optional<std::string> ConfigFile::readTrusted(const std::string& path, size_t maxSize, std::string* why)
{
    auto refuse = [&](std::string reason) -> std::optional<std::string> {
        if (why)
            *why = std::move(reason);
        return std::nullopt;
    };
    if (why)
        why->clear();
    // No link followed, and a FIFO put in the file's place cannot hold the daemon up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return refuse("");
        if (errno == ELOOP)
            return refuse("it is a symbolic link");
        return refuse(std::string("cannot open it: ") + std::strerror(errno));
    }
    struct stat status{};
    std::string problem;
    if (fstat(fd, &status) != 0)
        problem = std::string("cannot look at it: ") + std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        problem = "it is not a regular file";
    else if (status.st_uid != 0 && status.st_uid != geteuid())
        problem = "it belongs to uid " + std::to_string(status.st_uid) + ", not root";
    else if (status.st_mode & (S_IWGRP | S_IWOTH))
        problem = "others may write it";
    if (!problem.empty()) {
        ::close(fd);
        return refuse(problem);
    }

    std::string text;
    int failure = 0;
    const bool read = readAll(fd, maxSize, text, &failure, Overlong::Cut);
    ::close(fd);
    if (!read)
        return refuse(std::string("cannot read it: ") + std::strerror(failure));
    // A file cut off at the limit ends with a whole line, not with part of an entry.
    if (text.size() == maxSize) {
        const size_t lastLine = text.rfind('\n');
        text.resize(lastLine == std::string::npos ? 0 : lastLine + 1);
    }
    return text;
}

} // namespace vennix
