#pragma once
// The arguments of one user-client call, as the daemon (or an in-process connection) hands
// them to externalMethod. The buffers belong to the caller's copy of the call; sizes are what
// the caller declared.

#include <cstddef>
#include <cstdint>

namespace vennix {

// Structures larger than this would travel by memory descriptor, which nothing here reads:
// such a structure counts as missing.
inline constexpr uint32_t kIOExternalMethodInlineSize = 4096;

struct IOExternalMethodArguments {
    uint32_t selector = 0;

    const uint64_t* scalarInput = nullptr;
    uint32_t scalarInputCount = 0;

    const void* structureInput = nullptr;
    uint32_t structureInputSize = 0;

    uint64_t* scalarOutput = nullptr;
    uint32_t scalarOutputCount = 0;

    void* structureOutput = nullptr;
    uint32_t structureOutputSize = 0;

    // The arguments of a call over the caller's buffers, structures passed inline only: one
    // that is empty or larger than kIOExternalMethodInlineSize is missing (null, size 0).
    // scalarOutputCount and structureOutputSize start as the room the caller gives.
    static IOExternalMethodArguments inlineCall(uint32_t selector, const uint64_t* scalarInput,
                                                uint32_t scalarInputCount, const void* structureInput,
                                                size_t structureInputSize, uint64_t* scalarOutput,
                                                uint32_t scalarOutputCapacity, void* structureOutput,
                                                size_t structureOutputCapacity)
    {
        IOExternalMethodArguments arguments;
        arguments.selector = selector;
        if (scalarInputCount > 0) {
            arguments.scalarInput = scalarInput;
            arguments.scalarInputCount = scalarInputCount;
        }
        if (structureInputSize > 0 && structureInputSize <= kIOExternalMethodInlineSize) {
            arguments.structureInput = structureInput;
            arguments.structureInputSize = static_cast<uint32_t>(structureInputSize);
        }
        if (scalarOutputCapacity > 0) {
            arguments.scalarOutput = scalarOutput;
            arguments.scalarOutputCount = scalarOutputCapacity;
        }
        if (structureOutputCapacity > 0 && structureOutputCapacity <= kIOExternalMethodInlineSize) {
            arguments.structureOutput = structureOutput;
            arguments.structureOutputSize = static_cast<uint32_t>(structureOutputCapacity);
        }
        return arguments;
    }
};

} // namespace vennix
