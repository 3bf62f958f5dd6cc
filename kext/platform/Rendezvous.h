#pragma once
// The all-CPU rendezvous: a pool of threads, one per CPU, that run one action together.
//
// Each thread stands for one CPU of the list it was given (CPU number = position in the
// list) and may be pinned to that Linux CPU. run() releases all threads at once; each runs
// the action while currentCPU() answers its CPU number, and run() returns when every one
// has finished. User space cannot disable interrupts, so the pool keeps the starts of one
// batch close instead: all threads are woken at once and, when the machine has a core for
// each of them, meet at an entry barrier before they call the action. Waiting threads spin
// briefly and then sleep, so an idle pool costs no CPU time.

#include "kext/platform/CPUHardware.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vennix {

class Rendezvous {
public:
    // One thread per entry of linuxCPUs; with pin, each is bound to its Linux CPU (best
    // effort: a CPU the process may not run on leaves its thread unpinned, see isPinned).
    Rendezvous(const std::vector<int>& linuxCPUs, bool pin);
    // count unpinned threads (CPUs 0 .. count - 1), e.g. for simulated CPUs.
    explicit Rendezvous(unsigned count);
    // Stops and joins the threads; waits for a run in progress to finish.
    ~Rendezvous();

    Rendezvous(const Rendezvous&) = delete;
    Rendezvous& operator=(const Rendezvous&) = delete;

    // 0 when the threads could not be started.
    unsigned cpuCount() const { return static_cast<unsigned>(fLinuxCPUs.size()); }
    // The Linux CPU a thread stands for, -1 for a number out of range.
    int linuxCPU(unsigned cpu) const;
    // Whether that thread is bound to its Linux CPU.
    bool isPinned(unsigned cpu) const;

    // Runs action(argument) on every thread at once and returns when all have finished.
    // Calls are serialised: a second caller waits until the first has returned. A call from
    // inside one of this pool's own actions would wait for itself; it returns at once and
    // runs nothing. A null action runs nothing.
    void run(CPUHardware::Action action, void* argument);

    // The CPU number of the calling thread while it runs a rendezvous action, else -1.
    static int currentCPU();
    // The pool whose action the calling thread runs, else null.
    static const Rendezvous* current();

private:
    void workerMain(unsigned index);
    void stopWorkers();

    std::vector<int> fLinuxCPUs;
    std::vector<char> fPinned; // written by each worker before the constructor returns
    bool fPin;
    bool fEntryBarrier;        // only worth it when every thread has a core of its own
    // How long each wait busy-waits before it sleeps.
    std::chrono::nanoseconds fEntrySpin;  // a worker at the entry barrier
    std::chrono::nanoseconds fIdleSpin;   // a worker waiting for the next batch
    std::chrono::nanoseconds fCallerSpin; // run() waiting for the batch to finish
    std::vector<std::thread> fThreads;

    std::mutex fRunLock;
    CPUHardware::Action fAction = nullptr; // published by the release of fGeneration
    void* fArgument = nullptr;
    bool fStopping = false;                // likewise

    // Each on its own cache line: the workers hammer them from different cores.
    alignas(64) std::atomic<uint32_t> fGeneration{0}; // bumped once per batch (and to stop)
    alignas(64) std::atomic<uint32_t> fArrived{0};    // workers at the entry barrier
    alignas(64) std::atomic<uint32_t> fStarted{0};    // generation the entry barrier released
    alignas(64) std::atomic<uint32_t> fRemaining{0};  // workers still running the action
    alignas(64) std::atomic<uint32_t> fReady{0};      // workers that have started up
};

} // namespace vennix
