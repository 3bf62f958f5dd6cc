#pragma once
// The matching personalities of the CPU service: which services vennixd (and the monitor,
// when it embeds them) creates, in which order, and which class serves their connections.

#include <span>

namespace vennix {

class OSDictionary;

struct Personality {
    const char* className;
    // The class created for each connection; null for a service nobody connects to.
    const char* userClientClass;
};

class Personalities {
public:
    // Vennix, ACPIAccessor, H_ECAccessor, PCIAccessor, in the order they start.
    static std::span<const Personality> table();

    // The personality as the service's init receives it: "IOClass", "IOProviderClass" and,
    // where there is one, "IOUserClientClass". A new dictionary (the caller's reference), or
    // null when memory runs out.
    static OSDictionary* dictionary(const Personality& personality);
};

} // namespace vennix
