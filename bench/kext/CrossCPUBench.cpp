// One all-CPU MSR batch (the per-CPU channel's 2 MSRs, the package channel's 7) read through
// the rendezvous, beside the way per-CPU tools read it: migrate to each CPU in turn and pread
// there. Both on MSR files (one per online CPU), in one run; each reports its time and the
// spread between the first and the last CPU's reads, and the end of the run prints the
// ratios. The simulated processor's rendezvous is measured too.
//
//   build/bench/kext/cross_cpu_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kext/Vennix.h"
#include "kext/cpuMsrs.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/MSRDevice.h"
#include "protocol/AccessorTypes.h"
#include "sim/SimulatedProcessor.h"

namespace {

using namespace vennix;

const std::vector<uint32_t> kPerCPUMSRs{0xE8, 0xE7};
const std::vector<uint32_t> kPackageMSRs{0xE2, 0x1A2, 0xCE, 0x1AD, 0x64C, 0x620, 0x198};

uint64_t now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// A sparse msr file per online CPU, every register present.
struct FileMachine {
    FileMachine()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vennix-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return;
        directory = pattern;
        for (int cpu : MSRDevice::onlineCPUs()) {
            std::filesystem::create_directories(directory + "/" + std::to_string(cpu));
            const int fd = ::open((directory + "/" + std::to_string(cpu) + "/msr").c_str(), O_RDWR | O_CREAT, 0600);
            const uint64_t value = 0x1234;
            for (const auto* list : {&kPackageMSRs, &kPerCPUMSRs})
                for (uint32_t msr : *list)
                    (void)!::pwrite(fd, &value, sizeof value, msr);
            ::close(fd);
        }
        device = MSRDevice::open(directory, &error);
    }
    ~FileMachine()
    {
        device.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    std::string directory;
    std::unique_ptr<MSRDevice> device;
    std::string error;
};

FileMachine& files()
{
    static FileMachine machine;
    return machine;
}

struct Result {
    double seconds = 0;
    double spreadMicroseconds = 0;
};
std::map<std::string, Result> gResults;

void report(benchmark::State& state, const std::string& name, std::vector<double>& spreads, uint32_t cpus)
{
    std::sort(spreads.begin(), spreads.end());
    if (spreads.empty())
        return;
    state.counters["spread_median_us"] = spreads[spreads.size() / 2] / 1000.0;
    state.counters["spread_p99_us"] = spreads[spreads.size() * 99 / 100] / 1000.0;
    state.counters["cpus"] = cpus;
    gResults[name].spreadMicroseconds = spreads[spreads.size() / 2] / 1000.0;
}

// Each CPU notes when it starts; the rows go where the service's own action puts them.
struct Timed {
    RendezvousContext context;
    uint64_t starts[256];
};

void timedCPUMsrs(void* argument)
{
    auto* timed = static_cast<Timed*>(argument);
    timed->starts[timed->context.provider->getCPUHardware()->currentCPU() % 256] = now();
    cpuMsrs(&timed->context);
}

// Selector 1 as the user client runs it: lock, rendezvous, time stamp.
void rendezvousBatch(benchmark::State& state, CPUHardware& hardware, const std::vector<uint32_t>& msrs,
                     const std::string& name)
{
    IOLogCapture quiet;
    IOPlatformDevice* platform = IOPlatformDevice::withHardware(&hardware);
    auto* vennix = OSDynamicCast<Vennix>(OSMetaClass::allocClassWithName("Vennix"));
    vennix->init(nullptr);
    vennix->start(platform);
    const uint32_t cpus = std::min(hardware.cpuCount(), 256u);
    std::vector<uint8_t> values(8 * msrs.size() * cpus);
    Timed timed{};
    timed.context.provider = vennix;
    timed.context.cpus = cpus;
    timed.context.msrs = msrs.data();
    timed.context.count = static_cast<uint32_t>(msrs.size());
    timed.context.values = values.data();
    std::vector<double> spreads;
    for (auto _ : state) {
        IORecursiveLockLock(accessorLock());
        mp_rendezvous_no_intrs(vennix, timedCPUMsrs, &timed);
        benchmark::DoNotOptimize(vennix->getTime());
        IORecursiveLockUnlock(accessorLock());
        const auto [first, last] = std::minmax_element(timed.starts, timed.starts + cpus);
        spreads.push_back(static_cast<double>(*last - *first));
    }
    report(state, name, spreads, cpus);
    vennix->terminate();
    vennix->release();
    platform->release();
}

// What per-CPU tools do: move to each CPU in turn and read its file there.
void sequentialBatch(benchmark::State& state, const std::vector<uint32_t>& msrs, const std::string& name)
{
    const std::vector<int> cpus = MSRDevice::onlineCPUs();
    std::vector<int> fds;
    for (int cpu : cpus)
        fds.push_back(::open((files().directory + "/" + std::to_string(cpu) + "/msr").c_str(), O_RDONLY));
    cpu_set_t saved;
    sched_getaffinity(0, sizeof saved, &saved);
    std::vector<double> spreads;
    for (auto _ : state) {
        uint64_t first = 0, last = 0;
        for (size_t n = 0; n < cpus.size(); ++n) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpus[n], &one);
            sched_setaffinity(0, sizeof one, &one);
            last = now();
            first = n == 0 ? last : first;
            for (uint32_t msr : msrs) {
                uint64_t value;
                benchmark::DoNotOptimize(::pread(fds[n], &value, sizeof value, msr));
            }
        }
        sched_setaffinity(0, sizeof saved, &saved);
        spreads.push_back(static_cast<double>(last - first));
    }
    report(state, name, spreads, static_cast<uint32_t>(cpus.size()));
    for (int fd : fds)
        ::close(fd);
}

