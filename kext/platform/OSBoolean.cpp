#include "kext/platform/OSBoolean.h"

namespace vennix {

// Not creatable by name: there are only the two values.
OSDefineMetaClass(OSBoolean, OSObject, nullptr)

// Constant-initialised, so that they exist before any static constructor can use them.
constinit OSBoolean OSBoolean::gTrue{true};
constinit OSBoolean OSBoolean::gFalse{false};

OSBoolean::~OSBoolean() = default;

OSBoolean* OSBoolean::withBoolean(bool value)
{
    return value ? kOSBooleanTrue : kOSBooleanFalse;
}

} // namespace vennix
