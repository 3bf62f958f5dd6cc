// The socket messages byte for byte, and packets whose lengths do not add up.

#include <gtest/gtest.h>

#include "protocol/Protocol.h"

#include <tuple>

namespace vennix::protocol {
namespace {

// Little-endian 32-bit words, then bytes, then zeros up to size.
Packet words(std::initializer_list<uint32_t> values, std::initializer_list<uint8_t> tail = {}, size_t size = 0)
{
    Packet packet;
    for (uint32_t value : values)
        packet.insert(packet.end(), {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
    packet.insert(packet.end(), tail);
    packet.resize(std::max(size, packet.size()));
    return packet;
}

TEST(ProtocolBytes, EveryMessageAndAnswer)
{
    const struct { const char* what; Packet encoded, expected; } cases[] = {
        {"match", encodeMatch("Vennix"), words({1}, {'V', 'e', 'n', 'n', 'i', 'x', 0})},
        {"found", encodeMatchReply(true), words({1, 1})},
        {"not found", encodeMatchReply(false), words({1, 0})},
        {"open", encodeOpen(0x01020304), {2, 0, 0, 0, 4, 3, 2, 1}},
        {"open refused", encodeOpenReply(kIOReturnNotPermitted), words({2, 0xE00002E2})},
        {"error", encodeErrorReply(kIOReturnBadArgument), words({0, 0xE00002C2})},
        {"call", encodeCall({2, {0x1122334455667788}, {0xAA, 0xBB}, 3, {0xCC}}),
         words({3, 2, 1, 2, 3, 1, 0x55667788, 0x11223344}, {0xAA, 0xBB, 0xCC})},
        {"answer", encodeCallReply({kIOReturnNotPrivileged, {5}, {0xDD, 0xEE}}),
         words({3, 0xE00002C1, 1, 2, 5, 0}, {0xDD, 0xEE})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.encoded, c.expected) << c.what;
}

TEST(ProtocolDecode, ReadsFieldsInPlaceAndRefusesPacketsThatDoNotAddUp)
{
    const Packet call = words({3, 7, 2, 1, 16, 2, 1, 0, 0xFFFFFFFF, 0xFFFFFFFF}, {0x5A, 0xA5, 0xA6});
    const auto copy = [](Bytes bytes) { return Packet(bytes.begin(), bytes.end()); };
    const CallView view = decodeCallView(call).value();
    EXPECT_EQ(std::tuple(view.selector, view.scalar(0), view.scalar(1), view.scalar(2), view.scalarOutputCapacity,
                         copy(view.structureInput), copy(view.structureOutput)),
              std::tuple(7u, uint64_t{1}, ~uint64_t{0}, uint64_t{0}, 16u, Packet{0x5A}, Packet{0xA5, 0xA6}));
    const Packet answer = words({3, 0xE00002C2, 1, 2, 9, 1}, {8, 7});
    const CallReplyView reply = decodeCallReplyView(answer).value();
    EXPECT_EQ(std::tuple(reply.result, reply.scalarOutputCount, reply.scalar(0), copy(reply.structureOutput)),
              std::tuple(kIOReturnBadArgument, 1u, uint64_t{0x100000009}, Packet{8, 7}));
    EXPECT_EQ(decodeOpen(words({2, 7})), 7u);

    const uint32_t room = kMaxPacketSize - kCallHeaderSize, rest = kMaxPacketSize - kCallReplyHeaderSize;
    const std::string longest(kMaxServiceNameLength, 'a');
    const struct { const char* what; bool decoded, expected; } cases[] = {
        {"match without NUL", bool(decodeMatch(words({1}, {'V', 'e'}))), false},
        {"match with bytes after the NUL", bool(decodeMatch(words({1}, {'V', 0, 'x', 0}))), false},
        {"match of an empty name", bool(decodeMatch(words({1}, {0}))), false},
        {"match of another type", bool(decodeMatch(words({2}, {'V', 0}))), false},
        {"longest name", bool(decodeMatch(encodeMatch(longest))), true},
        {"name too long", bool(decodeMatch(encodeMatch(longest + 'a'))), false},
        {"found 2", bool(decodeMatchReply(words({1, 2}))), false},
        {"open of 7 bytes", bool(decodeOpen(words({2}, {0, 0, 0}))), false},
        {"open of 9 bytes", bool(decodeOpen(words({2, 0}, {0}))), false},
        {"open answer of another type", bool(decodeOpenReply(words({1, 0}))), false},
        {"call that adds up", bool(decodeCallView(words({3, 0, 1, 2, 0, 3}, {}, 24 + 8 + 2 + 3))), true},
        {"call one byte long", bool(decodeCallView(words({3, 0, 1, 2, 0, 3}, {}, 24 + 8 + 2 + 4))), false},
        {"call one byte short", bool(decodeCallView(words({3, 0, 1, 2, 0, 3}, {}, 24 + 8 + 2 + 2))), false},
        {"sizes wrapping to 0", bool(decodeCallView(words({3, 0, 0, 0xFFFFFFF8, 0, 8}))), false},
        {"header cut short", bool(decodeCallView(words({3, 0, 0, 0, 0}, {0, 0, 0}))), false},
        {"call of another type", bool(decodeCallView(words({2, 0, 0, 0, 0, 0}))), false},
        {"17 scalars in", bool(decodeCallView(words({3, 0, 17, 0, 0, 0}, {}, 24 + 17 * 8))), false},
        {"17 scalars out", bool(decodeCallView(words({3, 0, 0, 0, 17, 0}))), false},
        {"16 scalars out", bool(decodeCallView(words({3, 0, 0, 0, 16, 0}))), true},
        {"largest call", bool(decodeCallView(words({3, 0, 0, room, 0, 0}, {}, kMaxPacketSize))), true},
        {"call too large", bool(decodeCallView(words({3, 0, 0, room + 1, 0, 0}, {}, kMaxPacketSize + 1))), false},
        {"answer one byte long", bool(decodeCallReplyView(words({3, 0, 0, 1}, {1, 2}))), false},
        {"answer one byte short", bool(decodeCallReplyView(words({3, 0, 0, 2}, {1}))), false},
        {"answer of 17 scalars", bool(decodeCallReplyView(words({3, 0, 17, 0}, {}, 16 + 17 * 8))), false},
        {"largest answer", bool(decodeCallReplyView(words({3, 0, 0, rest}, {}, kMaxPacketSize))), true},
        {"answer too large", bool(decodeCallReplyView(words({3, 0, 0, rest + 1}, {}, kMaxPacketSize + 1))), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.decoded, c.expected) << c.what;
}

} // namespace
} // namespace vennix::protocol
