#pragma once
// The arguments of one user-client call, as the daemon hands them to externalMethod. The
// buffers belong to the daemon's copy of the call; sizes are what the caller declared.

#include <cstdint>

namespace vennix {

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
};

} // namespace vennix
