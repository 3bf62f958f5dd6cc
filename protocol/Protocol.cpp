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
std::optional<uint32_t> twoWords(Bytes packet, uint32_t type)
{
    if (packet.size() != 8 || readU32(packet.data(), 0) != type)
        return std::nullopt;
    return readU32(packet.data(), 4);
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
    encodeCallInto(packet, selector, scalarInput, scalarInputCount, structureInput, structureInputSize,
                   scalarOutputCapacity, structureOutput, structureOutputCapacity);
    return packet;
}

void encodeCallInto(Packet& packet, uint32_t selector, const uint64_t* scalarInput, uint32_t scalarInputCount,
                    const void* structureInput, size_t structureInputSize, uint32_t scalarOutputCapacity,
                    const void* structureOutput, size_t structureOutputCapacity)
{
    packet.clear();
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
}

Packet encodeCall(const CallRequest& request)
{
    return encodeCall(request.selector, request.scalarInput.data(),
                      static_cast<uint32_t>(request.scalarInput.size()),
                      request.structureInput.data(), request.structureInput.size(),
                      request.scalarOutputCapacity, request.structureOutput.data(),
                      request.structureOutput.size());
}

uint64_t CallView::scalar(uint32_t i) const
{
    return i < scalarInputCount ? readU64(scalarInput, 8 * size_t{i}) : 0;
}

uint64_t CallReplyView::scalar(uint32_t i) const
{
    return i < scalarOutputCount ? readU64(scalarOutput, 8 * size_t{i}) : 0;
}

std::optional<CallView> decodeCallView(Bytes packet)
{
    if (packet.size() < kCallHeaderSize || packet.size() > kMaxPacketSize || readU32(packet.data(), 0) != kCall)
        return std::nullopt;
    CallView view;
    view.selector = readU32(packet.data(), 4);
    view.scalarInputCount = readU32(packet.data(), 8);
    const uint32_t inputSize = readU32(packet.data(), 12);
    view.scalarOutputCapacity = readU32(packet.data(), 16);
    const uint32_t outputSize = readU32(packet.data(), 20);
    if (view.scalarInputCount > kMaxScalarCount || view.scalarOutputCapacity > kMaxScalarCount)
        return std::nullopt;
    // The declared lengths must add up to the packet exactly.
    if (kCallHeaderSize + uint64_t(8) * view.scalarInputCount + inputSize + outputSize != packet.size())
        return std::nullopt;
    const uint8_t* at = packet.data() + kCallHeaderSize;
    view.scalarInput = at;
    at += 8 * size_t{view.scalarInputCount};
    view.structureInput = Bytes(at, inputSize);
    view.structureOutput = Bytes(at + inputSize, outputSize);
    return view;
}

std::optional<CallReplyView> decodeCallReplyView(Bytes packet)
{
    if (packet.size() < kCallReplyHeaderSize || packet.size() > kMaxPacketSize || readU32(packet.data(), 0) != kCall)
        return std::nullopt;
    CallReplyView view;
    view.result = static_cast<IOReturn>(readU32(packet.data(), 4));
    view.scalarOutputCount = readU32(packet.data(), 8);
    const uint32_t outputSize = readU32(packet.data(), 12);
    if (view.scalarOutputCount > kMaxScalarCount
        || kCallReplyHeaderSize + uint64_t(8) * view.scalarOutputCount + outputSize != packet.size())
        return std::nullopt;
    view.scalarOutput = packet.data() + kCallReplyHeaderSize;
    view.structureOutput = Bytes(view.scalarOutput + 8 * size_t{view.scalarOutputCount}, outputSize);
    return view;
}

std::optional<CallRequest> decodeCall(Bytes packet)
{
    const std::optional<CallView> view = decodeCallView(packet);
    if (!view)
        return std::nullopt;
    CallRequest request;
    request.selector = view->selector;
    for (uint32_t i = 0; i < view->scalarInputCount; ++i)
        request.scalarInput.push_back(view->scalar(i));
    request.structureInput.assign(view->structureInput.begin(), view->structureInput.end());
    request.scalarOutputCapacity = view->scalarOutputCapacity;
    request.structureOutput.assign(view->structureOutput.begin(), view->structureOutput.end());
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
    const std::optional<CallReplyView> view = decodeCallReplyView(packet);
    if (!view)
        return std::nullopt;
    CallReply reply;
    reply.result = view->result;
    for (uint32_t i = 0; i < view->scalarOutputCount; ++i)
        reply.scalarOutput.push_back(view->scalar(i));
    reply.structureOutput.assign(view->structureOutput.begin(), view->structureOutput.end());
    return reply;
}

Packet encodeErrorReply(IOReturn result)
{
    return twoWordPacket(kError, static_cast<uint32_t>(result));
}

} // namespace vennix::protocol
