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
// reads the request and writes its own row, so they need no synchronisation among themselves.
// The user client has checked the sizes; the checks here keep a CPU inside the buffers all the
// same.

void cpuMsrs(void* context)
{
    auto* rendezvous = static_cast<RendezvousContext*>(context);
    const IOExternalMethodArguments* args = rendezvous->arguments;
    Vennix* provider = rendezvous->provider;
    const void* request = args->structureInput;
    void* result = args->structureOutput;
    if (request == nullptr || result == nullptr || args->structureInputSize < MSRBatchRequest::kHeaderSize)
        return;

    const uint64_t n = provider->getCPUHardware()->currentCPU();
    const uint32_t count = readU32(request, 0);
    const uint32_t cpus = readU32(request, 4);
    if (n >= cpus)
        return;
    if (MSRBatchRequest::size(count) > args->structureInputSize
        || MSRBatchResult::size(count, n + 1) > args->structureOutputSize)
        return;

    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t msr = MSRBatchRequest::msrAt(request, i);
        writeU64(result, MSRBatchResult::kHeaderSize + 8 * (n * count + i), provider->getMSR(msr));
    }
}

void cpuSetMsrs(void* context)
{
    auto* rendezvous = static_cast<RendezvousContext*>(context);
    const IOExternalMethodArguments* args = rendezvous->arguments;
    Vennix* provider = rendezvous->provider;
    const uint64_t* scalars = args->scalarInput;
    const uint32_t scalarCount = args->scalarInputCount;
    if (scalars == nullptr || scalarCount < 2)
        return;

    const uint64_t n = provider->getCPUHardware()->currentCPU();
    if (n >= scalars[1])
        return;
    for (uint32_t i = 2; i + 1 < scalarCount; i += 2)
        provider->setMSR(static_cast<uint32_t>(scalars[i]), scalars[i + 1]);
}

void mp_rendezvous_no_intrs(Vennix* provider, void (*action)(void*), void* context)
{
    if (provider != nullptr && provider->getCPUHardware() != nullptr)
        provider->getCPUHardware()->rendezvous(action, context);
}

} // namespace vennix
