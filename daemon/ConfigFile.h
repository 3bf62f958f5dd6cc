#pragma once
// One of vennixd's configuration files under /etc/vennix (who may connect, what readers may
// read), read only when it changed and used only when it can be trusted.
//
// Trusted, as sshd's StrictModes asks of its files: a regular file reached without a symbolic
// link as its last component, owned by root (or by the user vennixd runs as, for tests and
// users' own daemons), and writable by nobody else. Any other file counts as missing, and
// problem() says why, so that nobody can add themselves by writing to a file they may write.
//
// refresh() looks at the file with one lstat and reads it again only when its device, inode,
// size or modification or change time differ from the last look. Not thread-safe: the owner
// serialises.

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vennix {

class ConfigFile {
public:
    ConfigFile(std::string path, size_t maxSize);

    // True when the text (or its absence, or the problem) changed since the last refresh; the
    // first call reads the file.
    bool refresh();

    // The file's text, at most maxSize bytes, cut at its last whole line; nothing when it is
    // missing, unreadable or not trusted.
    const std::optional<std::string>& text() const { return fText; }
    // Why an existing file is not used; empty when it is used or simply missing.
    const std::string& problem() const { return fProblem; }
    const std::string& path() const { return fPath; }

    // The text of a trusted file (see above), or nothing with *why set ("" for a missing file).
    static std::optional<std::string> readTrusted(const std::string& path, size_t maxSize, std::string* why);

private:
    struct Stamp {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
        uid_t owner = 0;
        mode_t mode = 0;
        bool operator==(const Stamp& other) const;
    };
    static Stamp stampOf(const std::string& path);

    std::string fPath;
    size_t fMaxSize;
    bool fRead = false;
    Stamp fStamp;
    std::optional<std::string> fText;
    std::string fProblem;
};

} // namespace vennix
