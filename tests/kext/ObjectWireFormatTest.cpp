// The object wire format: exact bytes of each item within the space given, and reading items
// back from exactly their bytes, whatever those bytes claim.

#include <gtest/gtest.h>

#include "kext/ObjectWireFormat.h"
#include "kext/platform/OSArray.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"

namespace vennix {
namespace {

using Bytes = std::vector<uint8_t>;

// "02000000 6100" -> {2, 0, 0, 0, 'a', 0}
Bytes hex(const std::string& text)
{
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += text[i] == ' ' ? 1 : 2)
        if (text[i] != ' ')
            bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// What objectToMem writes into size bytes; the rest must stay untouched.
Bytes written(OSObject* object, int size)
{
    Bytes buffer(static_cast<size_t>(size), 0xEE);
    const int count = objectToMem(object, buffer.data(), size);
    EXPECT_EQ(Bytes(buffer.begin() + count, buffer.end()), Bytes(buffer.size() - count, 0xEE));
    return Bytes(buffer.begin(), buffer.begin() + count);
}

TEST(ObjectWireFormat, ItemsByteForByteWithinTheSpaceGiven)
{
    std::vector<OSObject*> made; // released at the end
    auto own = [&](OSObject* object) { return made.push_back(object), object; };
    auto number = [&](uint64_t value, unsigned bits = 64) { return own(OSNumber::withNumber(value, bits)); };
    auto string = [&](const char* text) { return own(OSString::withCString(text)); };
    auto data = [&](const Bytes& bytes) { return own(OSData::withBytes(bytes.data(), unsigned(bytes.size()))); };
    auto array = [&](std::initializer_list<OSObject*> elements) {
        OSArray* array = OSArray::withCapacity(0);
        std::for_each(elements.begin(), elements.end(), [&](OSObject* element) { array->setObject(element); });
        return own(array);
    };
    const std::tuple<OSObject*, int, const char*> cases[]
        = {{string("abc"), 64, "02000000 61626300"}, {number(0x1FF, 8), 64, "03000000 ff00000000000000"},
            {number(0x8877665544332211), 64, "03000000 1122334455667788"},
            {data({0x12, 0x34}), 64, "05000000 02000000 1234"}, {data({}), 64, "05000000 00000000"},
            {array({}), 64, "04000000 00000000"}, {nullptr, 64, "01000000"},
            {array({array({string("x")}), number(9)}), 64,
                "04000000 02000000 04000000 01000000 02000000 7800 03000000 0900000000000000"},
            {own(OSDictionary::withCapacity(1)), 64, "00000000"},
            {kOSBooleanTrue, 64, "00000000"}, // no such item: unsupported
            // Below 16 bytes only a no-room tag fits, not even a null; below 4 nothing.
            {number(5), 15, "07000000"}, {number(5), 4, "07000000"}, {nullptr, 10, "07000000"}, {nullptr, 3, ""},
            // Strings and buffers are cut to leave 4 bytes unused.
            {string("0123456789"), 16, "02000000 3031323334353637"},
            {string("01234567"), 17, "02000000 303132333435363700"},
            {data({0xA0, 0xA1, 0xA2, 0xA3, 0xA4}), 16, "06000000 04000000 a0a1a2a3"},
            {data({1, 2, 3, 4}), 16, "05000000 04000000 01020304"},
            // An array keeps its full count: two no-room elements, then 2 bytes that take nothing.
            {array({number(1), number(2), number(3), number(4)}), 30,
                "04000000 04000000 03000000 0100000000000000 07000000 07000000"}};
    for (const auto& [object, size, bytes] : cases)
        EXPECT_EQ(written(object, size), hex(bytes)) << bytes;
    uint8_t untouched = 0xEE;
    EXPECT_TRUE(
        objectToMem(kOSBooleanTrue, nullptr, 64) + objectToMem(nullptr, &untouched, -5) == 0 && untouched == 0xEE);
    std::for_each(made.rbegin(), made.rend(), [](OSObject* object) { object->release(); });

    // An array that holds itself is written down to the depth limit, then as unsupported.
    OSArray* cyclic = OSArray::withCapacity(1);
    cyclic->setObject(cyclic);
    const Bytes deep = written(cyclic, 1 << 16);
    EXPECT_TRUE(deep.size() == 8 * kObjectMaxDepth + 4 && deep[8 * kObjectMaxDepth] == kObjectTypeUnsupported);
    cyclic->removeObject(0); // break the cycle so that it can be freed
    cyclic->release();
}

TEST(ObjectWireFormat, ItemsReadBackFromExactlyTheirBytes)
{
    // Each item is read from a copy of exactly its bytes (ASan sees any read beyond), then written
    // again: the item read, up to where it stopped, or nothing.
    auto read = [](const Bytes& bytes, int& consumed) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), copy.get());
        OSObject* object = kOSBooleanTrue;
        consumed = memToObject(copy.get(), static_cast<int>(bytes.size()), &object);
        const Bytes again = object ? written(object, 1 << 16) : Bytes();
        OSSafeReleaseNULL(object);
        return again;
    };
    const std::tuple<const char*, int, const char*> cases[] = {// bytes: consumed, written again
        {"02000000 61626300 ee", 8, "02000000 61626300"}, {"05000000 02000000 123456", 10, "05000000 02000000 1234"},
        {"03000000 1122334455667788", 12, "03000000 1122334455667788"},
        {"04000000 02000000 03000000 0100000000000000 02000000 6100", 26,
            "04000000 02000000 03000000 0100000000000000 02000000 6100"},
        {"04000000 01000000 04000000 00000000", 16, "04000000 01000000 04000000 00000000"},
        // An array stops at its first unreadable element: a null, an element running past the end.
        {"04000000 03000000 03000000 0700000000000000 01000000", 20, "04000000 01000000 03000000 0700000000000000"},
        {"04000000 03000000 03000000 0100000000000000 02000000 6162", 20,
            "04000000 01000000 03000000 0100000000000000"},
        {"04000000 ffffffff", 8, "04000000 00000000"}, // four billion elements claimed, none there
        // Nothing: unread tags, cut items and items running past the length.
        {"", 0, ""}, {"00000000 01000000", 0, ""}, {"01000000 01000000", 0, ""}, {"06000000 01000000 aa", 0, ""},
        {"07000000 01000000", 0, ""}, {"08000000 01000000", 0, ""}, {"02000001 6100", 0, ""}, {"030000", 0, ""},
        {"02000000", 0, ""}, {"02000000 616263", 0, ""}, {"03000000 05000000000000", 0, ""}, {"05000000", 0, ""},
        {"05000000 020000", 0, ""}, {"05000000 03000000 1234", 0, ""}, {"05000000 ffffffff 12", 0, ""},
        {"04000000 010000", 0, ""}};
    for (const auto& [bytes, consumed, again] : cases) {
        int count = -1;
        EXPECT_EQ(read(hex(bytes), count), hex(again)) << bytes;
        EXPECT_EQ(count, consumed) << bytes;
    }
    OSObject* object = kOSBooleanTrue;
    EXPECT_TRUE(memToObject("\x03", -1, &object) == 0 && object == nullptr && memToObject("\x03", 1, nullptr) == 0);

    // Nesting: at the limit read whole; one level more and every array around stops empty.
    std::string arrays;
    for (int i = 0; i < kObjectMaxDepth; ++i)
        arrays += "04000000 01000000 ";
    const Bytes atLimit = hex(arrays + "03000000 2a00000000000000");
    Bytes stopped = hex(arrays);
    stopped[8 * kObjectMaxDepth - 4] = 0; // the innermost array read is empty
    int count = 0;
    EXPECT_TRUE(read(atLimit, count) == atLimit && count == 8 * kObjectMaxDepth + 12);
    EXPECT_TRUE(
        read(hex("04000000 01000000 " + arrays + "00000000"), count) == stopped && count == 8 * kObjectMaxDepth);
    std::string hostile;
    for (int i = 0; i < 100000; ++i)
        hostile += "04000000 01000000 ";
    EXPECT_EQ(read(hex(hostile), count), stopped); // bounded: no stack overflow
}

} // namespace
} // namespace vennix
