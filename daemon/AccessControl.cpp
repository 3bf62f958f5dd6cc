#include "daemon/AccessControl.h"

#include "protocol/AccessorTypes.h"
#include "kext/platform/IOLog.h"

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

// A user name as useradd accepts it: a letter or '_', then letters, digits, '.', '_' or '-',
// perhaps a final '$' (machine accounts); 32 characters at most.
bool isUserName(std::string_view text)
{
    if (text.empty() || text.size() > 32)
        return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!letter(text[0]))
        return false;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        const bool last = i + 1 == text.size();
        if (!(letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '-' || (last && c == '$')))
            return false;
    }
    return true;
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
    , fFile(fUsersFile, kMaxUsersFileSize)
{
}

bool AccessControl::refresh() const
{
    std::lock_guard<std::mutex> hold(fLock);
    return refreshLocked();
}

bool AccessControl::refreshLocked() const
{
    if (!fFile.refresh())
        return false;
    std::set<uid_t> listed;
    if (!fFile.problem().empty())
        IOLog("vennixd/ %s lists nobody: %s\n", escapeForLog(fUsersFile).c_str(), fFile.problem().c_str());
    if (fFile.text()) {
        std::vector<size_t> invalid;
        listed = listedUsers(*fFile.text(), uidOfUser, &invalid);
        for (size_t line : invalid)
            IOLog("vennixd/ %s line %zu is neither a user name nor a uid: it lists nobody\n",
                  escapeForLog(fUsersFile).c_str(), line);
    }
    const bool changed = listed != fListed;
    fListed = std::move(listed);
    return changed;
}

AccessControl::Rights AccessControl::rightsOf(const Peer& peer) const
{
    // Root needs neither the file nor the group database.
    if (peer.uid == 0)
        return decideListed(peer, false, std::nullopt, fAllowWrites);
    std::lock_guard<std::mutex> hold(fLock);
    refreshLocked();
    const auto now = std::chrono::steady_clock::now();
    if (!fGroupKnown || now - fGroupLooked > std::chrono::seconds(10)) {
        fGroup = gidOfGroup(kGroupName);
        fGroupLooked = now;
        fGroupKnown = true;
    }
    return decideListed(peer, fListed.count(peer.uid) != 0, fGroup, fAllowWrites);
}

AccessControl::Rights AccessControl::decide(const Peer& peer,
                                            std::optional<std::string_view> usersFile,
                                            std::optional<gid_t> vennixGroup, bool allowWrites,
                                            const NameResolver& resolve)
{
    const bool listed = peer.uid != 0 && usersFile && listsUser(*usersFile, peer.uid, resolve);
    return decideListed(peer, listed, vennixGroup, allowWrites);
}

AccessControl::Rights AccessControl::decideListed(const Peer& peer, bool listed, std::optional<gid_t> vennixGroup,
                                                  bool allowWrites)
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
    rights.mayOpen = rights.mayOpen || listed;
    rights.mayWrite = rights.mayOpen && allowWrites;
    return rights;
}

bool AccessControl::listsUser(std::string_view usersFile, uid_t uid, const NameResolver& resolve)
{
    return listedUsers(usersFile, resolve).count(uid) != 0;
}

std::set<uid_t> AccessControl::listedUsers(std::string_view usersFile, const NameResolver& resolve,
                                           std::vector<size_t>* invalid)
{
    std::set<uid_t> listed;
    size_t number = 0;
    while (!usersFile.empty()) {
        const size_t end = usersFile.find('\n');
        std::string_view line = usersFile.substr(0, end);
        usersFile.remove_prefix(end == std::string_view::npos ? usersFile.size() : end + 1);
        ++number;

        const size_t comment = line.find('#');
        if (comment != std::string_view::npos)
            line = line.substr(0, comment);
        line = trimmed(line);
        if (line.empty())
            continue;

        // All digits is a uid, never a name; one too large for a uid names nobody.
        if (isAllDigits(line)) {
            uint64_t value = 0;
            const auto [stop, error] = std::from_chars(line.data(), line.data() + line.size(), value);
            if (error == std::errc() && stop == line.data() + line.size() && value < uint64_t{UINT32_MAX})
                listed.insert(static_cast<uid_t>(value));
            else if (invalid)
                invalid->push_back(number);
            continue;
        }
        if (!isUserName(line)) {
            if (invalid)
                invalid->push_back(number);
            continue;
        }
        if (resolve) {
            if (const std::optional<uid_t> named = resolve(line))
                listed.insert(*named);
        }
    }
    return listed;
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

} // namespace vennix
