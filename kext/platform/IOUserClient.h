#pragma once
// The base of a connection's user client: the object a task's calls are routed to.
//
// IOService::newUserClient creates one per opened connection (initWithTask, then start on the
// service). Each call arrives at externalMethod with its arguments; closing the connection
// calls clientClose, after which the opener releases the client. Structures travel inline
// only; there are no memory descriptors for large ones.

#include "protocol/IOExternalMethodArguments.h"
#include "kext/platform/IOService.h"

#include <cstdint>
#include <sys/types.h>

namespace vennix {

// The task that opened a connection, as the daemon learns it from the peer's credentials.
struct task {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};
using task_t = task*;

using IOExternalMethodAction = IOReturn (*)(OSObject* target, void* reference,
                                            IOExternalMethodArguments* arguments);

// What the base class's dispatch checks before it calls function. A structure size of
// kIOUCVariableStructureSize accepts any size.
struct IOExternalMethodDispatch {
    IOExternalMethodAction function = nullptr;
    uint32_t checkScalarInputCount = 0;
    uint32_t checkStructureInputSize = 0;
    uint32_t checkScalarOutputCount = 0;
    uint32_t checkStructureOutputSize = 0;
};

inline constexpr uint32_t kIOUCVariableStructureSize = 0xffffffff;

class IOUserClient : public IOService {
    OSDeclareAbstractStructors(IOUserClient)

public:
    // Sets the client up for owningTask with properties (may be null); the type is the
    // connection type the task asked for. The base returns init(properties).
    virtual bool initWithTask(task* owningTask, void* securityToken, unsigned int type,
                              OSDictionary* properties);

    // Performs call selector. The base runs dispatch->function (on target, or on this client
    // when target is null) after checking the argument counts and sizes against dispatch;
    // without a dispatch it answers kIOReturnUnsupported.
    virtual IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                    IOExternalMethodDispatch* dispatch = nullptr,
                                    OSObject* target = nullptr, void* reference = nullptr);

    // The connection closed (or its task died). The base terminates the client.
    virtual IOReturn clientClose();
};

} // namespace vennix
