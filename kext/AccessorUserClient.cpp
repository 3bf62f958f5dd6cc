#include "kext/AccessorUserClient.h"

#include <algorithm>
#include <cstring>

#include "kext/ACPIAccessor.h"
#include "protocol/AccessorTypes.h"
#include "kext/ObjectWireFormat.h"
#include "kext/Vennix.h"
#include "kext/cpuid.h"
#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSSymbol.h"

namespace vennix {

namespace {

// Holds gAccessorLock for one call.
class AccessorLockHold {
public:
    AccessorLockHold() : fLock(accessorLock()) { IORecursiveLockLock(fLock); }
    ~AccessorLockHold() { IORecursiveLockUnlock(fLock); }
    AccessorLockHold(const AccessorLockHold&) = delete;
    AccessorLockHold& operator=(const AccessorLockHold&) = delete;

private:
    IORecursiveLock* fLock;
};

bool hasInput(const IOExternalMethodArguments* arguments)
{
    return arguments->structureInput != nullptr && arguments->structureInputSize > 0
        && arguments->structureInputSize <= AccessorUserClient::kMaxInlineStructureSize;
}

bool hasOutput(const IOExternalMethodArguments* arguments)
{
    return arguments->structureOutput != nullptr && arguments->structureOutputSize > 0
        && arguments->structureOutputSize <= AccessorUserClient::kMaxInlineStructureSize;
}

constexpr uint32_t kInfoSize = sizeof(i386_cpu_info_t);
// The smallest output of selectors 3 to 5: room for a number item.
constexpr uint32_t kMinimumObjectOutput = 12;

} // namespace

bool AccessorUserClient::initWithTask(task* owningTask, void* securityToken, unsigned int type,
                                      OSDictionary* properties)
{
    IOLog("%s/ Init with task\n", getClassName());
    if (owningTask == nullptr)
        return false;
    if (!IOUserClient::initWithTask(owningTask, securityToken, type, properties)) {
        IOLog("%s/ Failed to Initialize\n", getClassName());
        return false;
    }
    fProvider.store(nullptr);
    return true;
}

bool AccessorUserClient::start(IOService* provider)
{
    IOLog("%s/ Start\n", getClassName());
    if (!IOUserClient::start(provider))
        return false;
    IOService* accepted = OSDynamicCast<Vennix>(provider);
    if (accepted == nullptr)
        accepted = OSDynamicCast<ACPIAccessor>(provider);
    if (accepted == nullptr) {
        IOUserClient::stop(provider);
        IOLog("%s/ Provider must be %s class service!\n", getClassName(), "Vennix");
        return false;
    }
    fProvider.store(accepted);
    registerService(0);
    return true;
}

void AccessorUserClient::stop(IOService* provider)
{
    {
        // Waits for a call in progress; none starts on this provider afterwards.
        AccessorLockHold hold;
        fProvider.store(nullptr);
    }
    IOUserClient::stop(provider);
}

int AccessorUserClient::objectToMem(OSObject* object, void* buffer, int size)
{
    return vennix::objectToMem(object, buffer, size);
}

int AccessorUserClient::memToObject(const void* buffer, int length, OSObject** object)
{
    return vennix::memToObject(buffer, length, object);
}

IOReturn AccessorUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                            IOExternalMethodDispatch* dispatch, OSObject* target,
                                            void* reference)
{
    if (arguments == nullptr)
        return kIOReturnBadArgument;
    if (fProvider.load() == nullptr) {
        arguments->scalarOutputCount = 0;
        return kIOReturnNotAttached;
    }

    AccessorLockHold hold;
    // stop may have run while this call waited for the lock.
    IOService* provider = fProvider.load();
    if (provider == nullptr) {
        arguments->scalarOutputCount = 0;
        return kIOReturnNotAttached;
    }

    Vennix* vennix = OSDynamicCast<Vennix>(provider);
    IOReturn status;
    switch (selector) {
    case kAccessorMethodGetInfo:
        status = vennix ? getInfo(vennix, arguments) : kIOReturnUnsupported;
        break;
    case kAccessorMethodGetMSRs:
        status = vennix ? getMSRs(vennix, arguments) : kIOReturnUnsupported;
        break;
    case kAccessorMethodSetMSRs:
        status = vennix ? setMSRs(vennix, arguments) : kIOReturnUnsupported;
        break;
    case kAccessorMethodGetValueOnDevice:
    case kAccessorMethodSetValueOnDevice:
    case kAccessorMethodCheckValueOnDevice:
        status = callACPI(selector, provider, arguments);
        break;
    default:
        status = kIOReturnBadArgument;
        break;
    }

    // No method answers scalars.
    arguments->scalarOutputCount = 0;
    if (status != kIOReturnSuccess)
        arguments->structureOutputSize = 0;
    return status;
}

