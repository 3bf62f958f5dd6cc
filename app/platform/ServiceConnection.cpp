#include "platform/ServiceConnection.h"

#include <algorithm>

namespace qarn {

IOReturn ServiceConnection::callMethod(uint32_t selector, const uint64_t* scalarInput,
                                       uint32_t scalarInputCount, const void* structureInput,
                                       size_t structureInputSize, uint64_t* scalarOutput,
                                       uint32_t* scalarOutputCount, void* structureOutput,
                                       size_t* structureOutputSize)
{
    const uint32_t scalarRoom = scalarOutputCount ? *scalarOutputCount : 0;
    const size_t structureRoom = structureOutputSize ? *structureOutputSize : 0;
    auto report = [&](uint32_t scalars, size_t structure) {
        if (scalarOutputCount)
            *scalarOutputCount = scalars;
        if (structureOutputSize)
            *structureOutputSize = structure;
    };
    if (scalarInputCount > kMaxScalarCount || scalarRoom > kMaxScalarCount
        || (scalarInputCount > 0 && scalarInput == nullptr)
        || (scalarRoom > 0 && scalarOutput == nullptr)
        || (structureInputSize > 0 && structureInput == nullptr)
        || (structureRoom > 0 && structureOutput == nullptr)) {
        report(0, 0);
        return vennix::kIOReturnBadArgument;
    }

    MethodCall call = MethodCall::inlineCall(selector, scalarInput, scalarInputCount, structureInput,
                                             structureInputSize, scalarOutput, scalarRoom, structureOutput,
                                             structureRoom);
    const size_t usableRoom = call.structureOutputSize;
    const IOReturn result = perform(call);
    report(std::min(call.scalarOutputCount, scalarRoom), std::min<size_t>(call.structureOutputSize, usableRoom));
    return result;
}

IOReturn ServiceConnection::callStructMethod(uint32_t selector, const void* input, size_t inputSize,
                                             void* output, size_t* outputSize)
{
    return callMethod(selector, nullptr, 0, input, inputSize, nullptr, nullptr, output, outputSize);
}

IOReturn ServiceConnection::callScalarMethod(uint32_t selector, const uint64_t* input,
                                             uint32_t inputCount, uint64_t* output,
                                             uint32_t* outputCount)
{
    return callMethod(selector, input, inputCount, nullptr, 0, output, outputCount, nullptr, nullptr);
}

} // namespace qarn
