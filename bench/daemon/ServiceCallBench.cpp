// The round trip of one call to the CPU service: over the socket to a real vennixd --simulate
// (started by the benchmark on a socket of its own) and in-process to embedded services, for
// an empty call (selector 6, refused at once), the package channel's 7-MSR single-CPU batch,
// the per-CPU channel's 2-MSR all-CPU batch and the CPU information record.
//
//   build/bench/daemon/service_call_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include "protocol/AccessorTypes.h"
#include "protocol/CPUInfoRecord.h"
#include "kext/platform/IOLog.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "platform/SocketServiceDirectory.h"
#include "tests/support/VennixdChild.h"

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace vennix;
using qarn::ServiceConnection;

const std::vector<uint32_t> kPackageMSRs{0xE2, 0x1A2, 0xCE, 0x1AD, 0x64C, 0x620, 0x198};
const std::vector<uint32_t> kPerCPUMSRs{0xE8, 0xE7};


std::unique_ptr<ServiceConnection> openVennix(qarn::ServiceDirectory& directory)
{
    auto service = directory.getMatchingService("Vennix");
    return service ? service->open(0) : nullptr;
}

std::vector<uint8_t> batchRequest(const std::vector<uint32_t>& msrs, uint32_t cpus)
{
    std::vector<uint8_t> request(MSRBatchRequest::size(msrs.size()));
    MSRBatchRequest::write(request.data(), msrs.data(), static_cast<uint32_t>(msrs.size()), cpus);
    return request;
}

enum class Call { Empty, SingleCPUBatch, AllCPUBatch, Info };

void runCalls(benchmark::State& state, ServiceConnection* connection, Call call)
{
    if (connection == nullptr) {
        state.SkipWithError("no connection to the CPU service");
        return;
    }
    const std::vector<uint8_t> single = batchRequest(kPackageMSRs, 1);
    const std::vector<uint8_t> all = batchRequest(kPerCPUMSRs, 8);
    std::vector<uint8_t> output(1024);
    IOReturn expected = kIOReturnSuccess;
    IOReturn result = kIOReturnSuccess;
    for (auto _ : state) {
        size_t size = 0;
        switch (call) {
        case Call::Empty:
            expected = kIOReturnBadArgument;
            result = connection->callStructMethod(6, nullptr, 0, nullptr, &size);
            break;
        case Call::SingleCPUBatch:
            size = MSRBatchResult::size(kPackageMSRs.size(), 1);
            result = connection->callStructMethod(kAccessorMethodGetMSRs, single.data(), single.size(), output.data(), &size);
            break;
        case Call::AllCPUBatch:
            size = MSRBatchResult::size(kPerCPUMSRs.size(), 8);
            result = connection->callStructMethod(kAccessorMethodGetMSRs, all.data(), all.size(), output.data(), &size);
            break;
        case Call::Info:
            size = sizeof(i386_cpu_info_t);
            result = connection->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size);
            break;
        }
        if (result != expected) {
            state.SkipWithError("the call failed");
            return;
        }
        benchmark::DoNotOptimize(output.data());
    }
}

} // namespace

int main(int argc, char** argv)
{
    // The services log their life cycle; keep the benchmark's table readable.
    IOLogCapture quiet;
    vennix::testing::VennixdChild daemon;
    qarn::SocketServiceDirectory socketDirectory(daemon.socketPath());
    auto overSocket = openVennix(socketDirectory);
    auto embedded = qarn::EmbeddedServiceDirectory::simulated();
    auto inProcess = embedded ? openVennix(*embedded) : nullptr;

    const std::pair<const char*, Call> calls[] = {
        {"EmptyCall_Selector6", Call::Empty},
        {"SingleCPUBatch_7MSRs", Call::SingleCPUBatch},
        {"AllCPUBatch_2MSRs", Call::AllCPUBatch},
        {"CPUInfo_Selector0", Call::Info},
    };
    for (const auto& [name, call] : calls) {
        benchmark::RegisterBenchmark((std::string("Socket/") + name).c_str(),
                                     [&, call = call](benchmark::State& s) { runCalls(s, overSocket.get(), call); })
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("InProcess/") + name).c_str(),
                                     [&, call = call](benchmark::State& s) { runCalls(s, inProcess.get(), call); })
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    overSocket.reset();
    inProcess.reset();
    return 0;
}