IOReturn AccessorUserClient::getInfo(Vennix* vennix, IOExternalMethodArguments* arguments)
{
    if (!hasOutput(arguments) || arguments->structureOutputSize < kInfoSize)
        return kIOReturnBadArgument;
    // The record's pointer fields would tell every client where the service's statics lie;
    // the copy carries them as null.
    i386_cpu_info_t copy;
    std::memcpy(&copy, vennix->getInfo(), kInfoSize);
    copy.cpuid_model_string = nullptr;
    copy.cpuid_mwait_leafp = nullptr;
    copy.cpuid_thermal_leafp = nullptr;
    copy.cpuid_arch_perf_leafp = nullptr;
    copy.cpuid_xsave_leafp = nullptr;
    std::memcpy(arguments->structureOutput, &copy, kInfoSize);
    arguments->structureOutputSize = kInfoSize;
    return kIOReturnSuccess;
}

IOReturn AccessorUserClient::getMSRs(Vennix* vennix, IOExternalMethodArguments* arguments)
{
    if (!hasInput(arguments) || !hasOutput(arguments)
        || arguments->structureInputSize < MSRBatchRequest::kHeaderSize)
        return kIOReturnBadArgument;
    const void* request = arguments->structureInput;
    const uint32_t count = readU32(request, 0);
    const uint32_t cpus = readU32(request, 4);
    if (arguments->structureInputSize < MSRBatchRequest::size(count))
        return kIOReturnBadArgument;
    // A single-CPU batch still fills one row, so it needs room for one even when cpus is 0.
    const uint64_t rows = std::max<uint32_t>(cpus, 1);
    if (arguments->structureOutputSize < MSRBatchResult::size(count, rows))
        return kIOReturnBadArgument;

    void* result = arguments->structureOutput;
    // The request parsed once, here: the MSR numbers arrive unaligned in the caller's buffer.
    uint32_t msrs[(AccessorUserClient::kMaxInlineStructureSize - MSRBatchRequest::kHeaderSize) / 4];
    for (uint32_t i = 0; i < count; ++i)
        msrs[i] = MSRBatchRequest::msrAt(request, i);
    uint32_t resultCPUs;
    if (cpus <= 1) {
        for (uint32_t i = 0; i < count; ++i)
            writeU64(result, MSRBatchResult::kHeaderSize + 8 * size_t{i}, vennix->getMSR(msrs[i]));
        resultCPUs = 1;
    } else {
        fRendezvous = RendezvousContext{};
        fRendezvous.provider = vennix;
        fRendezvous.cpus = cpus;
        fRendezvous.msrs = msrs;
        fRendezvous.count = count;
        fRendezvous.values = static_cast<uint8_t*>(result) + MSRBatchResult::kHeaderSize;
        mp_rendezvous_no_intrs(vennix, cpuMsrs, &fRendezvous);
        fRendezvous = RendezvousContext{};
        // Only rows a CPU wrote count: the record may say more threads than the CPUs the
        // rendezvous runs on (CPUs offline, threads switched off, a second package), and a
        // row nobody wrote holds whatever the caller's buffer held.
        const CPUHardware* hardware = vennix->getCPUHardware();
        const uint32_t read = hardware ? hardware->cpuCount() : 0;
        resultCPUs = std::min({cpus, vennix->getInfo()->thread_count, read});
    }
    writeU32(result, 0, count);
    writeU32(result, 4, resultCPUs);
    writeF64(result, MSRBatchResult::kTimeOffset, vennix->getTime());
    arguments->structureOutputSize = static_cast<uint32_t>(MSRBatchResult::size(count, resultCPUs));
    return kIOReturnSuccess;
}

