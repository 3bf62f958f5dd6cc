#pragma once
// Who may use vennixd: decided per connection from the peer's credentials.
//
// Open a service: root, members of the group "vennix" (primary or supplementary), and the
// users named in the access file. Write (MSR write lists, ACPI calls with an argument): root
// only, or everyone who may open when the daemon allows writes.
//
// The access file holds one user name or numeric uid per line; '#' starts a comment, blank
// lines and surrounding whitespace are ignored, and a line that is neither (junk, a NUL byte)
// is invalid and lists nobody. A missing, unreadable or untrusted file (ConfigFile) lists
// nobody. The file is read again only when it changes, and its names are resolved then, so
// that a user added by the installer can connect at once and a stranger who knocks again and
// again costs one stat.

#include "daemon/ConfigFile.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vennix {

class AccessControl {
public:
    static constexpr const char* kDefaultUsersFile = "/etc/vennix/users";
    static constexpr const char* kGroupName = "vennix";
    // More than this is not read from the access file.
    static constexpr size_t kMaxUsersFileSize = 1024 * 1024;

    // The process at the other end of a connection, as the kernel reported it.
    struct Peer {
        pid_t pid = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups; // supplementary groups
    };

    struct Rights {
        bool mayOpen = false;
        bool mayWrite = false;
    };

    // The uid of a user name, nothing for an unknown name.
    using NameResolver = std::function<std::optional<uid_t>(std::string_view name)>;

    AccessControl(std::string usersFile, bool allowWrites);

    // The rights of peer now: the access file as it stands (refreshed first) and the group.
    Rights rightsOf(const Peer& peer) const;
    // Reads the access file again when it changed. True when the users it lists changed; an
    // untrusted file and invalid lines are logged once per change.
    bool refresh() const;

    const std::string& usersFile() const { return fUsersFile; }
    bool allowsWrites() const { return fAllowWrites; }

    // The decision itself, from everything it depends on. usersFile is the file's text,
    // nothing when there is no file; vennixGroup nothing when the group does not exist.
    static Rights decide(const Peer& peer, std::optional<std::string_view> usersFile,
                         std::optional<gid_t> vennixGroup, bool allowWrites,
                         const NameResolver& resolve);

    // Whether the access file's text names uid, by number or by a name resolve maps to it.
    static bool listsUser(std::string_view usersFile, uid_t uid, const NameResolver& resolve);
    // The uids the text lists; the numbers (from 1) of invalid lines go to *invalid.
    static std::set<uid_t> listedUsers(std::string_view usersFile, const NameResolver& resolve,
                                       std::vector<size_t>* invalid = nullptr);

    // Whether a call with this selector changes the machine.
    static bool isWriteSelector(uint32_t selector);

    // The credentials of the process connected to socket, from SO_PEERCRED; the supplementary
    // groups from SO_PEERGROUPS, or from the group database for the uid's user where the
    // kernel cannot tell. Nothing when the socket has no peer credentials.
    static std::optional<Peer> peerOf(int socket);

    // The system's user and group databases.
    static std::optional<uid_t> uidOfUser(std::string_view name);
    static std::optional<gid_t> gidOfGroup(const char* name);

private:
    static Rights decideListed(const Peer& peer, bool listed, std::optional<gid_t> vennixGroup, bool allowWrites);
    // Caller holds fLock.
    bool refreshLocked() const;

    std::string fUsersFile;
    bool fAllowWrites;
    mutable std::mutex fLock;
    mutable ConfigFile fFile;
    mutable std::set<uid_t> fListed;
    // The group's id, looked up again at most every ten seconds.
    mutable std::optional<gid_t> fGroup;
    mutable std::chrono::steady_clock::time_point fGroupLooked{};
    mutable bool fGroupKnown = false;
};

} // namespace vennix
