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
//   wait:MS            -> nothing printed: sleeps
//   flood:MODE:SECONDS -> "flood <connections made>": for SECONDS, as many connections as
//                         the daemon lets this user have, each reconnected when closed:
//                         hold (connect, send nothing), noread (send matches, read no reply)
//                         or reconnect (match, open, close, again)
//   probe:SECONDS      -> "probe <rounds> <failures> <worst ms>": every 20 ms for SECONDS,
//                         a fresh connection matched, opened and asked for the record
// A step that gets no answer prints "<step> none". Exit 0 once all steps ran, 3 when the
// client could not become the user or connect.

#include "tests/daemon/TestCalls.h"
#include "tests/daemon/TestSocket.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

using namespace vennix;
using namespace vennix::testing;
using namespace vennix::protocol;

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

using Clock = std::chrono::steady_clock;

int connectTo(const char* path)
{
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Keeps up to 256 connections busy the hostile way for a while; answers connections made.
unsigned flood(const char* path, const std::string& mode, double seconds)
{
    const Packet match = encodeMatch("Vennix");
    const Packet open = encodeOpen(0);
    std::vector<int> sockets;
    unsigned made = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        // Make more while the daemon takes them.
        while (sockets.size() < 256) {
            const int fd = connectTo(path);
            if (fd < 0)
                break;
            sockets.push_back(fd);
            ++made;
        }
        std::vector<int> alive;
        for (int fd : sockets) {
            pollfd state{fd, POLLRDHUP, 0};
            bool closed = ::poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR));
            if (!closed && mode == "noread") {
                while (::send(fd, match.data(), match.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
                }
            } else if (!closed && mode == "reconnect") {
                uint8_t reply[64];
                ::send(fd, match.data(), match.size(), MSG_NOSIGNAL);
                ::recv(fd, reply, sizeof reply, 0);
                ::send(fd, open.data(), open.size(), MSG_NOSIGNAL);
                ::recv(fd, reply, sizeof reply, 0);
                closed = true;
            }
            if (closed)
                ::close(fd);
            else
                alive.push_back(fd);
        }
        sockets.swap(alive);
        std::this_thread::sleep_for(std::chrono::milliseconds(mode == "reconnect" ? 0 : 5));
    }
    for (int fd : sockets)
        ::close(fd);
    return made;
}

// Rounds of connect, match, open and a record, each timed.
void probe(const char* path, double seconds)
{
    unsigned rounds = 0, failures = 0;
    double worst = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const auto start = Clock::now();
        bool served = false;
        {
            TestSocket socket(path);
            served = socket.connected() && socket.match("Vennix") == true && socket.open() == kIOReturnSuccess;
            if (served) {
                const auto reply = socket.call(getInfoCall());
                served = reply && reply->result == kIOReturnSuccess;
            }
        }
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        worst = std::max(worst, took);
        ++rounds;
        failures += served ? 0 : 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("probe %u %u %.0f\n", rounds, failures, worst);
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

    // Flooding and probing make connections of their own.
    const bool ownSockets = argc > 4 && (std::string(argv[4]).rfind("flood:", 0) == 0
                                         || std::string(argv[4]).rfind("probe:", 0) == 0);
    TestSocket socket(ownSockets ? "" : argv[3]);
    if (!ownSockets && !socket.connected()) {
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
        } else if (name == "wait" && step.size() == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(number(step[1])));
        } else if (name == "flood" && step.size() == 3) {
            std::printf("flood %u\n", flood(argv[3], step[1], std::strtod(step[2].c_str(), nullptr)));
        } else if (name == "probe" && step.size() == 2) {
            probe(argv[3], std::strtod(step[1].c_str(), nullptr));
        } else {
            std::fprintf(stderr, "unknown step %s\n", argv[i]);
            return 3;
        }
        std::fflush(stdout);
    }
    return 0;
}
