#pragma once
// One open user-client connection to a service of the CPU service (vennixd or embedded): the
// monitor's side of IOConnectCallMethod and IOServiceClose.

#include "protocol/Protocol.h"
#include "protocol/IOExternalMethodArguments.h"
#include "protocol/IOReturn.h"

#include <cstddef>
#include <cstdint>

namespace qarn {

using vennix::IOReturn;

class ServiceConnection {
public:
    virtual ~ServiceConnection() = default;

    // Calls method selector. scalarOutputCount and structureOutputSize are in-out: the room the
    // caller has on the way in, what the method produced on the way out (both may be null for
    // none). Bytes of structureOutput the method does not write stay as the caller left them.
    // Structures above 4096 bytes count as missing, more than 16 scalars are refused
    // (kIOReturnBadArgument), and after close every call answers kIOReturnNotOpen.
    IOReturn callMethod(uint32_t selector, const uint64_t* scalarInput, uint32_t scalarInputCount,
                        const void* structureInput, size_t structureInputSize,
                        uint64_t* scalarOutput, uint32_t* scalarOutputCount,
                        void* structureOutput, size_t* structureOutputSize);

    // IOConnectCallStructMethod: structures only.
    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize);
    // IOConnectCallScalarMethod: scalars only.
    IOReturn callScalarMethod(uint32_t selector, const uint64_t* input, uint32_t inputCount,
                              uint64_t* output, uint32_t* outputCount);

    // IOServiceClose. Repeated calls change nothing; the destructor closes too.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // The most scalars each way and the largest structure a call carries.
    static constexpr uint32_t kMaxScalarCount = vennix::protocol::kMaxScalarCount;
    static constexpr size_t kMaxStructureSize = vennix::protocol::kMaxStructureSize;

protected:
    // One call as the transport performs it, checked: the pointers match the counts, a
    // structure over kMaxStructureSize is missing (null, size 0). The output count and size
    // hold the caller's room; the transport sets them to what the method produced (0 on
    // failure), and callMethod never reports more than the room.
    using MethodCall = vennix::IOExternalMethodArguments;
    virtual IOReturn perform(MethodCall& call) = 0;
};

} // namespace qarn
