// The CPU work of one tick of the monitor: the package channel's and the per-CPU channel's
// samples (three calls to the CPU service), in-process on embedded simulated services and over
// the socket to a real vennixd --simulate that the benchmark starts on a socket of its own.
//
//   build/bench/app/tick_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include "kext/platform/IOLog.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "platform/SocketServiceDirectory.h"
#include "telemetry/CPUChannel.h"
#include "telemetry/IntelCPU.h"
#include "telemetry/PackageChannel.h"
#include "tests/support/VennixdChild.h"


namespace {


void tick(benchmark::State& state, std::shared_ptr<qarn::IntelCPU> cpu)
{
    if (!cpu) {
        state.SkipWithError("no CPU accessor");
        return;
    }
    auto package = qarn::PackageChannel::with(cpu);
    auto perCPU = qarn::CPUChannel::with(cpu);
    for (auto _ : state) {
        package->sample();
        perCPU->sample();
    }
}

} // namespace

int main(int argc, char** argv)
{
    vennix::IOLogCapture quiet;
    vennix::testing::VennixdChild daemon;
    qarn::SocketServiceDirectory socketDirectory(daemon.socketPath());
    auto overSocket = qarn::IntelCPU::create(socketDirectory);
    auto embedded = qarn::EmbeddedServiceDirectory::simulated();
    auto inProcess = embedded ? qarn::IntelCPU::create(*embedded) : nullptr;

    benchmark::RegisterBenchmark("Tick/InProcess", [&](benchmark::State& s) { tick(s, inProcess); })->UseRealTime();
    benchmark::RegisterBenchmark("Tick/Socket", [&](benchmark::State& s) { tick(s, overSocket); })->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    overSocket.reset();
    inProcess.reset();
    return 0;
}
