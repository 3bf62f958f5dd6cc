#pragma once
// MSR access on all CPUs at once: the one lock that serialises the CPU service's hardware
// access, and the two per-CPU actions its user client hands to the rendezvous.

#include "protocol/IOExternalMethodArguments.h"
#include "kext/platform/IORecursiveLock.h"

namespace vennix {

class Vennix;

// Serialises every call of every connection. Created by the first call that asks for it;
// concurrent first calls share the one lock. Lives as long as the process.
extern IORecursiveLock* gAccessorLock;
IORecursiveLock* accessorLock();

// What every CPU of one rendezvous works from: the service whose getMSR/setMSR do the accesses,
// and the call's request, parsed once by the user client before the rendezvous so that no CPU
// reads the call's arguments. Valid only for the call that holds the lock.
struct RendezvousContext {
    Vennix* provider = nullptr;
    uint64_t cpus = 0;                 // CPUs below this take part
    // Selector 1: the MSRs to read, and the result's rows (8 bytes a value, CPU-major),
    // with room for cpus x count values.
    const uint32_t* msrs = nullptr;
    uint32_t count = 0;
    uint8_t* values = nullptr;
    // Selector 2: (MSR, value) pairs, in list order.
    const uint64_t* writes = nullptr;
    uint32_t writeCount = 0;
};

// Selector 1 on one CPU: when its number n is below cpus, reads the count MSRs into row n of
// the values (n * count + i); otherwise does nothing.
void cpuMsrs(void* context);
// Selector 2 on one CPU: when its number is below cpus, performs the whole write list in
// order; otherwise does nothing.
void cpuSetMsrs(void* context);

// Runs action on every CPU of the provider's processor at once and returns when all are done.
void mp_rendezvous_no_intrs(Vennix* provider, void (*action)(void*), void* context);

} // namespace vennix
