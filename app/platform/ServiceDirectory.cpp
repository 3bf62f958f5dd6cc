#include "platform/ServiceDirectory.h"

#include <cstdio>

namespace qarn {

std::unique_ptr<ServiceConnection> ServiceDirectory::openService(const std::string& name, uint32_t type,
                                                                  IOReturn* result, std::string* why)
{
    IOReturn opened = vennix::kIOReturnNoDevice;
    std::string reason;
    std::unique_ptr<ServiceConnection> connection;
    if (auto service = getMatchingService(name, &reason)) {
        connection = service->open(type, &opened);
        if (connection && opened != vennix::kIOReturnSuccess) {
            connection->close();
            connection.reset();
        }
        if (!connection)
            reason = "the service " + name + " refused the connection: " + describeIOReturn(opened);
    } else if (reason.empty()) {
        reason = "no service " + name;
    }
    if (result)
        *result = opened;
    if (why)
        *why = connection ? std::string() : reason;
    return connection;
}

std::string ServiceDirectory::explainUnavailable(const std::string& name)
{
    std::string why;
    openService(name, 0, nullptr, &why);
    return why;
}

std::string describeIOReturn(IOReturn result)
{
    switch (result) {
    case vennix::kIOReturnSuccess: return "success";
    case vennix::kIOReturnError: return "general error";
    case vennix::kIOReturnNoMemory: return "out of memory";
    case vennix::kIOReturnIPCError: return "the CPU service cannot be reached";
    case vennix::kIOReturnNoDevice: return "no such service";
    case vennix::kIOReturnNotPrivileged: return "this call needs root (or vennixd --allow-writes)";
    case vennix::kIOReturnBadArgument: return "bad argument";
    case vennix::kIOReturnUnsupported: return "not supported by this service";
    case vennix::kIOReturnNotOpen: return "connection not open";
    case vennix::kIOReturnTimeout: return "the CPU service did not answer in time";
    case vennix::kIOReturnNotAttached: return "connection not attached to a service";
    case vennix::kIOReturnNotPermitted:
        return "not permitted: ask an administrator to add you to the group vennix or to /etc/vennix/users";
    default: break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "error 0x%08X", static_cast<uint32_t>(result));
    return text;
}

} // namespace qarn
