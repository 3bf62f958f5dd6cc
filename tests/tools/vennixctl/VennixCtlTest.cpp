// vennixctl in this process: its command line, its commands on the simulated processor, and a
// server that lies on a real socket (texts that never end, absurd counts, replies that claim
// every CPU there could be), where a read past a field or an allocation the server sized fails.

#include <gtest/gtest.h>

#include "protocol/AccessorTypes.h"
#include "protocol/CPUInfoRecord.h"
#include "protocol/Protocol.h"
#include "tests/support/TemporaryDirectory.h"
#include "vennixctl/VennixCtl.h"

#include <iterator>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace qarn {
namespace {

using namespace std::chrono_literals;
using namespace vennix::protocol;

struct Outcome { int status; std::string out, err; };

Outcome run(const std::string& line)
{
    std::istringstream words(line);
    std::ostringstream out, err;
    const int status = VennixCtl::main({std::istream_iterator<std::string>(words), {}}, out, err);
    return {status, out.str(), err.str()};
}

TEST(VennixCtl, CommandLinesAsUsersTypeThem)
{
    const struct { const char* text; std::optional<uint64_t> number; } numbers[] = {
        {"429", 429}, {"0x1AD", 0x1AD}, {"0X1ad", 0x1AD}, {"0", 0}, {"0xFFFFFFFFFFFFFFFF", UINT64_MAX},
        {"18446744073709551615", UINT64_MAX}, {"", {}}, {"0x", {}}, {"-1", {}}, {"+1", {}}, {" 1", {}}, {"1 ", {}},
        {"1x", {}}, {"0x1G", {}}, {"1AD", {}}, {"0x10000000000000000", {}}, {"18446744073709551616", {}},
        {"1.5", {}}, {"0b101", {}},
    };
    for (const auto& c : numbers)
        EXPECT_EQ(VennixCtl::parseNumber(c.text), c.number) << c.text;
    const struct { const char* text; std::optional<std::chrono::milliseconds> interval; } intervals[] = {
        {"1", 1s}, {"0.25", 250ms}, {"0.01", 10ms}, {"3600", 3600s}, {"", {}}, {"0", {}}, {"0.009", {}}, {"-1", {}},
        {"3601", {}}, {"1s", {}}, {"nan", {}}, {"inf", {}},
    };
    for (const auto& c : intervals)
        EXPECT_EQ(VennixCtl::parseInterval(c.text), c.interval) << c.text;
    // Mistakes are refused before anything is sent: a refusal that mentions the missing socket
    // would mean a call was attempted.
    for (const char* mistake :
         {"", "--socket", "--bogus info", "frobnicate", "--simulate info", "info extra", "rdmsr", "rdmsr 0x1G",
          "rdmsr 0x100000000", "rdmsr 0x1AD --cpu", "rdmsr 0x1AD --cpu one", "rdmsr 0x1AD --cpu 1 --all",
          "wrmsr 0x1AD", "wrmsr 0x1AD -5", "wrmsr 0x1AD 5 --cpus 1", "wrmsr 0x1AD 5 --everywhere",
          "metrics --interval 0", "metrics --count 0", "metrics --count x", "metrics --count -1", "metrics --count",
          "metrics --json=1", "info --json --json", "info --xml", "acpi", "acpi peek P K", "acpi get IOACPIPlane:/_SB",
          "acpi set IOACPIPlane:/_SB SETV", "acpi set IOACPIPlane:/_SB SETV seven"}) {
        const Outcome r = run(std::string("--socket /nonexistent/vennix.sock ") + mistake);
        EXPECT_TRUE(r.status == VennixCtl::kExitUsage && r.out.empty() && r.err.rfind("vennixctl: ", 0) == 0
                    && r.err.find("cannot connect") == std::string::npos) << mistake << ": " << r.err;
    }
    const Outcome none = run("--socket /nonexistent/vennix.sock info");
    EXPECT_TRUE(none.status == VennixCtl::kExitFailed && none.err.find("is vennixd running?") != std::string::npos);
}

TEST(VennixCtl, EachCommandOnTheSimulatedProcessor)
{
    const std::string ec = " IOACPIPlane:/_SB/PCI0/LPCB/EC0 ";
    const struct { std::string command; int status; const char* out; const char* err; } cases[] = {
        {"info", 0,
         "^vendor       GenuineIntel\nbrand        Simulated.*\nfamily       6\nmodel        0x5E \\(94\\)\n"
         "stepping     3\nfamily code  0x[0-9A-F]{8}\ncores        4\nthreads      8\n$",
         "simulated processor"},
        {"rdmsr 0x1AD --cpu 8", 1, "^$", "there is no CPU 8: this processor has 8 \\(0 to 7\\)"},
        {"rdmsr 0xCE --all", 0, "^CPU 0: 0x[0-9a-f]+\n(CPU [1-7]: 0x[0-9a-f]+\n){7}$", ""},
        {"wrmsr 0x1AD 1", 0, "^wrote 0x1 to MSR 0x1ad on the calling CPU\n$", ""},
        {"acpi get" + ec + "BUFF", 0, "^01 02 03 04\n$", ""},
        {"acpi get" + ec + "NAME", 0, "^Simulated EC\n$", ""},
        {"acpi check" + ec + "_STA", 0, "^OSNumber\n$", ""},
        {"acpi check" + ec + "NOPE", 0, "^Falscher Key\n$", ""},
        {"acpi set" + ec + "SETV 0x2A", 0, "^42\n$", ""},
        {"acpi get IOACPIPlane:/_SB/NOPE _STA", 1, "^$", "vennixctl: no value"},
        // A block a sample, a blank line between them.
        {"metrics --interval 0.02 --count 2", 0, "^(multiplier .*\n(.* [0-9.]+ .*\n){4})\n(multiplier .*\n(.* [0-9.]+ .*\n){4})$",
         ""},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run("--simulate " + c.command);
        EXPECT_EQ(outcome.status, c.status) << c.command << ": " << outcome.err;
        EXPECT_TRUE(std::regex_search(outcome.out, std::regex(c.out))) << c.command << ": " << outcome.out;
        EXPECT_TRUE(std::regex_search(outcome.err, std::regex(c.err))) << c.command << ": " << outcome.err;
    }
    // The package draws power, and the CPUs run between 22 and 42 under the default load: the
    // latest sample at face value, not an eight-slot mean after two samples.
    const Outcome metrics = run("--simulate metrics --interval 0.05 --count 1");
    std::smatch figures;
    ASSERT_TRUE(std::regex_search(metrics.out, figures, std::regex("^multiplier +([0-9.]+) .*\ncore voltage .* V\n"
        "core temperature .* °C\npackage temperature .* °C\npackage power +([0-9.]+) W\n$"))) << metrics.out;
    EXPECT_TRUE(std::stod(figures[1]) >= 22 && std::stod(figures[1]) <= 42 && std::stod(figures[2]) > 0) << metrics.out;
}

// Answers every call with all the room the client gave filled with 'A', counts at their worst.
Packet lie(Bytes packet)
{
    if (messageType(packet) != kCall)
        return messageType(packet) == kMatch ? encodeMatchReply(true) : encodeOpenReply(vennix::kIOReturnSuccess);
    const CallRequest call = decodeCall(packet).value_or(CallRequest{});
    std::vector<uint8_t> output(call.structureOutput.size(), 'A');
    if (call.selector == vennix::kAccessorMethodGetInfo && output.size() >= sizeof(vennix::i386_cpu_info_t)) {
        output.resize(sizeof(vennix::i386_cpu_info_t));
        vennix::writeU32(output.data(), offsetof(vennix::i386_cpu_info_t, thread_count), 0xFFFFFFFF);
        vennix::writeU32(output.data(), offsetof(vennix::i386_cpu_info_t, core_count), 0xFFFFFFFF);
    }
    if (call.selector == vennix::kAccessorMethodGetMSRs && output.size() >= 16 && call.structureInput.size() >= 4) {
        vennix::writeU32(output.data(), 0, vennix::readU32(call.structureInput.data(), 0));
        vennix::writeU32(output.data(), 4, 0xFFFFFFFF);
    }
    return encodeCallReply(vennix::kIOReturnSuccess, nullptr, 0, output.data(), output.size());
}

TEST(VennixCtl, StaysInsideWhatALyingServerGivesIt)
{
    vennix::testing::TemporaryDirectory directory;
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (directory / "vennix.sock").c_str());
    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    std::thread server([listener] {
        Packet packet(kMaxPacketSize);
        for (int client; (client = ::accept(listener, nullptr, nullptr)) >= 0; ::close(client))
            for (ssize_t got; (got = ::recv(client, packet.data(), packet.size(), 0)) > 0;) {
                const Packet reply = lie(Bytes(packet.data(), static_cast<size_t>(got)));
                ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
    });
    const std::string socket = "--socket " + directory / "vennix.sock ";
    const Outcome info = run(socket + "info");
    const std::regex bounded("^vendor {7}A{15}\nbrand {8}A{47}\n(.*\n){5}threads {6}8192\n$");
    EXPECT_TRUE(std::regex_search(info.out, bounded)) << info.out;
    const Outcome all = run(socket + "rdmsr 0x198 --all");
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 510) << "the rows asked for and with room";
    // Its record names no Intel processor: every figure is null, none made up, and the run fails.
    const Outcome nulls = run(socket + "metrics --interval 0.01 --count 5 --json");
    EXPECT_EQ(nulls.status, VennixCtl::kExitFailed);
    EXPECT_TRUE(std::regex_search(nulls.out, std::regex("^\\{\"time_seconds\":[0-9.]+,(\"[a-z_]+\":null,){7}\"simulated\":false\\}\n$")))
        << nulls.out;
    for (const char* command : {"rdmsr 0x198", "rdmsr 0x198 --cpu 8000", "metrics --interval 0.01 --count 1",
                                "acpi get IOACPIPlane:/_SB _STA", "acpi check IOACPIPlane:/_SB _STA"})
        EXPECT_LE(run(socket + command).out.size(), 4096u) << command;
    ::shutdown(listener, SHUT_RDWR);
    server.join();
    ::close(listener);
}

} // namespace
} // namespace qarn
