#include "kext/platform/IOUserClient.h"

namespace vennix {

OSDefineMetaClassAndAbstractStructors(IOUserClient, IOService)

bool IOUserClient::initWithTask(task* owningTask, void* securityToken, unsigned int type,
                                OSDictionary* properties)
{
    return init(properties);
}

IOReturn IOUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                      IOExternalMethodDispatch* dispatch, OSObject* target,
                                      void* reference)
{
    if (arguments == nullptr)
        return kIOReturnBadArgument;
    if (dispatch == nullptr || dispatch->function == nullptr)
        return kIOReturnUnsupported;

    auto sizeMatches = [](uint32_t expected, uint32_t given) {
        return expected == kIOUCVariableStructureSize || expected == given;
    };
    if (dispatch->checkScalarInputCount != arguments->scalarInputCount ||
        !sizeMatches(dispatch->checkStructureInputSize, arguments->structureInputSize) ||
        dispatch->checkScalarOutputCount != arguments->scalarOutputCount ||
        !sizeMatches(dispatch->checkStructureOutputSize, arguments->structureOutputSize))
        return kIOReturnBadArgument;

    return dispatch->function(target ? target : this, reference, arguments);
}

IOReturn IOUserClient::clientClose()
{
    terminate();
    return kIOReturnSuccess;
}

} // namespace vennix
