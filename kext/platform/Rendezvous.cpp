#include "kext/platform/Rendezvous.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include <chrono>
#include <system_error>

namespace vennix {

namespace {

thread_local int tCurrentCPU = -1;
thread_local const Rendezvous* tCurrentPool = nullptr;

// How long a waiting thread busy-waits before it goes to sleep. A peer woken from sleep
// takes some microseconds to run; spinning that long at the entry barrier keeps the starts
// of a batch within a microsecond or two where every thread has a core. Between batches a
// thread spins only briefly: batches come from a display tick, far apart, and a spinning
// thread only keeps others off its core.
constexpr std::chrono::nanoseconds kEntrySpin = std::chrono::microseconds(50);
constexpr std::chrono::nanoseconds kIdleSpin = std::chrono::microseconds(5);
constexpr std::chrono::nanoseconds kCallerSpin = std::chrono::microseconds(50);

inline void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Sleeps while value holds expected, on the futex itself: std::atomic::wait would first yield
// the core a dozen times, which with a thread per CPU and a batch per display tick is most of
// what an idle pool costs.
void futexWait(const std::atomic<uint32_t>& value, uint32_t expected)
{
    syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&value), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWakeAll(std::atomic<uint32_t>& value)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&value), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "a futex is a plain 32-bit word");

// Waits until value satisfies done(v): spins for up to spin, then sleeps on the value.
template <typename Done>
uint32_t await(const std::atomic<uint32_t>& value, std::chrono::nanoseconds spin, Done done)
{
    if (spin.count() > 0) {
        const auto until = std::chrono::steady_clock::now() + spin;
        for (unsigned round = 1;; ++round) {
            const uint32_t v = value.load(std::memory_order_acquire);
            if (done(v))
                return v;
            cpuRelax();
            // Reading the clock costs more than a pause: look at it now and then.
            if (round % 64 == 0 && std::chrono::steady_clock::now() >= until)
                break;
        }
    }
    for (;;) {
        const uint32_t v = value.load(std::memory_order_acquire);
        if (done(v))
            return v;
        futexWait(value, v);
    }
}

// Cores this process may run on.
unsigned usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

bool pinCallingThread(int linuxCPU)
{
    if (linuxCPU < 0)
        return false;
    const size_t count = static_cast<size_t>(linuxCPU) + 1;
    cpu_set_t* set = CPU_ALLOC(count);
    if (!set)
        return false;
    const size_t size = CPU_ALLOC_SIZE(count);
    CPU_ZERO_S(size, set);
    CPU_SET_S(static_cast<size_t>(linuxCPU), size, set);
    const bool pinned = sched_setaffinity(0, size, set) == 0;
    CPU_FREE(set);
    return pinned;
}

std::vector<int> firstCPUs(unsigned count)
{
    std::vector<int> cpus(count);
    for (unsigned i = 0; i < count; ++i)
        cpus[i] = static_cast<int>(i);
    return cpus;
}

} // namespace

Rendezvous::Rendezvous(const std::vector<int>& linuxCPUs, bool pin)
    : fLinuxCPUs(linuxCPUs)
    , fPinned(linuxCPUs.size(), 0)
    , fPin(pin)
{
    // With more threads than cores the peers cannot run side by side anyway: spinning would
    // only keep a sleeping peer off its core, and an entry barrier would cost a second wake-up.
    const size_t cores = usableCores();
    const bool ownCore = fLinuxCPUs.size() <= cores;
    fEntryBarrier = ownCore;
    fEntrySpin = ownCore ? kEntrySpin : std::chrono::nanoseconds(0);
    fIdleSpin = ownCore ? kIdleSpin : std::chrono::nanoseconds(0);
    // The caller spins only where that leaves a core for every worker.
    fCallerSpin = fLinuxCPUs.size() < cores ? kCallerSpin : std::chrono::nanoseconds(0);

    fThreads.reserve(fLinuxCPUs.size());
    try {
        for (unsigned i = 0; i < fLinuxCPUs.size(); ++i)
            fThreads.emplace_back(&Rendezvous::workerMain, this, i);
    } catch (const std::system_error&) {
        // Out of threads: a pool short of CPUs would hand out wrong CPU numbers, so it
        // becomes an empty one (cpuCount() 0) that its owner can refuse.
        stopWorkers();
        fThreads.clear();
        fLinuxCPUs.clear();
        fPinned.clear();
        return;
    }

    // isPinned answers only once every worker has tried.
    const uint32_t all = static_cast<uint32_t>(fThreads.size());
    await(fReady, std::chrono::nanoseconds(0), [all](uint32_t v) { return v == all; });
}

Rendezvous::Rendezvous(unsigned count)
    : Rendezvous(firstCPUs(count), false)
{
}

Rendezvous::~Rendezvous()
{
    stopWorkers();
}

void Rendezvous::stopWorkers()
{
    {
        std::lock_guard<std::mutex> lock(fRunLock);
        fStopping = true;
        fGeneration.fetch_add(1, std::memory_order_release);
        futexWakeAll(fGeneration);
    }
    for (std::thread& thread : fThreads) {
        if (thread.joinable())
            thread.join();
    }
}

int Rendezvous::linuxCPU(unsigned cpu) const
{
    return cpu < fLinuxCPUs.size() ? fLinuxCPUs[cpu] : -1;
}

bool Rendezvous::isPinned(unsigned cpu) const
{
    return cpu < fPinned.size() && fPinned[cpu] != 0;
}

void Rendezvous::run(CPUHardware::Action action, void* argument)
{
    if (!action || fThreads.empty() || tCurrentPool == this)
        return;

    std::lock_guard<std::mutex> lock(fRunLock);
    fAction = action;
    fArgument = argument;
    fRemaining.store(static_cast<uint32_t>(fLinuxCPUs.size()), std::memory_order_relaxed);
    fGeneration.fetch_add(1, std::memory_order_release);
    futexWakeAll(fGeneration);
    await(fRemaining, fCallerSpin, [](uint32_t v) { return v == 0; });
}

int Rendezvous::currentCPU()
{
    return tCurrentCPU;
}

const Rendezvous* Rendezvous::current()
{
    return tCurrentPool;
}

void Rendezvous::workerMain(unsigned index)
{
    if (fPin)
        fPinned[index] = pinCallingThread(fLinuxCPUs[index]) ? 1 : 0;
    fReady.fetch_add(1, std::memory_order_release);
    futexWakeAll(fReady);

    const uint32_t threads = static_cast<uint32_t>(fLinuxCPUs.size());
    uint32_t seen = 0; // the generation at construction; a batch released before this
                       // thread got here is still seen as new
    for (;;) {
        seen = await(fGeneration, fIdleSpin, [seen](uint32_t v) { return v != seen; });
        if (fStopping)
            return;

        if (fEntryBarrier) {
            if (fArrived.fetch_add(1, std::memory_order_acq_rel) + 1 == threads) {
                // Last to arrive: every peer has counted itself, so the counter is free
                // for the next batch.
                fArrived.store(0, std::memory_order_relaxed);
                fStarted.store(seen, std::memory_order_release);
                futexWakeAll(fStarted);
            } else {
                const uint32_t generation = seen;
                await(fStarted, fEntrySpin, [generation](uint32_t v) { return v == generation; });
            }
        }

        tCurrentPool = this;
        tCurrentCPU = static_cast<int>(index);
        fAction(fArgument);
        tCurrentCPU = -1;
        tCurrentPool = nullptr;

        if (fRemaining.fetch_sub(1, std::memory_order_acq_rel) == 1)
            futexWakeAll(fRemaining);
    }
}

} // namespace vennix