IOReturn AccessorUserClient::setMSRs(Vennix* vennix, IOExternalMethodArguments* arguments)
{
    const uint64_t* scalars = arguments->scalarInput;
    const uint32_t scalarCount = arguments->scalarInputCount;
    if (scalars == nullptr || scalarCount < 4 || scalarCount % 2 != 0)
        return kIOReturnBadArgument;
    if (scalars[1] <= 1) {
        for (uint32_t i = 2; i + 1 < scalarCount; i += 2)
            vennix->setMSR(static_cast<uint32_t>(scalars[i]), scalars[i + 1]);
    } else {
        fRendezvous = RendezvousContext{};
        fRendezvous.provider = vennix;
        fRendezvous.cpus = scalars[1];
        fRendezvous.writes = scalars + 2;
        fRendezvous.writeCount = (scalarCount - 2) / 2;
        mp_rendezvous_no_intrs(vennix, cpuSetMsrs, &fRendezvous);
        fRendezvous = RendezvousContext{};
    }
    arguments->structureOutputSize = 0;
    return kIOReturnSuccess;
}

IOReturn AccessorUserClient::callACPI(uint32_t selector, IOService* provider,
                                      IOExternalMethodArguments* arguments)
{
    if (!hasInput(arguments) || !hasOutput(arguments)
        || arguments->structureOutputSize < kMinimumObjectOutput)
        return kIOReturnBadArgument;

    // key\0path\0[argument]: both strings end within the input, or the call is refused.
    const auto* input = static_cast<const char*>(arguments->structureInput);
    const size_t inputSize = arguments->structureInputSize;
    const auto* keyEnd = static_cast<const char*>(std::memchr(input, '\0', inputSize));
    if (keyEnd == nullptr)
        return kIOReturnBadArgument;
    const char* pathText = keyEnd + 1;
    const size_t afterKey = inputSize - static_cast<size_t>(pathText - input);
    const auto* pathEnd = static_cast<const char*>(std::memchr(pathText, '\0', afterKey));
    if (pathEnd == nullptr)
        return kIOReturnBadArgument;

    OSObject* argument = nullptr;
    if (selector == kAccessorMethodSetValueOnDevice) {
        const char* argumentBytes = pathEnd + 1;
        const size_t remaining = inputSize - static_cast<size_t>(argumentBytes - input);
        const int limit = static_cast<int>(std::min<size_t>(remaining, kMaxArgumentLength));
        if (memToObject(argumentBytes, limit, &argument) == 0)
            return kIOReturnBadArgument; // missing, unreadable or running past the input
    }

    const OSSymbol* key = OSSymbol::withCString(input);
    const OSSymbol* path = OSSymbol::withCString(pathText);
    if (key == nullptr || path == nullptr) {
        OSSafeReleaseNULL(key);
        OSSafeReleaseNULL(path);
        OSSafeReleaseNULL(argument);
        return kIOReturnNoMemory;
    }

    // On an ACPIAccessor connection its own operations; on a Vennix connection the same
    // operations on the machine the Vennix service started on.
    ACPIAccessor* accessor = OSDynamicCast<ACPIAccessor>(provider);
    const IOPlatformDevice* registry =
        accessor ? accessor->getRegistry() : OSDynamicCast<IOPlatformDevice>(provider->getProvider());
    OSObject* result = nullptr;
    switch (selector) {
    case kAccessorMethodCheckValueOnDevice:
        result = ACPIAccessor::checkValueOnDevice(registry, key, path);
        break;
    case kAccessorMethodGetValueOnDevice:
        result = ACPIAccessor::getValueOnDevice(registry, key, path);
        break;
    default:
        result = ACPIAccessor::setValueOnDevice(registry, key, path, argument);
        break;
    }

    // The output size stays what the caller gave: the reader goes by the item's own lengths.
    if (result != nullptr) {
        objectToMem(result, arguments->structureOutput, static_cast<int>(arguments->structureOutputSize));
        result->release();
    }
    key->release();
    path->release();
    OSSafeReleaseNULL(argument);
    return kIOReturnSuccess;
}

} // namespace vennix
