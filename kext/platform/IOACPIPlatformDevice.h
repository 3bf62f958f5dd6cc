#pragma once
// An ACPI device of the registry's ACPI plane: what IOPlatformDevice::fromPath answers for a
// path such as "IOACPIPlane:/_SB/PCI0/LPCB/EC0" that names an existing device. Its methods are
// evaluated by the ACPI layer it was found on.

#include "protocol/IOReturn.h"
#include "kext/platform/OSObject.h"

namespace vennix {

class ACPIPlatform;
class OSString;
class OSSymbol;

class IOACPIPlatformDevice : public OSObject {
    OSDeclareDefaultStructors(IOACPIPlatformDevice)

public:
    // A new device object (count 1) for path on acpi, which must outlive it. Null when acpi or
    // path is null; existence is the finder's business.
    static IOACPIPlatformDevice* withPath(ACPIPlatform* acpi, const char* path);

    // Evaluates the method objectName with paramCount arguments. On success *result (when
    // result is not null) holds the method's result, the caller's reference, or null when it
    // returns nothing; on failure it is null and the answer is the ACPI layer's code. options
    // are not used.
    virtual IOReturn evaluateObject(const OSSymbol* objectName, OSObject** result = nullptr,
                                    OSObject** params = nullptr, IOItemCount paramCount = 0,
                                    IOOptionBits options = 0);

    // The registry path the device was found under.
    const char* getPath() const;

protected:
    void free() override;

private:
    ACPIPlatform* fACPI = nullptr;
    OSString* fPath = nullptr;
};

} // namespace vennix
