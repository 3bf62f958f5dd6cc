// ACPIAccessor's requests and its reading of replies, on a connection that records each request
// and answers with bytes the test writes: the exact request layout, every reply tag, and
// replies that run past the buffer, were cut by the service or come with a failed call. Run under AddressSanitizer, so
// a read past a reply fails here.

#include "telemetry/ACPIAccessor.h"

#include "protocol/AccessorTypes.h"
#include "kext/ObjectWireFormat.h"
#include "kext/platform/OSString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace qarn {
namespace {

using Bytes = std::vector<uint8_t>;

// What the next call answers: its status and the bytes written at the start of the reply
// buffer. The output size stays the room the caller gave, as the service leaves it.
struct ScriptedReply {
    IOReturn status = vennix::kIOReturnSuccess;
    Bytes bytes;
};

struct RecordedCall {
    uint32_t selector = 0;
    Bytes request;
    size_t outputRoom = 0;
    bool outputWasZeroed = false;
};

class ScriptedConnection final : public ServiceConnection {
public:
    std::deque<ScriptedReply> replies;
    std::vector<RecordedCall> calls;
    // Outlives the connection, which the accessor destroys.
    std::shared_ptr<int> closes = std::make_shared<int>(0);

    ~ScriptedConnection() override
    {
        EXPECT_TRUE(replies.empty()) << replies.size() << " scripted replies were never asked for";
    }

