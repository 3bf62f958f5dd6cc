#pragma once
// The two boolean values. There is one object per value, kOSBooleanTrue and kOSBooleanFalse;
// they are never freed, and retain/release on them are harmless, so code may treat them like
// any other object it owns.

#include "kext/platform/OSObject.h"

namespace vennix {

class OSBoolean final : public OSObject {
    OSDeclareCommonStructors(OSBoolean)

public:
    // kOSBooleanTrue or kOSBooleanFalse.
    static OSBoolean* withBoolean(bool value);

    bool isTrue() const { return fValue; }
    bool isFalse() const { return !fValue; }
    bool getValue() const { return fValue; }

    bool isEqualTo(const OSObject* other) const override { return other == this; }

    // The two values' storage; name them as kOSBooleanTrue and kOSBooleanFalse.
    static OSBoolean gTrue;
    static OSBoolean gFalse;

protected:
    // The values are never freed; free() is reached only by a release too many.
    void free() override {}

private:
    constexpr explicit OSBoolean(bool value) : OSObject(Permanent{}), fValue(value) {}
    ~OSBoolean() override;

    const bool fValue;
};

// Constant pointers with constant initialisers: usable from any static constructor.
inline constexpr OSBoolean* kOSBooleanTrue = &OSBoolean::gTrue;
inline constexpr OSBoolean* kOSBooleanFalse = &OSBoolean::gFalse;

} // namespace vennix
