#include "protocol/Protocol.h"

#include "protocol/AccessorTypes.h"

#include <cstring>

namespace vennix::protocol {

namespace {

void putU32(Packet& packet, uint32_t value)
{
    const size_t at = packet.size();
    packet.resize(at + 4);
    writeU32(packet.data(), at, value);
}

void putU64s(Packet& packet, const uint64_t* values, uint32_t count)
{
    const size_t at = packet.size();
    packet.resize(at + 8 * size_t(count));
    for (uint32_t i = 0; i < count; ++i)
        writeU64(packet.data(), at + 8 * size_t(i), values ? values[i] : 0);
}

void putBytes(Packet& packet, const void* bytes, size_t size)
{
    if (size == 0)
        return;
    const size_t at = packet.size();
    packet.resize(at + size);
    if (bytes != nullptr)
        std::memcpy(packet.data() + at, bytes, size);
}

// Reads fields front to back; every read checks what is left.
class Reader {
public:
    explicit Reader(Bytes packet) : fPacket(packet) {}

    bool u32(uint32_t& value)
    {
        if (left() < 4)
            return false;
        value = readU32(fPacket.data(), fOffset);
        fOffset += 4;
        return true;
    }

    bool u64s(std::vector<uint64_t>& values, uint32_t count)
    {
        if (left() / 8 < count)
            return false;
        values.resize(count);
        for (uint32_t i = 0; i < count; ++i)
            values[i] = readU64(fPacket.data(), fOffset + 8 * size_t(i));
        fOffset += 8 * size_t(count);
        return true;
    }

    bool bytes(std::vector<uint8_t>& values, size_t count)
    {
        if (left() < count)
            return false;
        values.assign(fPacket.begin() + fOffset, fPacket.begin() + fOffset + count);
        fOffset += count;
        return true;
    }

