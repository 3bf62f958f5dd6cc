// vennixctl against a server that lies, on a real socket: a record whose texts never end and
// whose counts are absurd, batch replies that claim every CPU there could be, ACPI answers of
// junk. Under AddressSanitizer a read past a field or an allocation the server sized fails here.

#include "tests/tools/vennixctl/RunVennixCtl.h"

#include "protocol/Protocol.h"
#include "protocol/AccessorTypes.h"
#include "protocol/CPUInfoRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace qarn {
namespace {

using namespace vennix::protocol;

class HostileServer {
public:
    HostileServer()
    {
        char pattern[] = "/tmp/vennix-hostile-XXXXXX";
        fDirectory = mkdtemp(pattern);
        fPath = fDirectory + "/vennix.sock";
        fListener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", fPath.c_str());
        EXPECT_EQ(::bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fListener, 8), 0);
        fThread = std::thread([this] { serve(); });
    }
    ~HostileServer()
    {
        ::shutdown(fListener, SHUT_RDWR);
        fThread.join();
        ::close(fListener);
        std::filesystem::remove_all(fDirectory);
    }
    const std::string& path() const { return fPath; }

private:
    void serve()
    {
        for (;;) {
            const int client = ::accept(fListener, nullptr, nullptr);
            if (client < 0)
                return;
            Packet packet(kMaxPacketSize);
            for (;;) {
                const ssize_t got = ::recv(client, packet.data(), packet.size(), 0);
                if (got <= 0)
                    break;
                const Packet reply = answer(Bytes(packet.data(), static_cast<size_t>(got)));
                ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            ::close(client);
        }
    }

    static Packet answer(Bytes packet)
    {
        switch (messageType(packet)) {
        case kMatch:
            return encodeMatchReply(true);
        case kOpen:
            return encodeOpenReply(vennix::kIOReturnSuccess);
        default:
            break;
        }
        const std::optional<CallRequest> call = decodeCall(packet);
        if (!call)
            return encodeErrorReply(vennix::kIOReturnBadArgument);
        // As much as the client gave room for, every byte 'A', with the counts at their worst.
        std::vector<uint8_t> output(call->structureOutput.size(), 'A');
        if (call->selector == vennix::kAccessorMethodGetInfo && output.size() >= sizeof(vennix::i386_cpu_info_t)) {
            output.resize(sizeof(vennix::i386_cpu_info_t));
            vennix::writeU32(output.data(), offsetof(vennix::i386_cpu_info_t, thread_count), 0xFFFFFFFF);
            vennix::writeU32(output.data(), offsetof(vennix::i386_cpu_info_t, core_count), 0xFFFFFFFF);
        }
        if (call->selector == vennix::kAccessorMethodGetMSRs && output.size() >= 16) {
            vennix::writeU32(output.data(), 0, call->structureInput.size() >= 4 ? vennix::readU32(call->structureInput.data(), 0) : 0);
            vennix::writeU32(output.data(), 4, 0xFFFFFFFF);
        }
        return encodeCallReply(vennix::kIOReturnSuccess, nullptr, 0, output.data(), output.size());
    }

    std::string fDirectory;
    std::string fPath;
    int fListener = -1;
    std::thread fThread;
};

TEST(HostileServer, VennixctlStaysInsideWhatItWasGiven)
{
    HostileServer server;
    const auto run = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--socket", server.path()});
        return testing::runVennixCtl(arguments);
    };

    const auto info = run({"info"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("vendor       " + std::string(15, 'A') + "\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("brand        " + std::string(47, 'A') + "\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("threads      8192\n"), std::string::npos) << info.out;

    // Every row the reply claims is not read: only those the client asked for and has room for.
    const auto all = run({"rdmsr", "0x198", "--all"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 510) << all.err;

    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"rdmsr", "0x198"}, {"rdmsr", "0x198", "--cpu", "8000"},
          {"metrics", "--interval", "0.01"}, {"acpi", "get", "IOACPIPlane:/_SB", "_STA"},
          {"acpi", "check", "IOACPIPlane:/_SB", "_STA"}}) {
        const auto outcome = run(command);
        EXPECT_LE(outcome.out.size(), 4096u) << command[0];
    }
}

} // namespace
} // namespace qarn
