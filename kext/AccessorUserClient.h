#pragma once
// The user client of the Vennix and ACPIAccessor services: one per opened connection. Every
// call arrives at externalMethod, which checks its arguments and performs one of six methods
// under gAccessorLock:
//
//   0 kAccessorMethodGetInfo            out: the 464-byte CPU information record
//   1 kAccessorMethodGetMSRs            in: MSRBatchRequest      out: MSRBatchResult
//   2 kAccessorMethodSetMSRs            scalars: the MSR write list
//   3 kAccessorMethodGetValueOnDevice   in: key\0path\0          out: the result, wire format
//   4 kAccessorMethodSetValueOnDevice   in: key\0path\0argument  out: the result, wire format
//   5 kAccessorMethodCheckValueOnDevice in: key\0path\0          out: a string, wire format
//
// Rejected calls answer kIOReturnBadArgument with both output counts 0 and touch no hardware.
// Selectors 0 to 2 need a Vennix provider (kIOReturnUnsupported on an ACPIAccessor
// connection); 3 to 5 work on either. Bytes of the output that a call does not write stay as
// the caller left them. Who may open a connection and who may write is decided by the daemon.

#include <atomic>
#include <cstdint>

#include "kext/cpuMsrs.h"
#include "kext/platform/IOUserClient.h"

namespace vennix {

class ACPIAccessor;
class IOPlatformDevice;
class Vennix;

class AccessorUserClient : public IOUserClient {
    OSDeclareDefaultStructors(AccessorUserClient)

public:
    // Structures larger than this would travel by memory descriptor: they count as missing.
    static constexpr uint32_t kMaxInlineStructureSize = kIOExternalMethodInlineSize;
    // How much of a selector 4 request the argument object may take at most.
    static constexpr int kMaxArgumentLength = 9999;

    bool initWithTask(task* owningTask, void* securityToken, unsigned int type,
                      OSDictionary* properties) override;
    // Accepts a Vennix or an ACPIAccessor provider and publishes the client.
    bool start(IOService* provider) override;
    // Detaches from the provider: later calls answer kIOReturnNotAttached.
    void stop(IOService* provider) override;

    // dispatch, target and reference are not used.
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch = nullptr,
                            OSObject* target = nullptr, void* reference = nullptr) override;

    // The object wire format (kext/ObjectWireFormat.h).
    int objectToMem(OSObject* object, void* buffer, int size);
    int memToObject(const void* buffer, int length, OSObject** object);

private:
    IOReturn getInfo(Vennix* vennix, IOExternalMethodArguments* arguments);
    IOReturn getMSRs(Vennix* vennix, IOExternalMethodArguments* arguments);
    IOReturn setMSRs(Vennix* vennix, IOExternalMethodArguments* arguments);
    IOReturn callACPI(uint32_t selector, IOService* provider, IOExternalMethodArguments* arguments);

    // Vennix or ACPIAccessor, not retained: the base's start holds the provider until stop,
    // which clears this under the lock.
    std::atomic<IOService*> fProvider{nullptr};
    // The context of the all-CPU runs of selectors 1 and 2; meaningful only during the call
    // that holds the lock.
    RendezvousContext fRendezvous;
};

} // namespace vennix
