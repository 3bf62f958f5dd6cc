#pragma once
// Who may use vennixd: decided per connection from the peer's credentials.
//
// Open a service: root, members of the group "vennix" (primary or supplementary), and the
// users named in the access file. Write (MSR write lists, ACPI calls with an argument): root
// only, or everyone who may open when the daemon allows writes.
//
// The access file holds one user name or numeric uid per line; '#' starts a comment, blank
// lines and surrounding whitespace are ignored. A missing or unreadable file lists nobody.
// It is read at each open, so that a user added by the installer can connect at once.

#include <cstdint>
#include <functional>
#include <optional>
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

    // The rights of peer now: reads the access file and looks up the group.
    Rights rightsOf(const Peer& peer) const;

    const std::string& usersFile() const { return fUsersFile; }
    bool allowsWrites() const { return fAllowWrites; }

    // The decision itself, from everything it depends on. usersFile is the file's text,
    // nothing when there is no file; vennixGroup nothing when the group does not exist.
    static Rights decide(const Peer& peer, std::optional<std::string_view> usersFile,
                         std::optional<gid_t> vennixGroup, bool allowWrites,
                         const NameResolver& resolve);

    // Whether the access file's text names uid, by number or by a name resolve maps to it.
    static bool listsUser(std::string_view usersFile, uid_t uid, const NameResolver& resolve);

    // Whether a call with this selector changes the machine.
    static bool isWriteSelector(uint32_t selector);

    // The credentials of the process connected to socket, from SO_PEERCRED; the supplementary
    // groups from SO_PEERGROUPS, or from the group database for the uid's user where the
    // kernel cannot tell. Nothing when the socket has no peer credentials.
    static std::optional<Peer> peerOf(int socket);

    // The system's user and group databases.
    static std::optional<uid_t> uidOfUser(std::string_view name);
    static std::optional<gid_t> gidOfGroup(const char* name);

    // The file's text, nothing when it cannot be read; at most kMaxUsersFileSize bytes.
    static std::optional<std::string> readUsersFile(const std::string& path);

private:
    std::string fUsersFile;
    bool fAllowWrites;
};

} // namespace vennix
