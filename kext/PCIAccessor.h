#pragma once
// A service with no calls of its own: it identifies the processor into a record of its own at
// start, which shows in the log, and publishes itself.

#include "kext/platform/IOService.h"

namespace vennix {

class PCIAccessor : public IOService {
    OSDeclareDefaultStructors(PCIAccessor)

public:
    bool init(OSDictionary* dictionary = nullptr) override;
    bool start(IOService* provider) override;

protected:
    void free() override;
};

} // namespace vennix