void onFiles(benchmark::State& state, const std::vector<uint32_t>& msrs, bool rendezvous, const std::string& name)
{
    if (!files().device) {
        state.SkipWithError(files().error.c_str());
        return;
    }
    if (rendezvous)
        rendezvousBatch(state, *files().device, msrs, name);
    else
        sequentialBatch(state, msrs, name);
}

} // namespace

int main(int argc, char** argv)
{
    static sim::SimulatedProcessor simulated;
    const std::pair<const char*, const std::vector<uint32_t>*> batches[] = {{"2", &kPerCPUMSRs}, {"7", &kPackageMSRs}};
    for (const auto& [size, msrs] : batches) {
        for (bool rendezvous : {true, false}) {
            const std::string name = std::string(rendezvous ? "Rendezvous" : "Sequential") + "/Files/" + size;
            benchmark::RegisterBenchmark(name.c_str(), [msrs = msrs, rendezvous, name](benchmark::State& s) {
                onFiles(s, *msrs, rendezvous, name);
            })->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RegisterBenchmark("Rendezvous/Simulated/2", [](benchmark::State& s) {
        rendezvousBatch(s, simulated, kPerCPUMSRs, "Rendezvous/Simulated/2");
    })->Unit(benchmark::kMicrosecond);

    benchmark::AddCustomContext("online_cpus", std::to_string(MSRDevice::onlineCPUs().size()));
    benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // The times come from the reporter; the spreads were noted by each run.
    class Keeper : public benchmark::ConsoleReporter {
    public:
        void ReportRuns(const std::vector<Run>& runs) override
        {
            for (const Run& run : runs)
                gResults[run.benchmark_name()].seconds = run.GetAdjustedRealTime() / 1e6;
            ConsoleReporter::ReportRuns(runs);
        }
    } keeper;
    benchmark::RunSpecifiedBenchmarks(&keeper);
    benchmark::Shutdown();
    for (const char* size : {"2", "7"}) {
        const Result rendezvous = gResults[std::string("Rendezvous/Files/") + size];
        const Result sequential = gResults[std::string("Sequential/Files/") + size];
        if (rendezvous.seconds > 0 && sequential.seconds > 0 && sequential.spreadMicroseconds > 0)
            std::printf("%s MSRs on files: rendezvous / sequential = %.2f in time, %.3f in spread\n", size,
                        rendezvous.seconds / sequential.seconds,
                        rendezvous.spreadMicroseconds / sequential.spreadMicroseconds);
    }
    return 0;
}
