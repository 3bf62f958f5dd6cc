#include "kext/cpuMsrs.h"

#include <mutex>

#include "protocol/AccessorTypes.h"
#include "kext/Vennix.h"

namespace vennix {

IORecursiveLock* gAccessorLock = nullptr;

IORecursiveLock* accessorLock()
{
    static std::once_flag once;
    std::call_once(once, [] { gAccessorLock = IORecursiveLockAlloc(); });
    return gAccessorLock;
}

// Both actions run on every CPU at once: no locks, no allocation, no log lines. Each CPU only
// reads the parsed request and writes its own row, so they need no synchronisation among
// themselves.

void cpuMsrs(void* context)
{
    const auto* rendezvous = static_cast<const RendezvousContext*>(context);
    Vennix* provider = rendezvous->provider;
    const uint64_t n = provider->getCPUHardware()->currentCPU();
    if (n >= rendezvous->cpus || rendezvous->values == nullptr)
        return;
    uint8_t* row = rendezvous->values + 8 * n * rendezvous->count;
    for (uint32_t i = 0; i < rendezvous->count; ++i)
        writeU64(row, 8 * size_t{i}, provider->getMSR(rendezvous->msrs[i]));
}

void cpuSetMsrs(void* context)
{
    const auto* rendezvous = static_cast<const RendezvousContext*>(context);
    Vennix* provider = rendezvous->provider;
    const uint64_t n = provider->getCPUHardware()->currentCPU();
    if (n >= rendezvous->cpus || rendezvous->writes == nullptr)
        return;
    for (uint32_t i = 0; i + 1 < rendezvous->writeCount * 2; i += 2)
        provider->setMSR(static_cast<uint32_t>(rendezvous->writes[i]), rendezvous->writes[i + 1]);
}

void mp_rendezvous_no_intrs(Vennix* provider, void (*action)(void*), void* context)
{
    if (provider != nullptr && provider->getCPUHardware() != nullptr)
        provider->getCPUHardware()->rendezvous(action, context);
}

} // namespace vennix
