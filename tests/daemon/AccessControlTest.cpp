// Who may open and who may write, as a function of the peer and the access file; and the
// reading of the access file itself.

#include <gtest/gtest.h>

#include "daemon/AccessControl.h"
#include "protocol/AccessorTypes.h"
#include "kext/platform/IOLog.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vennix {
namespace {

constexpr gid_t kVennixGroup = 990;

AccessControl::Peer peer(uid_t uid, gid_t gid = 100, std::vector<gid_t> groups = {})
{
    AccessControl::Peer result;
    result.pid = 1234;
    result.uid = uid;
    result.gid = gid;
    result.groups = std::move(groups);
    return result;
}

// The user database the tests pretend to have.
std::optional<uid_t> resolve(std::string_view name)
{
    static const std::map<std::string, uid_t, std::less<>> users{
        {"alice", 1000}, {"bob", 1001}, {"alias-of-alice", 1000}};
    const auto found = users.find(name);
    if (found == users.end())
        return std::nullopt;
    return found->second;
}

AccessControl::Rights decide(const AccessControl::Peer& who, std::optional<std::string_view> file,
                             bool allowWrites = false, std::optional<gid_t> group = kVennixGroup)
{
    return AccessControl::decide(who, file, group, allowWrites, resolve);
}

TEST(AccessControlDecision, RootMayEverythingWithoutFileOrGroup)
{
    const auto rights = decide(peer(0, 0), std::nullopt, false, std::nullopt);
    EXPECT_TRUE(rights.mayOpen);
    EXPECT_TRUE(rights.mayWrite);
}

TEST(AccessControlDecision, UnlistedUserMayNothingEvenWithWritesAllowed)
{
    const auto rights = decide(peer(1002), "alice\n1001\n", true);
    EXPECT_FALSE(rights.mayOpen);
    EXPECT_FALSE(rights.mayWrite);
}

TEST(AccessControlDecision, MissingFileListsNobody)
{
    EXPECT_FALSE(decide(peer(1000), std::nullopt).mayOpen);
    EXPECT_FALSE(decide(peer(1000), "").mayOpen);
}

TEST(AccessControlDecision, ListedUserReadsButWritesOnlyWhenAllowed)
{
    auto rights = decide(peer(1000), "alice\n");
    EXPECT_TRUE(rights.mayOpen);
    EXPECT_FALSE(rights.mayWrite);
    rights = decide(peer(1000), "alice\n", true);
    EXPECT_TRUE(rights.mayOpen);
    EXPECT_TRUE(rights.mayWrite);
}

TEST(AccessControlDecision, GroupMembershipByPrimaryOrSupplementaryGroup)
{
    EXPECT_TRUE(decide(peer(1005, kVennixGroup), std::nullopt).mayOpen);
    EXPECT_TRUE(decide(peer(1005, 100, {4, 24, kVennixGroup}), std::nullopt).mayOpen);
    EXPECT_FALSE(decide(peer(1005, 100, {4, 24}), std::nullopt).mayOpen);
    // Without the group on the system, its number means nothing.
    EXPECT_FALSE(decide(peer(1005, kVennixGroup), std::nullopt, false, std::nullopt).mayOpen);
    // Group members write only when writes are allowed.
    EXPECT_FALSE(decide(peer(1005, kVennixGroup), std::nullopt).mayWrite);
    EXPECT_TRUE(decide(peer(1005, kVennixGroup), std::nullopt, true).mayWrite);
}

TEST(AccessControlFile, NamesAndNumbersCommentsAndWhitespace)
{
    const std::string_view file =
        "# users who may read the CPU's registers\n"
        "\n"
        "   \t\n"
        "  bob  # the admin\n"
        "\t1234\t\r\n"
        "#alice\n"
        "alias-of-alice";
    EXPECT_TRUE(AccessControl::listsUser(file, 1001, resolve));  // "  bob  # ..."
    EXPECT_TRUE(AccessControl::listsUser(file, 1234, resolve));  // tab, CRLF
    EXPECT_TRUE(AccessControl::listsUser(file, 1000, resolve));  // last line, no line feed, alias
    EXPECT_FALSE(AccessControl::listsUser(file, 1002, resolve));
    EXPECT_FALSE(AccessControl::listsUser("#alice\n", 1000, resolve));
}

TEST(AccessControlFile, NumbersAreUidsNeverNames)
{
    EXPECT_TRUE(AccessControl::listsUser("0042\n", 42, resolve));
    // Too large for a uid: names nobody, and does not wrap around to a small one.
    EXPECT_FALSE(AccessControl::listsUser("4294967296\n", 0, resolve));
    EXPECT_FALSE(AccessControl::listsUser("18446744073709551617\n", 1, resolve));
    EXPECT_FALSE(AccessControl::listsUser("-1\n", static_cast<uid_t>(-1), resolve));
    EXPECT_FALSE(AccessControl::listsUser("+42\n", 42, resolve));
    EXPECT_FALSE(AccessControl::listsUser("42abc\n", 42, resolve));
    // A number inside a line with other words is not the line's name.
    EXPECT_FALSE(AccessControl::listsUser("alice 1001\n", 1001, resolve));
}

TEST(AccessControlFile, UnknownNamesAndNoResolverListNobody)
{
    EXPECT_FALSE(AccessControl::listsUser("carol\n", 1000, resolve));
    EXPECT_FALSE(AccessControl::listsUser("alice\n", 1000, nullptr));
    EXPECT_TRUE(AccessControl::listsUser("1000\n", 1000, nullptr));
}

TEST(AccessControlFile, JunkOnALineMakesItInvalidNeverAMatch)
{
    const std::string file("al\0ice\nalice bob\nbob;carol\n42abc\n-1\nbo b\n\xC3\xA9mile\n1001\n", 52);
    std::vector<size_t> invalid;
    const std::set<uid_t> listed = AccessControl::listedUsers(file, resolve, &invalid);
    EXPECT_EQ(listed, std::set<uid_t>{1001});
    EXPECT_EQ(invalid, (std::vector<size_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST(AccessControlSelectors, OnlyMSRWritesAndACPIWithArgumentsAreWrites)
{
    for (uint32_t selector = 0; selector < 8; ++selector) {
        EXPECT_EQ(AccessControl::isWriteSelector(selector),
                  selector == kAccessorMethodSetMSRs || selector == kAccessorMethodSetValueOnDevice)
            << selector;
    }
}

class AccessControlFiles : public ::testing::Test {
protected:
    AccessControlFiles()
    {
        char pattern[] = "/tmp/vennix-access-XXXXXX";
        directory = mkdtemp(pattern);
    }
    ~AccessControlFiles() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string write(const std::string& name, const std::string& text)
    {
        const std::string path = directory + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::string directory;
};

TEST_F(AccessControlFiles, ReadAgainOnlyWhenTheFileChanges)
{
    const std::string path = write("users", "# nobody yet\n");
    const AccessControl access(path, false);
    EXPECT_FALSE(access.rightsOf(peer(4242)).mayOpen);
    EXPECT_FALSE(access.refresh()) << "unchanged: not read again";
    write("users", "4242\n");
    EXPECT_TRUE(access.refresh());
    EXPECT_TRUE(access.rightsOf(peer(4242)).mayOpen);
    EXPECT_FALSE(access.rightsOf(peer(4242)).mayWrite);
    std::filesystem::remove(path);
    EXPECT_FALSE(access.rightsOf(peer(4242)).mayOpen);
    EXPECT_TRUE(access.rightsOf(peer(0)).mayWrite);
}

TEST_F(AccessControlFiles, AFileOthersCouldHaveWrittenListsNobody)
{
    const std::string real = write("real", "4242\n");
    const std::string fifo = directory + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* what;
        std::function<std::string()> make; // the file's path
        const char* why;
    } cases[] = {
        {"world-writable", [&] { const std::string p = write("w", "4242\n"); chmod(p.c_str(), 0666); return p; },
         "others may write it"},
        {"group-writable", [&] { const std::string p = write("g", "4242\n"); chmod(p.c_str(), 0620); return p; },
         "others may write it"},
        {"a link", [&] { const std::string p = directory + "/link"; symlink(real.c_str(), p.c_str()); return p; },
         "it is a symbolic link"},
        {"a directory", [&] { return directory; }, "it is not a regular file"},
        {"a FIFO (must not wait for a writer)", [&] { return fifo; }, "it is not a regular file"},
    };
    for (const Case& c : cases) {
        IOLogCapture log;
        const AccessControl access(c.make(), false);
        EXPECT_FALSE(access.rightsOf(peer(4242)).mayOpen) << c.what;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_NE(lines[0].find(c.why), std::string::npos) << lines[0];
    }
    if (geteuid() == 0) {
        const std::string theirs = write("theirs", "4242\n");
        ASSERT_EQ(chown(theirs.c_str(), 4242, 4242), 0);
        EXPECT_FALSE(AccessControl(theirs, false).rightsOf(peer(4242)).mayOpen) << "owned by the user it lists";
    }
    EXPECT_TRUE(AccessControl(real, false).rightsOf(peer(4242)).mayOpen);
}

TEST_F(AccessControlFiles, AnOversizedFileIsCutAtAWholeLine)
{
    std::string text(AccessControl::kMaxUsersFileSize - 3, '#');
    text += "\nalice\n4242\n"; // "alice" straddles the limit
    std::string why;
    const auto read = ConfigFile::readTrusted(write("big", text), AccessControl::kMaxUsersFileSize, &why);
    ASSERT_TRUE(read) << why;
    EXPECT_LE(read->size(), AccessControl::kMaxUsersFileSize);
    EXPECT_EQ(read->back(), '\n');
    EXPECT_FALSE(AccessControl::listsUser(*read, 4242, resolve));
    // A cut name is not taken for a shorter one.
    EXPECT_EQ(read->find("al"), std::string::npos);
}

} // namespace
} // namespace vennix