    void close() override { ++*closes; }
    bool isOpen() const override { return *closes == 0; }

protected:
    IOReturn perform(MethodCall& call) override
    {
        RecordedCall record;
        record.selector = call.selector;
        const auto* input = static_cast<const uint8_t*>(call.structureInput);
        record.request.assign(input, input + call.structureInputSize);
        record.outputRoom = call.structureOutputSize;
        const auto* output = static_cast<uint8_t*>(call.structureOutput);
        record.outputWasZeroed = output != nullptr;
        for (size_t i = 0; output && i < call.structureOutputSize; ++i)
            record.outputWasZeroed = record.outputWasZeroed && output[i] == 0;
        calls.push_back(record);

        if (replies.empty()) {
            ADD_FAILURE() << "call of selector " << call.selector << " with no reply scripted";
            call.structureOutputSize = 0;
            return vennix::kIOReturnError;
        }
        const ScriptedReply reply = replies.front();
        replies.pop_front();
        if (reply.bytes.size() > call.structureOutputSize) {
            ADD_FAILURE() << "scripted reply of " << reply.bytes.size() << " bytes for room "
                          << call.structureOutputSize;
            return vennix::kIOReturnError;
        }
        if (!reply.bytes.empty())
            std::memcpy(call.structureOutput, reply.bytes.data(), reply.bytes.size());
        return reply.status;
    }
};

// ---- reply items, written byte by byte -------------------------------------------------------

void putU32(Bytes& bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putU64(Bytes& bytes, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes tagOnly(uint32_t tag)
{
    Bytes bytes;
    putU32(bytes, tag);
    return bytes;
}

Bytes stringItem(const std::string& text, bool withNul = true)
{
    Bytes bytes = tagOnly(vennix::kObjectTypeString);
    bytes.insert(bytes.end(), text.begin(), text.end());
    if (withNul)
        bytes.push_back(0);
    return bytes;
}

Bytes numberItem(uint64_t value)
{
    Bytes bytes = tagOnly(vennix::kObjectTypeNumber);
    putU64(bytes, value);
    return bytes;
}

Bytes dataItem(uint32_t length, const Bytes& content, uint32_t tag = vennix::kObjectTypeData)
{
    Bytes bytes = tagOnly(tag);
    putU32(bytes, length);
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// An accessor on a scripted connection that the test keeps a pointer to.
struct Scripted {
    Scripted()
    {
        auto owned = std::make_unique<ScriptedConnection>();
        connection = owned.get();
        accessor = std::make_unique<ACPIAccessor>(std::move(owned));
    }
    void answer(ScriptedReply reply) { connection->replies.push_back(std::move(reply)); }
    void answer(Bytes bytes) { answer(ScriptedReply{vennix::kIOReturnSuccess, std::move(bytes)}); }

    ScriptedConnection* connection;
    std::unique_ptr<ACPIAccessor> accessor;
};

constexpr const char* kPath20 = "IOACPIPlane:/_SB/EC0";

// ---- requests ---------------------------------------------------------------------------------

TEST(ACPIAccessorRequest, KeyThenPathEachWithItsNulThenThreeZeroedBytes)
{
    ASSERT_EQ(std::strlen(kPath20), 20u);
    Scripted s;
    s.answer(numberItem(1));
    ASSERT_TRUE(s.accessor->getValueOnDevice(kPath20, "TEMP"));

    ASSERT_EQ(s.connection->calls.size(), 1u);
    const RecordedCall& call = s.connection->calls[0];
    EXPECT_EQ(call.selector, vennix::kAccessorMethodGetValueOnDevice);
    EXPECT_EQ(call.request.size(), 29u);
    EXPECT_EQ(call.request, concat({text("TEMP"), {0}, text(kPath20), {0}, {0, 0, 0}}));
    EXPECT_EQ(call.outputRoom, 200u);
    EXPECT_TRUE(call.outputWasZeroed) << "the reply buffer is cleared before each call";
}

TEST(ACPIAccessorRequest, CheckSendsTheSameRequestOnSelectorFive)
{
    Scripted s;
    s.answer(stringItem("OSNumber"));
    EXPECT_EQ(s.accessor->checkValueOnDevice(kPath20, "_STA"), "OSNumber");

    ASSERT_EQ(s.connection->calls.size(), 1u);
    const RecordedCall& call = s.connection->calls[0];
    EXPECT_EQ(call.selector, vennix::kAccessorMethodCheckValueOnDevice);
    EXPECT_EQ(call.request, concat({text("_STA"), {0}, text(kPath20), {0}, {0, 0, 0}}));
    EXPECT_EQ(call.outputRoom, 200u);
    EXPECT_TRUE(call.outputWasZeroed);
}

TEST(ACPIAccessorRequest, SizedInBytesOfUtf8NotInCharacters)
{
    // Two characters of key, three of path; six and five bytes.
    const std::string key = "\xC3\xA4\xE2\x82\xAC";   // "ä€"
    const std::string path = "/\xC3\xBC/x";           // "/ü/x"
    ASSERT_EQ(key.size(), 5u);
    Scripted s;
    s.answer(numberItem(0));
    s.accessor->getValueOnDevice(path, key);

    ASSERT_EQ(s.connection->calls.size(), 1u);
    const Bytes& request = s.connection->calls[0].request;
    EXPECT_EQ(request.size(), key.size() + path.size() + 5);
    EXPECT_EQ(request, concat({text(key), {0}, text(path), {0}, {0, 0, 0}}));
}

TEST(ACPIAccessorRequest, EmptyKeyAndPathStillSendBothNuls)
{
    Scripted s;
    s.answer(stringItem(""));
    EXPECT_EQ(s.accessor->checkValueOnDevice("", ""), "");
    ASSERT_EQ(s.connection->calls.size(), 1u);
    EXPECT_EQ(s.connection->calls[0].request, Bytes(5, 0));
}

TEST(ACPIAccessorRequest, SetAppendsTheArgumentItemInsteadOfTheSlack)
{
    Scripted s;
    s.answer(numberItem(7));
    s.answer(stringItem("on"));
    s.answer(dataItem(2, {0x12, 0x34}));
    s.answer(dataItem(0, {}));
    EXPECT_EQ(s.accessor->setValueOnDevice("/EC0", "SETV", uint64_t{0x0102030405060708}), ACPIValue{uint64_t{7}});
    EXPECT_EQ(s.accessor->setValueOnDevice("/EC0", "SETV", std::string("on")), ACPIValue{std::string("on")});
    EXPECT_EQ(s.accessor->setValueOnDevice("/EC0", "SETV", Bytes({0x12, 0x34})), ACPIValue{Bytes({0x12, 0x34})});
    EXPECT_EQ(s.accessor->setValueOnDevice("/EC0", "SETV", Bytes{}), ACPIValue{Bytes{}});

    const auto& calls = s.connection->calls;
    ASSERT_EQ(calls.size(), 4u);
    const Bytes head = concat({text("SETV"), {0}, text("/EC0"), {0}});
    for (const RecordedCall& call : calls) {
        EXPECT_EQ(call.selector, vennix::kAccessorMethodSetValueOnDevice);
        EXPECT_EQ(call.outputRoom, 200u);
        EXPECT_TRUE(call.outputWasZeroed);
    }
    EXPECT_EQ(calls[0].request, concat({head, {3, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}}));
    EXPECT_EQ(calls[1].request, concat({head, {2, 0, 0, 0, 'o', 'n', 0}}));
    EXPECT_EQ(calls[2].request, concat({head, {5, 0, 0, 0, 2, 0, 0, 0, 0x12, 0x34}}));
    EXPECT_EQ(calls[3].request, concat({head, {5, 0, 0, 0, 0, 0, 0, 0}}));
}

TEST(ACPIAccessorRequest, TheServiceReadsBackTheArgumentItAsked)
{
    // The argument as encoded here is what the service's own reader makes of it.
    const std::vector<ACPIValue> arguments = {uint64_t{0xFFFFFFFFFFFFFFFF}, std::string("abc"), Bytes{9, 8, 7}};
    for (const ACPIValue& argument : arguments) {
        const Bytes request = ACPIAccessor::makeRequest("/P", "K", argument);
        const size_t itemOffset = 2 + 3; // "K\0/P\0"
        ASSERT_GT(request.size(), itemOffset);
        vennix::OSObject* object = nullptr;
        const int consumed = vennix::memToObject(request.data() + itemOffset,
                                                 static_cast<int>(request.size() - itemOffset), &object);
        EXPECT_EQ(static_cast<size_t>(consumed), request.size() - itemOffset);
        ASSERT_NE(object, nullptr);
        uint8_t reply[ACPIAccessor::kReplySize] = {};
        vennix::objectToMem(object, reply, sizeof reply);
        object->release();
        EXPECT_EQ(ACPIAccessor::decodeReply(reply, sizeof reply), argument);
    }
}

TEST(ACPIAccessorRequest, ANulInKeyPathOrStringArgumentIsRefusedWithoutACall)
{
    Scripted s;
    const std::string nulKey("TE\0P", 4);
    const std::string nulPath("/_SB\0/EC0", 9);
    EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, nulKey));
    EXPECT_FALSE(s.accessor->getValueOnDevice(nulPath, "TEMP"));
    EXPECT_FALSE(s.accessor->checkValueOnDevice(nulPath, "TEMP"));
    EXPECT_FALSE(s.accessor->checkValueOnDevice(kPath20, nulKey));
    EXPECT_FALSE(s.accessor->setValueOnDevice(nulPath, "SETV", uint64_t{1}));
    EXPECT_FALSE(s.accessor->setValueOnDevice(kPath20, nulKey, uint64_t{1}));
    EXPECT_FALSE(s.accessor->setValueOnDevice(kPath20, "SETV", std::string("a\0b", 3)));
    EXPECT_TRUE(s.connection->calls.empty());
    // Bytes with a NUL are data, not text: they go through.
    s.answer(dataItem(3, {'a', 0, 'b'}));
    EXPECT_EQ(s.accessor->setValueOnDevice(kPath20, "SETV", Bytes({'a', 0, 'b'})), ACPIValue{Bytes({'a', 0, 'b'})});
}

TEST(ACPIAccessorRequest, ARequestLargerThanACallCarriesIsRefusedWithoutACall)
{
    Scripted s;
    const std::string longPath(ServiceConnection::kMaxStructureSize, 'p');
    EXPECT_FALSE(s.accessor->getValueOnDevice(longPath, "TEMP"));
    EXPECT_FALSE(s.accessor->setValueOnDevice("/EC0", "SETV", Bytes(ServiceConnection::kMaxStructureSize, 1)));
    EXPECT_TRUE(s.connection->calls.empty());

    // The largest that fits goes through.
    const std::string fitting(ServiceConnection::kMaxStructureSize - 4 - 5, 'p');
    EXPECT_EQ(ACPIAccessor::makeRequest(fitting, "TEMP").size(), ServiceConnection::kMaxStructureSize);
}

// ---- replies ------------------------------------------------------------------------------------

TEST(ACPIAccessorReply, StringNumberAndDataAreDecoded)
{
    Scripted s;
    s.answer(stringItem("Simulated EC"));
    s.answer(numberItem(1));
    s.answer(numberItem(0xFFFFFFFFFFFFFFFF));
    s.answer(dataItem(0, {}));
    s.answer(dataItem(4, {1, 2, 3, 4}));
    s.answer(stringItem(""));
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "NAME"), ACPIValue{std::string("Simulated EC")});
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "ONE_"), ACPIValue{uint64_t{1}});
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "MAX_"), ACPIValue{uint64_t{0xFFFFFFFFFFFFFFFF}});
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "NONE"), ACPIValue{Bytes{}});
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "BUFF"), ACPIValue{Bytes({1, 2, 3, 4})});
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "EMPT"), ACPIValue{std::string()});
}

