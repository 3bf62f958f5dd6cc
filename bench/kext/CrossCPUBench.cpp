// The cost of one all-CPU MSR batch through the rendezvous (the per-CPU channel's 2 MSRs and
// the package channel's 7), and the spread in time between the CPUs' reads of one batch, on
// the simulated processor and on the file-backed MSR device (one file per online CPU).
//
//   build/bench/kext/cross_cpu_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/AccessorTypes.h"
#include "kext/Vennix.h"
#include "kext/cpuMsrs.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/MSRDevice.h"
#include "sim/SimulatedProcessor.h"

namespace {

using namespace vennix;

const std::vector<uint32_t> kPerCPUMSRs{0xE8, 0xE7};
const std::vector<uint32_t> kPackageMSRs{0xE2, 0x1A2, 0xCE, 0x1AD, 0x64C, 0x620, 0x198};

// A sparse msr file per online CPU in a temporary directory, with every register present.
class FileMachine {
public:
    FileMachine()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vennix-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return;
        fDirectory = pattern;
        for (int cpu : MSRDevice::onlineCPUs()) {
            const std::string dir = fDirectory + "/" + std::to_string(cpu);
            std::filesystem::create_directories(dir);
            const int fd = ::open((dir + "/msr").c_str(), O_RDWR | O_CREAT, 0600);
            const uint64_t value = 0x1234;
            for (uint32_t msr : kPackageMSRs)
                (void)!::pwrite(fd, &value, sizeof value, msr);
            for (uint32_t msr : kPerCPUMSRs)
                (void)!::pwrite(fd, &value, sizeof value, msr);
            ::close(fd);
        }
        device = MSRDevice::open(fDirectory, &error);
    }
    ~FileMachine()
    {
        device.reset();
        std::error_code ignored;
        if (!fDirectory.empty())
            std::filesystem::remove_all(fDirectory, ignored);
    }
    std::unique_ptr<MSRDevice> device;
    std::string error;

private:
    std::string fDirectory;
};

// The service on one processor, started as the daemon starts it.
struct Service {
    explicit Service(CPUHardware& hardware)
    {
        platform = IOPlatformDevice::withHardware(&hardware);
        vennix = OSDynamicCast<Vennix>(OSMetaClass::allocClassWithName("Vennix"));
        vennix->init(nullptr);
        vennix->start(platform);
    }
    ~Service()
    {
        vennix->terminate();
        vennix->release();
        platform->release();
    }
    IOLogCapture quiet; // the service's life-cycle lines stay out of the report
    IOPlatformDevice* platform;
    Vennix* vennix;
};

struct Buffers {
    Buffers(const std::vector<uint32_t>& msrs, uint32_t cpus)
        : request(MSRBatchRequest::size(msrs.size())), result(MSRBatchResult::size(msrs.size(), cpus))
    {
        writeU32(request.data(), 0, static_cast<uint32_t>(msrs.size()));
        writeU32(request.data(), 4, cpus);
        for (size_t i = 0; i < msrs.size(); ++i)
            writeU32(request.data(), 8 + 4 * i, msrs[i]);
        args.structureInput = request.data();
        args.structureInputSize = static_cast<uint32_t>(request.size());
        args.structureOutput = result.data();
        args.structureOutputSize = static_cast<uint32_t>(result.size());
    }
    std::vector<unsigned char> request, result;
    IOExternalMethodArguments args;
};

// One call of selector 1 as the user client makes it: lock, rendezvous, time stamp.
void batch(benchmark::State& state, CPUHardware& hardware, const std::vector<uint32_t>& msrs)
{
    Service service(hardware);
    const uint32_t cpus = hardware.cpuCount();
    Buffers buffers(msrs, cpus);
    RendezvousContext context{service.vennix, &buffers.args};
    for (auto _ : state) {
        IORecursiveLockLock(accessorLock());
        mp_rendezvous_no_intrs(service.vennix, cpuMsrs, &context);
        writeF64(buffers.result.data(), MSRBatchResult::kTimeOffset, service.vennix->getTime());
        IORecursiveLockUnlock(accessorLock());
        benchmark::DoNotOptimize(buffers.result.data());
    }
    state.counters["cpus"] = cpus;
    state.counters["msrs"] = static_cast<double>(msrs.size());
}

// Each CPU notes when it starts its reads; the spread is the last start minus the first.
struct SpreadContext {
    RendezvousContext inner;
    Vennix* vennix;
    uint64_t starts[256];
};

uint64_t nowNanoseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void timedCPUMsrs(void* argument)
{
    auto* context = static_cast<SpreadContext*>(argument);
    context->starts[context->vennix->getCPUHardware()->currentCPU() % 256] = nowNanoseconds();
    cpuMsrs(&context->inner);
}

void spread(benchmark::State& state, CPUHardware& hardware, const std::vector<uint32_t>& msrs)
{
    Service service(hardware);
    const uint32_t cpus = std::min(hardware.cpuCount(), 256u);
    Buffers buffers(msrs, cpus);
    SpreadContext context{{service.vennix, &buffers.args}, service.vennix, {}};
    std::vector<double> spreads;
    for (auto _ : state) {
        mp_rendezvous_no_intrs(service.vennix, timedCPUMsrs, &context);
        const auto [first, last] = std::minmax_element(context.starts, context.starts + cpus);
        spreads.push_back(static_cast<double>(*last - *first));
    }
    std::sort(spreads.begin(), spreads.end());
    if (!spreads.empty()) {
        state.counters["spread_median_us"] = spreads[spreads.size() / 2] / 1000.0;
        state.counters["spread_p99_us"] = spreads[spreads.size() * 99 / 100] / 1000.0;
    }
    state.counters["cpus"] = cpus;
}

sim::SimulatedProcessor& simulated()
{
    static sim::SimulatedProcessor processor;
    return processor;
}

FileMachine& files()
{
    static FileMachine machine;
    return machine;
}

template <void (*Run)(benchmark::State&, CPUHardware&, const std::vector<uint32_t>&)>
void onFiles(benchmark::State& state, const std::vector<uint32_t>& msrs)
{
    if (!files().device) {
        state.SkipWithError(files().error.c_str());
        return;
    }
    Run(state, *files().device, msrs);
}

void BM_Batch_Simulated_2(benchmark::State& s) { batch(s, simulated(), kPerCPUMSRs); }
void BM_Batch_Simulated_7(benchmark::State& s) { batch(s, simulated(), kPackageMSRs); }
void BM_Batch_Files_2(benchmark::State& s) { onFiles<batch>(s, kPerCPUMSRs); }
void BM_Batch_Files_7(benchmark::State& s) { onFiles<batch>(s, kPackageMSRs); }
void BM_Spread_Simulated_2(benchmark::State& s) { spread(s, simulated(), kPerCPUMSRs); }
void BM_Spread_Files_2(benchmark::State& s) { onFiles<spread>(s, kPerCPUMSRs); }

BENCHMARK(BM_Batch_Simulated_2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Batch_Simulated_7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Batch_Files_2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Batch_Files_7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Spread_Simulated_2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Spread_Files_2)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::AddCustomContext("online_cpus", std::to_string(MSRDevice::onlineCPUs().size()));
    benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
    benchmark::AddCustomContext("simulated_cpus", std::to_string(sim::SimulatedProcessor::kCPUCount));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
