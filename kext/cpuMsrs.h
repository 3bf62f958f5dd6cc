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

// What every CPU of one rendezvous reads: the service whose getMSR/setMSR do the accesses and
// the call whose buffers hold the request and receive the result. Valid only for the call
// that holds the lock.
struct RendezvousContext {
    Vennix* provider = nullptr;
    IOExternalMethodArguments* arguments = nullptr;
};

// Selector 1 on one CPU: when its number n is below the request's cpus, reads the request's
// count MSRs into row n of the result (values[n * count + i]); otherwise does nothing.
void cpuMsrs(void* context);
// Selector 2 on one CPU: when its number is below scalar 1, performs the whole write list
// (scalars 2, 4, ...: MSR, the next scalar: value) in order; otherwise does nothing.
void cpuSetMsrs(void* context);

// Runs action on every CPU of the provider's processor at once and returns when all are done.
void mp_rendezvous_no_intrs(Vennix* provider, void (*action)(void*), void* context);

} // namespace vennix