TEST(ACPIAccessorReply, EveryOtherTagIsNoValue)
{
    const std::vector<Bytes> replies = {
        tagOnly(vennix::kObjectTypeUnsupported),
        tagOnly(vennix::kObjectTypeNull),
        concat({tagOnly(vennix::kObjectTypeArray), {2, 0, 0, 0}, numberItem(1), stringItem("a")}),
        dataItem(4, {1, 2, 3, 4}, vennix::kObjectTypeDataTruncated),
        tagOnly(vennix::kObjectTypeNoRoom),
        concat({tagOnly(8), {0, 0, 0, 0, 0, 0, 0, 0}}), // no such tag
        concat({tagOnly(0x03000000), {1, 0, 0, 0, 0, 0, 0, 0}}), // a number's tag in the wrong byte order
    };
    for (const Bytes& reply : replies) {
        Scripted s;
        s.answer(reply);
        EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "PKG0")) << "tag " << int(reply[0]);
    }
}

TEST(ACPIAccessorReply, NoReplyWrittenIsNoValue)
{
    // A method that answers nothing leaves the buffer as the caller cleared it.
    Scripted s;
    s.answer(Bytes{});
    EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "XXXX"));
}

TEST(ACPIAccessorReply, AFailedCallIsNoValueWhateverItWrote)
{
    for (IOReturn status : {vennix::kIOReturnBadArgument, vennix::kIOReturnNotAttached,
                            vennix::kIOReturnIPCError, vennix::kIOReturnNotPrivileged}) {
        Scripted s;
        s.answer(ScriptedReply{status, numberItem(15)});
        s.answer(ScriptedReply{status, stringItem("OSNumber")});
        s.answer(ScriptedReply{status, numberItem(7)});
        EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "_STA")) << status;
        EXPECT_FALSE(s.accessor->checkValueOnDevice(kPath20, "_STA")) << status;
        EXPECT_FALSE(s.accessor->setValueOnDevice(kPath20, "SETV", uint64_t{7})) << status;
    }
}

