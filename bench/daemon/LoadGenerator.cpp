// Many clients at once against one vennixd: calls per second, summed over the clients, for the
// CPU information record, an all-CPU MSR batch and an ACPI get, each for a few seconds.
//
//   vennix_load [--vennixd PATH | --socket PATH] [--clients N] [--seconds S]
//
// With --vennixd (default: the one built beside this tool) it starts that daemon with
// --simulate on a socket of its own, so that two builds of vennixd can be compared in one run.

#include "protocol/AccessorTypes.h"
#include "protocol/CPUInfoRecord.h"
#include "platform/SocketServiceDirectory.h"
#include "tests/support/VennixdChild.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vennix;
using qarn::ServiceConnection;

enum class Call { Info, AllCPUBatch, ACPIGet };

struct Options {
    std::string vennixd = VENNIXD_PATH;
    std::string socket;
    unsigned clients = 64;
    double seconds = 3;
};

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (option == "--vennixd")
            options.vennixd = value;
        else if (option == "--socket")
            options.socket = value;
        else if (option == "--clients")
            options.clients = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (option == "--seconds")
            options.seconds = std::strtod(value, nullptr);
        else
            return false;
    }
    return options.clients > 0 && options.seconds > 0;
}

// One client's loop: calls until stop, counting those that succeed; false on the first failure.
bool hammer(ServiceConnection& connection, Call call, const std::atomic<bool>& stop, uint64_t& done)
{
    static const uint32_t kMSRs[] = {0xE8, 0xE7};
    uint8_t request[MSRBatchRequest::size(2)];
    MSRBatchRequest::write(request, kMSRs, 2, 8);
    static const char kACPI[] = "_STA\0IOACPIPlane:/_SB/PCI0/LPCB/EC0";
    std::vector<uint8_t> output(1024);
    while (!stop.load(std::memory_order_relaxed)) {
        size_t size = 0;
        IOReturn result = kIOReturnSuccess;
        switch (call) {
        case Call::Info:
            size = sizeof(i386_cpu_info_t);
            result = connection.callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size);
            break;
        case Call::AllCPUBatch:
            size = MSRBatchResult::size(2, 8);
            result = connection.callStructMethod(kAccessorMethodGetMSRs, request, sizeof request, output.data(), &size);
            break;
        case Call::ACPIGet:
            size = 64;
            result = connection.callStructMethod(kAccessorMethodGetValueOnDevice, kACPI, sizeof kACPI, output.data(),
                                                 &size);
            break;
        }
        if (result != kIOReturnSuccess)
            return false;
        ++done;
    }
    return true;
}

double callsPerSecond(const std::string& socket, const Options& options, Call call, std::string& problem)
{
    qarn::SocketServiceDirectory directory(socket);
    std::vector<std::unique_ptr<ServiceConnection>> connections;
    for (unsigned i = 0; i < options.clients; ++i) {
        auto service = directory.getMatchingService(call == Call::ACPIGet ? "ACPIAccessor" : "Vennix");
        auto connection = service ? service->open(0) : nullptr;
        if (!connection) {
            problem = "client " + std::to_string(i) + " could not open a connection";
            return 0;
        }
        connections.push_back(std::move(connection));
    }
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::vector<uint64_t> done(options.clients, 0);
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < options.clients; ++i)
        threads.emplace_back([&, i] {
            if (!hammer(*connections[i], call, stop, done[i]))
                failed = true;
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    stop = true;
    for (auto& thread : threads)
        thread.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failed)
        problem = "a call failed";
    uint64_t total = 0;
    for (uint64_t n : done)
        total += n;
    return total / elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: vennix_load [--vennixd PATH | --socket PATH] [--clients N] [--seconds S]\n");
        return 2;
    }
    std::unique_ptr<testing::VennixdChild> daemon;
    std::string socket = options.socket;
    if (socket.empty()) {
        daemon = std::make_unique<testing::VennixdChild>(std::vector<std::string>{"--simulate"}, options.vennixd);
        if (!daemon->running()) {
            std::fprintf(stderr, "vennix_load: %s\n", daemon->problem().c_str());
            return 1;
        }
        socket = daemon->socketPath();
    }
    const std::pair<const char*, Call> calls[] = {
        {"record (selector 0)", Call::Info},
        {"all-CPU batch, 2 MSRs x 8 CPUs", Call::AllCPUBatch},
        {"ACPI get _STA", Call::ACPIGet},
    };
    std::printf("%u clients, %.1f s each, %s\n", options.clients, options.seconds,
                options.socket.empty() ? options.vennixd.c_str() : socket.c_str());
    int status = 0;
    for (const auto& [name, call] : calls) {
        std::string problem;
        const double rate = callsPerSecond(socket, options, call, problem);
        std::printf("  %-32s %10.0f calls/s%s%s\n", name, rate, problem.empty() ? "" : "  FAILED: ", problem.c_str());
        if (!problem.empty())
            status = 1;
    }
    return status;
}
