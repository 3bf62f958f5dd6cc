#include "daemon/AccessControl.h"

#include "kext/AccessorTypes.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vennix {

namespace {

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view kSpace = " \t\r\v\f";
    const size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

bool isAllDigits(std::string_view text)
{
    return !text.empty()
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Buffer size for the reentrant database calls.
size_t databaseBufferSize(int name)
{
    const long suggested = sysconf(name);
    return suggested > 0 ? static_cast<size_t>(suggested) : 16384;
}

} // namespace

AccessControl::AccessControl(std::string usersFile, bool allowWrites)
    : fUsersFile(std::move(usersFile))
    , fAllowWrites(allowWrites)
{
}

AccessControl::Rights AccessControl::rightsOf(const Peer& peer) const
{
    // Root needs neither the file nor the group database.
    if (peer.uid == 0)
        return decide(peer, std::nullopt, std::nullopt, fAllowWrites, nullptr);
    const std::optional<std::string> text = readUsersFile(fUsersFile);
    std::optional<std::string_view> view;
    if (text)
        view = *text;
    return decide(peer, view, gidOfGroup(kGroupName), fAllowWrites, uidOfUser);
}

AccessControl::Rights AccessControl::decide(const Peer& peer,
                                            std::optional<std::string_view> usersFile,
                                            std::optional<gid_t> vennixGroup, bool allowWrites,
                                            const NameResolver& resolve)
{
    Rights rights;
    if (peer.uid == 0) {
        rights.mayOpen = true;
        rights.mayWrite = true;
        return rights;
    }
    if (vennixGroup) {
        rights.mayOpen = peer.gid == *vennixGroup
            || std::find(peer.groups.begin(), peer.groups.end(), *vennixGroup) != peer.groups.end();
    }
    if (!rights.mayOpen && usersFile)
        rights.mayOpen = listsUser(*usersFile, peer.uid, resolve);
    rights.mayWrite = rights.mayOpen && allowWrites;
    return rights;
}

bool AccessControl::listsUser(std::string_view usersFile, uid_t uid, const NameResolver& resolve)
{
    while (!usersFile.empty()) {
        const size_t end = usersFile.find('\n');
        std::string_view line = usersFile.substr(0, end);
        usersFile.remove_prefix(end == std::string_view::npos ? usersFile.size() : end + 1);

        const size_t comment = line.find('#');
        if (comment != std::string_view::npos)
            line = line.substr(0, comment);
        line = trimmed(line);
        if (line.empty())
            continue;

        // All digits is a uid, never a name; one too large for a uid names nobody.
        if (isAllDigits(line)) {
            uint64_t number = 0;
            const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), number);
            if (error == std::errc() && end == line.data() + line.size()
                && number == static_cast<uint64_t>(uid))
                return true;
            continue;
        }
        if (resolve) {
            const std::optional<uid_t> named = resolve(line);
            if (named && *named == uid)
                return true;
        }
    }
    return false;
}

bool AccessControl::isWriteSelector(uint32_t selector)
{
    return selector == kAccessorMethodSetMSRs || selector == kAccessorMethodSetValueOnDevice;
}

std::optional<AccessControl::Peer> AccessControl::peerOf(int socket)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0
        || length != sizeof credentials)
        return std::nullopt;

    Peer peer;
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;

    // The kernel knows the peer's groups as they were at connect; ask it first.
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            peer.groups = std::move(groups);
            return peer;
        }
        if (errno != ERANGE)
            break;
        // size now says how much room the list needs.
        groups.resize(std::max<size_t>(size / sizeof(gid_t), groups.size() * 2));
    }

    // Older kernels: the groups the user's account gives.
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(databaseBufferSize(_SC_GETPW_R_SIZE_MAX));
    while (getpwuid_r(peer.uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr)
        return peer;
    int count = 64;
    std::vector<gid_t> list(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, peer.gid, list.data(), &count) < 0 && count > 0) {
        list.resize(static_cast<size_t>(count));
        if (getgrouplist(found->pw_name, peer.gid, list.data(), &count) < 0)
            count = 0;
    }
    list.resize(static_cast<size_t>(std::max(count, 0)));
    peer.groups = std::move(list);
    return peer;
}

std::optional<uid_t> AccessControl::uidOfUser(std::string_view name)
{
    const std::string text(name);
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(databaseBufferSize(_SC_GETPW_R_SIZE_MAX));
    while (getpwnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr)
        return std::nullopt;
    return found->pw_uid;
}

std::optional<gid_t> AccessControl::gidOfGroup(const char* name)
{
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(databaseBufferSize(_SC_GETGR_R_SIZE_MAX));
    while (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) == ERANGE
           && buffer.size() < (1u << 22))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr)
        return std::nullopt;
    return found->gr_gid;
}

std::optional<std::string> AccessControl::readUsersFile(const std::string& path)
{
    // Non-blocking, so that a FIFO put in the file's place cannot hold a connection up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat status{};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    while (text.size() < kMaxUsersFileSize) {
        const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, kMaxUsersFileSize - text.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    // A file cut off at the limit ends with a whole line, not with part of a name.
    if (text.size() == kMaxUsersFileSize) {
        const size_t lastLine = text.rfind('\n');
        text.resize(lastLine == std::string::npos ? 0 : lastLine + 1);
    }
    return text;
}

} // namespace vennix