    size_t left() const { return fPacket.size() - fOffset; }

private:
    Bytes fPacket;
    size_t fOffset = 0;
};

std::optional<uint32_t> twoWords(Bytes packet, uint32_t type)
{
    Reader reader(packet);
    uint32_t tag = 0, value = 0;
    if (!reader.u32(tag) || tag != type || !reader.u32(value) || reader.left() != 0)
        return std::nullopt;
    return value;
}

Packet twoWordPacket(uint32_t type, uint32_t value)
{
    Packet packet;
    packet.reserve(8);
    putU32(packet, type);
    putU32(packet, value);
    return packet;
}

} // namespace

uint32_t messageType(Bytes packet)
{
    return packet.size() < 4 ? uint32_t(kError) : readU32(packet.data(), 0);
}

Packet encodeMatch(const std::string& serviceName)
{
    Packet packet;
    putU32(packet, kMatch);
    putBytes(packet, serviceName.c_str(), serviceName.size() + 1);
    return packet;
}

std::optional<std::string> decodeMatch(Bytes packet)
{
    if (messageType(packet) != kMatch || packet.size() < 6)
        return std::nullopt;
    const auto* name = reinterpret_cast<const char*>(packet.data() + 4);
    const size_t room = packet.size() - 4;
    const size_t length = strnlen(name, room);
    // Exactly one NUL, at the end.
    if (length == 0 || length + 1 != room || length > kMaxServiceNameLength)
        return std::nullopt;
    return std::string(name, length);
}

Packet encodeMatchReply(bool found)
{
    return twoWordPacket(kMatch, found ? 1 : 0);
}

std::optional<bool> decodeMatchReply(Bytes packet)
{
    auto value = twoWords(packet, kMatch);
    if (!value || *value > 1)
        return std::nullopt;
    return *value == 1;
}

Packet encodeOpen(uint32_t type)
{
    return twoWordPacket(kOpen, type);
}

std::optional<uint32_t> decodeOpen(Bytes packet)
{
    return twoWords(packet, kOpen);
}

Packet encodeOpenReply(IOReturn result)
{
    return twoWordPacket(kOpen, static_cast<uint32_t>(result));
}

std::optional<IOReturn> decodeOpenReply(Bytes packet)
{
    auto value = twoWords(packet, kOpen);
    if (!value)
        return std::nullopt;
    return static_cast<IOReturn>(*value);
}

Packet encodeCall(uint32_t selector, const uint64_t* scalarInput, uint32_t scalarInputCount,
                  const void* structureInput, size_t structureInputSize,
                  uint32_t scalarOutputCapacity, const void* structureOutput,
                  size_t structureOutputCapacity)
{
    Packet packet;
    packet.reserve(kCallHeaderSize + 8 * size_t(scalarInputCount) + structureInputSize
                   + structureOutputCapacity);
    putU32(packet, kCall);
    putU32(packet, selector);
    putU32(packet, scalarInputCount);
    putU32(packet, static_cast<uint32_t>(structureInputSize));
    putU32(packet, scalarOutputCapacity);
    putU32(packet, static_cast<uint32_t>(structureOutputCapacity));
    putU64s(packet, scalarInput, scalarInputCount);
    putBytes(packet, structureInput, structureInputSize);
    putBytes(packet, structureOutput, structureOutputCapacity);
    return packet;
}

Packet encodeCall(const CallRequest& request)
{
    return encodeCall(request.selector, request.scalarInput.data(),
                      static_cast<uint32_t>(request.scalarInput.size()),
                      request.structureInput.data(), request.structureInput.size(),
                      request.scalarOutputCapacity, request.structureOutput.data(),
                      request.structureOutput.size());
}

std::optional<CallRequest> decodeCall(Bytes packet)
{
    if (packet.size() > kMaxPacketSize)
        return std::nullopt;
    Reader reader(packet);
    uint32_t tag = 0, scalarCount = 0, inputSize = 0, outputSize = 0;
    CallRequest request;
    if (!reader.u32(tag) || tag != kCall || !reader.u32(request.selector)
        || !reader.u32(scalarCount) || !reader.u32(inputSize)
        || !reader.u32(request.scalarOutputCapacity) || !reader.u32(outputSize))
        return std::nullopt;
    if (scalarCount > kMaxScalarCount || request.scalarOutputCapacity > kMaxScalarCount)
        return std::nullopt;
    // Checked before anything is copied: the declared lengths must add up to the packet.
    if (uint64_t(8) * scalarCount + inputSize + outputSize != reader.left())
        return std::nullopt;
    if (!reader.u64s(request.scalarInput, scalarCount) || !reader.bytes(request.structureInput, inputSize)
        || !reader.bytes(request.structureOutput, outputSize))
        return std::nullopt;
    return request;
}

Packet encodeCallReply(IOReturn result, const uint64_t* scalarOutput, uint32_t scalarOutputCount,
                       const void* structureOutput, size_t structureOutputSize)
{
    Packet packet;
    packet.reserve(kCallReplyHeaderSize + 8 * size_t(scalarOutputCount) + structureOutputSize);
    putU32(packet, kCall);
    putU32(packet, static_cast<uint32_t>(result));
    putU32(packet, scalarOutputCount);
    putU32(packet, static_cast<uint32_t>(structureOutputSize));
    putU64s(packet, scalarOutput, scalarOutputCount);
    putBytes(packet, structureOutput, structureOutputSize);
    return packet;
}

Packet encodeCallReply(const CallReply& reply)
{
    return encodeCallReply(reply.result, reply.scalarOutput.data(),
                           static_cast<uint32_t>(reply.scalarOutput.size()),
                           reply.structureOutput.data(), reply.structureOutput.size());
}

std::optional<CallReply> decodeCallReply(Bytes packet)
{
    if (packet.size() > kMaxPacketSize)
        return std::nullopt;
    Reader reader(packet);
    uint32_t tag = 0, result = 0, scalarCount = 0, outputSize = 0;
    if (!reader.u32(tag) || tag != kCall || !reader.u32(result) || !reader.u32(scalarCount)
        || !reader.u32(outputSize))
        return std::nullopt;
    if (scalarCount > kMaxScalarCount || uint64_t(8) * scalarCount + outputSize != reader.left())
        return std::nullopt;
    CallReply reply;
    reply.result = static_cast<IOReturn>(result);
    if (!reader.u64s(reply.scalarOutput, scalarCount) || !reader.bytes(reply.structureOutput, outputSize))
        return std::nullopt;
    return reply;
}

Packet encodeErrorReply(IOReturn result)
{
    return twoWordPacket(kError, static_cast<uint32_t>(result));
}

} // namespace vennix::protocol
