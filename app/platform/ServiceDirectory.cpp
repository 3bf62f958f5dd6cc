#include "platform/ServiceDirectory.h"

#include "platform/SocketServiceDirectory.h"

#include <cstdio>
#include <mutex>

namespace qarn {

namespace {

std::mutex gStandardLock;
std::shared_ptr<ServiceDirectory> gStandard;

} // namespace

std::shared_ptr<ServiceDirectory> ServiceDirectory::standard()
{
    std::lock_guard<std::mutex> lock(gStandardLock);
    if (!gStandard)
        gStandard = std::make_shared<SocketServiceDirectory>(SocketServiceDirectory::defaultPath());
    return gStandard;
}

void ServiceDirectory::setStandard(std::shared_ptr<ServiceDirectory> directory)
{
    std::lock_guard<std::mutex> lock(gStandardLock);
    gStandard = std::move(directory);
}

std::string ServiceDirectory::explainUnavailable(const std::string& name)
{
    std::string why;
    auto service = getMatchingService(name, &why);
    if (!service)
        return why.empty() ? "no service " + name : why;
    IOReturn result = vennix::kIOReturnError;
    if (service->open(0, &result))
        return {};
    return "the service " + name + " refused the connection: " + describeIOReturn(result);
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
