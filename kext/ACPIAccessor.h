#pragma once
// The ACPI service: evaluates methods of ACPI devices for its user client. A device is named
// by its registry path ("IOACPIPlane:/_SB/PCI0/LPCB/EC0"), a method by its name ("_STA").
// The operations keep no state and report failure only through what they return.

#include "kext/platform/IOService.h"

namespace vennix {

class IOPlatformDevice;
class OSSymbol;

class ACPIAccessor : public IOService {
    OSDeclareDefaultStructors(ACPIAccessor)

public:
    bool init(OSDictionary* dictionary = nullptr) override;
    // Takes the machine's registry (its ACPI layer) from the provider, an IOPlatformDevice;
    // on any other provider no path resolves.
    bool start(IOService* provider) override;

    // Always a string: the class name of the method's result ("OSNumber"), "Falscher Key"
    // when the evaluation fails, or the path itself when it leads to no ACPI device.
    OSObject* checkValueOnDevice(const OSSymbol* key, const OSSymbol* path);
    // The method's result (the caller's reference), or null.
    OSObject* getValueOnDevice(const OSSymbol* key, const OSSymbol* path);
    // Evaluates the method with value as its single argument: its result, or null.
    OSObject* setValueOnDevice(const OSSymbol* key, const OSSymbol* path, OSObject* value);

    // The same operations on the ACPI devices of registry (null: none resolves), for callers
    // that reach the machine through another service.
    static OSObject* checkValueOnDevice(const IOPlatformDevice* registry, const OSSymbol* key,
                                        const OSSymbol* path);
    static OSObject* getValueOnDevice(const IOPlatformDevice* registry, const OSSymbol* key,
                                      const OSSymbol* path);
    static OSObject* setValueOnDevice(const IOPlatformDevice* registry, const OSSymbol* key,
                                      const OSSymbol* path, OSObject* value);

    // The registry the service started on; null before start or on a foreign provider.
    const IOPlatformDevice* getRegistry() const { return fRegistry; }

protected:
    void free() override;

private:
    IOPlatformDevice* fRegistry = nullptr; // retained from start until free
};

} // namespace vennix