TEST(ACPIAccessorReply, ItemsRunningPastTheBufferAreNoValue)
{
    Scripted s;
    // A string of 196 characters fills the buffer with no room for its NUL.
    s.answer(stringItem(std::string(196, 's'), false));
    EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "LONG"));

    // Data that claims one byte more than the buffer holds, or far more.
    s.answer(dataItem(193, Bytes(192, 0xAB)));
    EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "DATA"));
    s.answer(dataItem(0xFFFFFFFF, Bytes(192, 0xAB)));
    EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "DATA"));
    s.answer(dataItem(192, Bytes(192, 0xAB)));
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "DATA"), ACPIValue{Bytes(192, 0xAB)});
}

TEST(ACPIAccessorReply, AStringTheServiceCutIsNoValue)
{
    // The longest string that fits whole: 191 characters and the NUL end 4 bytes short of the
    // buffer. The service cuts a longer one to 192 characters without its NUL, and the zeroed
    // bytes behind it must not pass for one.
    Scripted s;
    s.answer(stringItem(std::string(191, 's')));
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "LONG"), ACPIValue{std::string(191, 's')});
    s.answer(stringItem(std::string(192, 's'), false));
    EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "LONG"));
    s.answer(stringItem(std::string(195, 's')));
    EXPECT_FALSE(s.accessor->getValueOnDevice(kPath20, "LONG")) << "a NUL where the service writes none";

    // What the service's writer makes of a 300-character string, read back.
    vennix::OSString* longText = vennix::OSString::withCString(std::string(300, 'x').c_str());
    ASSERT_NE(longText, nullptr);
    uint8_t reply[ACPIAccessor::kReplySize] = {};
    vennix::objectToMem(longText, reply, sizeof reply);
    longText->release();
    EXPECT_FALSE(ACPIAccessor::decodeReply(reply, sizeof reply));
}

