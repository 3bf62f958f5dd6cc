#include "platform/ServiceConnection.h"

namespace qarn {

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
