#pragma once
// The ACPI service: evaluates methods of ACPI devices for its user client.

#include "kext/platform/IOService.h"

namespace vennix {

class ACPIAccessor : public IOService {
    OSDeclareDefaultStructors(ACPIAccessor)

public:
    bool init(OSDictionary* dictionary = nullptr) override;
    bool start(IOService* provider) override;

protected:
    void free() override;
};

} // namespace vennix