TEST(ACPIAccessorReply, DecodingStaysWithinTheSizeGiven)
{
    // Exactly sized heap copies, so that AddressSanitizer sees any byte read past them.
    auto decode = [](const Bytes& item) {
        const auto copy = std::make_unique<uint8_t[]>(item.size());
        std::memcpy(copy.get(), item.data(), item.size());
        return ACPIAccessor::decodeReply(copy.get(), item.size());
    };
    const Bytes number = numberItem(42);
    EXPECT_EQ(decode(number), ACPIValue{uint64_t{42}});
    EXPECT_FALSE(decode(Bytes(number.begin(), number.end() - 1)));
    EXPECT_EQ(decode(concat({stringItem("x"), Bytes(4, 0)})), ACPIValue{std::string("x")});
    EXPECT_FALSE(decode(stringItem("x"))) << "its NUL in the last four bytes";
    EXPECT_FALSE(decode(concat({stringItem("x", false), Bytes(3, 'y')})));
    EXPECT_FALSE(decode(tagOnly(vennix::kObjectTypeString)));
    EXPECT_EQ(decode(dataItem(2, {5, 6})), ACPIValue{Bytes({5, 6})});
    EXPECT_FALSE(decode(dataItem(3, {5, 6})));
    EXPECT_FALSE(decode(concat({tagOnly(vennix::kObjectTypeData), {0, 0, 0}})));
    EXPECT_FALSE(decode(Bytes{3, 0, 0}));
    EXPECT_FALSE(ACPIAccessor::decodeReply(nullptr, 200));
}

TEST(ACPIAccessorReply, CheckAnswersOnlyStrings)
{
    Scripted s;
    s.answer(stringItem("Falscher Key"));
    s.answer(numberItem(15));
    s.answer(dataItem(1, {'x'}));
    s.answer(stringItem(std::string(192, 'p'), false));
    EXPECT_EQ(s.accessor->checkValueOnDevice(kPath20, "XXXX"), "Falscher Key");
    EXPECT_FALSE(s.accessor->checkValueOnDevice(kPath20, "_STA"));
    EXPECT_FALSE(s.accessor->checkValueOnDevice(kPath20, "_STA"));
    EXPECT_FALSE(s.accessor->checkValueOnDevice(kPath20, "_STA")) << "a path cut by the service";
}

// ---- the connection -------------------------------------------------------------------------------

TEST(ACPIAccessorConnection, ClosedWhenTheAccessorGoesAndNotBefore)
{
    Scripted s;
    const std::shared_ptr<int> closes = s.connection->closes;
    s.answer(numberItem(15));
    EXPECT_EQ(s.accessor->getValueOnDevice(kPath20, "_STA"), ACPIValue{uint64_t{15}});
    EXPECT_EQ(*closes, 0);
    s.accessor.reset();
    EXPECT_EQ(*closes, 1);
}

TEST(ACPIAccessorConnection, WithoutAConnectionEveryCallIsNoValue)
{
    ACPIAccessor accessor(nullptr);
    EXPECT_FALSE(accessor.getValueOnDevice(kPath20, "_STA"));
    EXPECT_FALSE(accessor.checkValueOnDevice(kPath20, "_STA"));
    EXPECT_FALSE(accessor.setValueOnDevice(kPath20, "SETV", uint64_t{1}));
}

} // namespace
} // namespace qarn
