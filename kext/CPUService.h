#pragma once
// The base of the services that identify the processor of their platform device when they
// start: Vennix, H_ECAccessor and PCIAccessor. init and free write the class's "init" and
// "free" lines; start writes its start line, starts the base, identifies the processor (once
// per platform device, see cpuid_set_info) into the service's record and publishes the
// service. Without a platform device nothing is identified or published.

#include "kext/cpuid.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/IOService.h"

namespace vennix {

class CPUService : public IOService {
    OSDeclareAbstractStructors(CPUService)

public:
    bool init(OSDictionary* dictionary = nullptr) override;
    bool start(IOService* provider) override;

protected:
    void free() override;

    // The record identification fills; it lives as long as the process.
    virtual i386_cpu_info_t* record() = 0;
    // The name the start line is written under: the class's, unless a service says otherwise.
    virtual const char* startLogName() const { return getClassName(); }
    // Called once the processor is identified, before the service is published.
    virtual void started(IOPlatformDevice& platform) {}
};

} // namespace vennix
