// The socket messages byte for byte, and packets whose lengths do not add up.

#include <gtest/gtest.h>

#include "protocol/Protocol.h"

#include <string>

namespace vennix::protocol {
namespace {

Packet bytes(std::initializer_list<int> values)
{
    Packet packet;
    for (int value : values)
        packet.push_back(static_cast<uint8_t>(value));
    return packet;
}

void appendU32(Packet& packet, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        packet.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A call header with the given fields, nothing behind it.
Packet callHeader(uint32_t selector, uint32_t scalars, uint32_t input, uint32_t outputScalars,
                  uint32_t output)
{
    Packet packet;
    for (uint32_t value : {uint32_t(kCall), selector, scalars, input, outputScalars, output})
        appendU32(packet, value);
    return packet;
}

TEST(ProtocolBytes, Match)
{
    EXPECT_EQ(encodeMatch("Vennix"), bytes({1, 0, 0, 0, 'V', 'e', 'n', 'n', 'i', 'x', 0}));
    EXPECT_EQ(encodeMatchReply(true), bytes({1, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(encodeMatchReply(false), bytes({1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ProtocolBytes, Open)
{
    EXPECT_EQ(encodeOpen(0x01020304), bytes({2, 0, 0, 0, 4, 3, 2, 1}));
    EXPECT_EQ(encodeOpenReply(kIOReturnNotPermitted), bytes({2, 0, 0, 0, 0xE2, 0x02, 0, 0xE0}));
    EXPECT_EQ(encodeErrorReply(kIOReturnBadArgument), bytes({0, 0, 0, 0, 0xC2, 0x02, 0, 0xE0}));
}

TEST(ProtocolBytes, Call)
{
    CallRequest request;
    request.selector = 2;
    request.scalarInput = {0x1122334455667788};
    request.structureInput = {0xAA, 0xBB};
    request.scalarOutputCapacity = 3;
    request.structureOutput = {0xCC};
    const Packet expected = bytes({3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0,
                                   1, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,
                                   0xAA, 0xBB, 0xCC});
    EXPECT_EQ(encodeCall(request), expected);

    CallReply reply;
    reply.result = kIOReturnNotPrivileged;
    reply.scalarOutput = {5};
    reply.structureOutput = {0xDD, 0xEE};
    EXPECT_EQ(encodeCallReply(reply),
              bytes({3, 0, 0, 0, 0xC1, 0x02, 0, 0xE0, 1, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 0, 0,
                     0, 0, 0xDD, 0xEE}));
}

TEST(ProtocolDecode, RoundTrips)
{
    CallRequest request;
    request.selector = 1;
    request.scalarInput = {1, 2, 3};
    request.structureInput.assign(100, 0x5A);
    request.scalarOutputCapacity = kMaxScalarCount;
    request.structureOutput.assign(kMaxStructureSize + 1, 0xA5); // the codec carries it
    const auto decoded = decodeCall(encodeCall(request));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->selector, 1u);
    EXPECT_EQ(decoded->scalarInput, request.scalarInput);
    EXPECT_EQ(decoded->structureInput, request.structureInput);
    EXPECT_EQ(decoded->scalarOutputCapacity, kMaxScalarCount);
    EXPECT_EQ(decoded->structureOutput, request.structureOutput);

    EXPECT_EQ(decodeMatch(encodeMatch("ACPIAccessor")), "ACPIAccessor");
    EXPECT_EQ(decodeOpen(encodeOpen(7)), 7u);
    EXPECT_EQ(decodeOpenReply(encodeOpenReply(kIOReturnNotAttached)), kIOReturnNotAttached);
    EXPECT_EQ(decodeMatchReply(encodeMatchReply(true)), true);
}

TEST(ProtocolDecode, MalformedMatches)
{
    EXPECT_FALSE(decodeMatch(bytes({1, 0, 0, 0, 'V', 'e'})));          // no NUL
    EXPECT_FALSE(decodeMatch(bytes({1, 0, 0, 0, 'V', 0, 'x', 0})));   // bytes after the NUL
    EXPECT_FALSE(decodeMatch(bytes({1, 0, 0, 0, 0})));                // empty name
    EXPECT_FALSE(decodeMatch(bytes({1, 0, 0, 0})));
    EXPECT_FALSE(decodeMatch(bytes({2, 0, 0, 0, 'V', 0})));           // another message
    EXPECT_TRUE(decodeMatch(encodeMatch(std::string(kMaxServiceNameLength, 'a'))));
    EXPECT_FALSE(decodeMatch(encodeMatch(std::string(kMaxServiceNameLength + 1, 'a'))));
    EXPECT_FALSE(decodeMatchReply(bytes({1, 0, 0, 0, 2, 0, 0, 0})));   // found must be 0 or 1
}

TEST(ProtocolDecode, TwoWordMessagesMustBeExactlyEightBytes)
{
    EXPECT_FALSE(decodeOpen(bytes({2, 0, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(decodeOpen(bytes({2, 0, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(decodeOpenReply(bytes({1, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ(messageType(bytes({3, 0, 0})), uint32_t(kError));
    EXPECT_EQ(messageType(bytes({3, 0, 0, 0})), uint32_t(kCall));
}

TEST(ProtocolDecode, CallLengthsMustAddUpExactly)
{
    Packet packet = callHeader(0, 1, 2, 0, 3);
    packet.resize(packet.size() + 8 + 2 + 3);
    EXPECT_TRUE(decodeCall(packet));

    Packet longer = packet;
    longer.push_back(0);
    EXPECT_FALSE(decodeCall(longer));
    Packet shorter = packet;
    shorter.pop_back();
    EXPECT_FALSE(decodeCall(shorter));

    // Sizes whose sum wraps around to what is left (0) in 32 bits.
    EXPECT_FALSE(decodeCall(callHeader(0, 0, 0xFFFFFFF8, 0, 8)));
    EXPECT_FALSE(decodeCall(callHeader(0, 1, 0xFFFFFFF8, 0, 0)));
    // A header cut short.
    Packet cut = callHeader(0, 0, 0, 0, 0);
    cut.pop_back();
    EXPECT_FALSE(decodeCall(cut));
}

TEST(ProtocolDecode, TooManyScalars)
{
    Packet inputs = callHeader(0, kMaxScalarCount + 1, 0, 0, 0);
    inputs.resize(inputs.size() + 8 * (kMaxScalarCount + 1));
    EXPECT_FALSE(decodeCall(inputs));

    Packet outputs = callHeader(0, 0, 0, kMaxScalarCount + 1, 0);
    EXPECT_FALSE(decodeCall(outputs));
    Packet most = callHeader(0, 0, 0, kMaxScalarCount, 0);
    EXPECT_TRUE(decodeCall(most));

    Packet reply;
    for (uint32_t value : {uint32_t(kCall), 0u, kMaxScalarCount + 1, 0u})
        appendU32(reply, value);
    reply.resize(reply.size() + 8 * (kMaxScalarCount + 1));
    EXPECT_FALSE(decodeCallReply(reply));
}

TEST(ProtocolDecode, PacketsOverTheLimit)
{
    const uint32_t room = static_cast<uint32_t>(kMaxPacketSize - kCallHeaderSize);
    Packet full = callHeader(0, 0, room, 0, 0);
    full.resize(kMaxPacketSize);
    EXPECT_TRUE(decodeCall(full));
    Packet over = callHeader(0, 0, room + 1, 0, 0);
    over.resize(kMaxPacketSize + 1);
    EXPECT_FALSE(decodeCall(over));
}

TEST(ProtocolDecode, CallReplyLengths)
{
    CallReply reply;
    reply.scalarOutput = {1, 2};
    reply.structureOutput = {9, 8, 7};
    Packet packet = encodeCallReply(reply);
    const auto decoded = decodeCallReply(packet);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->scalarOutput, reply.scalarOutput);
    EXPECT_EQ(decoded->structureOutput, reply.structureOutput);
    packet.push_back(0);
    EXPECT_FALSE(decodeCallReply(packet));
    packet.resize(packet.size() - 2);
    EXPECT_FALSE(decodeCallReply(packet));
}

} // namespace
} // namespace vennix::protocol
