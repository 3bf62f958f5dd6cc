// A client of vennixd that runs as another user: the tests start it as root with the user's
// ids, it drops to them, then runs its steps on one connection and prints one line for each.
//
//   vennix_test_client UID GID[,GROUP...] SOCKET STEP...
//
//   match:NAME         -> "match 1" / "match 0"
//   open               -> "open 0x<IOReturn>"
//   getinfo            -> "getinfo 0x<IOReturn> <output size>"
//   read:MSR           -> "read 0x<IOReturn> 0x<value>"
//   write:MSR:VALUE    -> "write 0x<IOReturn>"
//   setv:VALUE         -> "setv 0x<IOReturn> <output bytes in hex>"
//   another:NAME       -> "another 1" / "another 0": match on one more socket; all stay
//                         open until the client ends
// A step that gets no answer prints "<step> none". Exit 0 once all steps ran, 3 when the
// client could not become the user or connect.

#include "tests/daemon/TestCalls.h"
#include "tests/daemon/TestSocket.h"

#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

using namespace vennix;
using namespace vennix::testing;

namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

uint64_t number(const std::string& text)
{
    return std::strtoull(text.c_str(), nullptr, 0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s UID GID[,GROUP...] SOCKET STEP...\n", argv[0]);
        return 3;
    }
    const uid_t uid = static_cast<uid_t>(number(argv[1]));
    const std::vector<std::string> gids = split(argv[2], ',');
    const gid_t gid = static_cast<gid_t>(number(gids[0]));
    std::vector<gid_t> groups;
    for (size_t i = 1; i < gids.size(); ++i)
        groups.push_back(static_cast<gid_t>(number(gids[i])));

    if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0
        || setresuid(uid, uid, uid) != 0) {
        std::perror("cannot become the user");
        return 3;
    }

    TestSocket socket(argv[3]);
    if (!socket.connected()) {
        std::perror("cannot connect");
        return 3;
    }
    std::vector<std::unique_ptr<TestSocket>> others; // held until the client ends
    for (int i = 4; i < argc; ++i) {
        const std::vector<std::string> step = split(argv[i], ':');
        const std::string& name = step[0];
        if (name == "match" && step.size() == 2) {
            const std::optional<bool> found = socket.match(step[1]);
            if (found)
                std::printf("match %d\n", *found ? 1 : 0);
            else
                std::printf("match none\n");
        } else if (name == "open") {
            const std::optional<IOReturn> result = socket.open(0);
            if (result)
                std::printf("open 0x%08x\n", static_cast<unsigned>(*result));
            else
                std::printf("open none\n");
        } else if (name == "getinfo") {
            const auto reply = socket.call(getInfoCall());
            if (reply)
                std::printf("getinfo 0x%08x %zu\n", static_cast<unsigned>(reply->result),
                            reply->structureOutput.size());
            else
                std::printf("getinfo none\n");
        } else if (name == "read" && step.size() == 2) {
            const auto reply = socket.call(readMSRCall(static_cast<uint32_t>(number(step[1]))));
            if (reply)
                std::printf("read 0x%08x 0x%llx\n", static_cast<unsigned>(reply->result),
                            static_cast<unsigned long long>(msrValue(*reply)));
            else
                std::printf("read none\n");
        } else if (name == "write" && step.size() == 3) {
            const auto reply = socket.call(
                writeMSRCall(static_cast<uint32_t>(number(step[1])), number(step[2])));
            if (reply)
                std::printf("write 0x%08x\n", static_cast<unsigned>(reply->result));
            else
                std::printf("write none\n");
        } else if (name == "setv" && step.size() == 2) {
            const auto reply = socket.call(setValueCall(number(step[1])));
            if (reply) {
                std::printf("setv 0x%08x ", static_cast<unsigned>(reply->result));
                for (size_t b = 0; b < reply->structureOutput.size() && b < 12; ++b)
                    std::printf("%02x", reply->structureOutput[b]);
                std::printf("\n");
            } else {
                std::printf("setv none\n");
            }
        } else if (name == "another" && step.size() == 2) {
            others.push_back(std::make_unique<TestSocket>(argv[3]));
            TestSocket& second = *others.back();
            const std::optional<bool> found = second.connected() ? second.match(step[1]) : std::nullopt;
            if (found)
                std::printf("another %d\n", *found ? 1 : 0);
            else
                std::printf("another none\n");
        } else {
            std::fprintf(stderr, "unknown step %s\n", argv[i]);
            return 3;
        }
        std::fflush(stdout);
    }
    return 0;
}
