// The object wire format: exact bytes of each item, cut strings and buffers, no-room items,
// reading back, and every way an item can run past the bytes it is given.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kext/ObjectWireFormat.h"
#include "kext/platform/OSArray.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

namespace vennix {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFill = 0xEE;

// Owns one reference for the test's scope.
template <class T>
struct Held {
    explicit Held(T* object = nullptr) : object(object) {}
    ~Held() { OSSafeReleaseNULL(object); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    T* get() const { return object; }
    T* operator->() const { return object; }
    T* object;
};

OSArray* arrayOf(std::initializer_list<OSObject*> elements)
{
    OSArray* array = OSArray::withCapacity(static_cast<unsigned int>(elements.size()));
    for (OSObject* element : elements) {
        array->setObject(element);
        element->release();
    }
    return array;
}

OSObject* number(uint64_t value)
{
    return OSNumber::withNumber(value, 64);
}

OSObject* string(const char* text)
{
    return OSString::withCString(text);
}

OSObject* dataObject(const Bytes& bytes)
{
    return OSData::withBytes(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

// Writes object into a buffer of size bytes (filled with kFill beforehand) and answers the
// bytes written; the whole buffer stays in written so that tests can see what was not touched.
struct Written {
    Written(OSObject* object, int size) : buffer(static_cast<size_t>(size), kFill)
    {
        count = objectToMem(object, buffer.data(), size);
    }
    Bytes bytes() const { return Bytes(buffer.begin(), buffer.begin() + count); }
    Bytes buffer;
    int count;
};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Reads one item from exactly these bytes (a copy of its own size, so that ASan sees any read
// beyond them).
struct Read {
    explicit Read(const Bytes& bytes) : copy(new uint8_t[bytes.size()])
    {
        std::copy(bytes.begin(), bytes.end(), copy.get());
        consumed = memToObject(copy.get(), static_cast<int>(bytes.size()), &object.object);
    }
    std::unique_ptr<uint8_t[]> copy;
    Held<OSObject> object;
    int consumed;
};

TEST(ObjectWireFormatWrite, ItemsByteForByte)
{
    Held<OSObject> abc(string("abc"));
    Written s(abc.get(), 64);
    EXPECT_EQ(s.count, 8);
    EXPECT_EQ(s.bytes(), (Bytes{0x02, 0, 0, 0, 'a', 'b', 'c', 0}));
    EXPECT_EQ(s.buffer[8], kFill);

    Held<OSObject> five(number(5));
    Written n(five.get(), 64);
    EXPECT_EQ(n.bytes(), (Bytes{0x03, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0}));

    Held<OSObject> twoBytes(dataObject({0x12, 0x34}));
    Written d(twoBytes.get(), 64);
    EXPECT_EQ(d.bytes(), (Bytes{0x05, 0, 0, 0, 0x02, 0, 0, 0, 0x12, 0x34}));

    Held<OSArray> pair(arrayOf({number(1), string("a")}));
    Written a(pair.get(), 64);
    EXPECT_EQ(a.count, 26);
    EXPECT_EQ(a.bytes(), concat({{0x04, 0, 0, 0, 0x02, 0, 0, 0},
                                 {0x03, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0},
                                 {0x02, 0, 0, 0, 'a', 0}}));

    Written null(nullptr, 64);
    EXPECT_EQ(null.bytes(), (Bytes{0x01, 0, 0, 0}));

    Held<OSDictionary> dictionary(OSDictionary::withCapacity(1));
    EXPECT_EQ(Written(dictionary.get(), 64).bytes(), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(Written(kOSBooleanTrue, 64).bytes(), (Bytes{0, 0, 0, 0}));

    Held<OSArray> empty(OSArray::withCapacity(0));
    EXPECT_EQ(Written(empty.get(), 64).bytes(), (Bytes{0x04, 0, 0, 0, 0, 0, 0, 0}));
    Held<OSObject> noBytes(dataObject({}));
    EXPECT_EQ(Written(noBytes.get(), 64).bytes(), (Bytes{0x05, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ObjectWireFormatWrite, SymbolsAreStringsAndNumbersAreSixtyFourBits)
{
    Held<const OSSymbol> key(OSSymbol::withCString("_STA"));
    EXPECT_EQ(Written(const_cast<OSSymbol*>(key.get()), 64).bytes(),
              (Bytes{0x02, 0, 0, 0, '_', 'S', 'T', 'A', 0}));
    Held<OSNumber> narrow(OSNumber::withNumber(0x1FF, 8));
    EXPECT_EQ(Written(narrow.get(), 64).bytes(), (Bytes{0x03, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0}));
    Held<OSObject> wide(number(0x8877665544332211));
    EXPECT_EQ(Written(wide.get(), 64).bytes(),
              (Bytes{0x03, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
}

TEST(ObjectWireFormatWrite, SmallSpacesGetNoRoomOrNothing)
{
    Held<OSObject> five(number(5));
    for (int size : {4, 10, 15}) {
        Written w(five.get(), size);
        EXPECT_EQ(w.bytes(), (Bytes{0x07, 0, 0, 0})) << size;
        EXPECT_EQ(Bytes(w.buffer.begin() + 4, w.buffer.end()), Bytes(size - 4, kFill)) << size;
    }
    // The size test comes first: even a null object becomes no-room.
    EXPECT_EQ(Written(nullptr, 10).bytes(), (Bytes{0x07, 0, 0, 0}));
    for (int size : {0, 1, 3}) {
        Written w(five.get(), size);
        EXPECT_EQ(w.count, 0) << size;
        EXPECT_EQ(w.buffer, Bytes(static_cast<size_t>(size), kFill)) << size;
    }
    EXPECT_EQ(objectToMem(five.get(), nullptr, 64), 0);
    uint8_t one = kFill;
    EXPECT_EQ(objectToMem(five.get(), &one, -5), 0);
}

TEST(ObjectWireFormatWrite, LongStringsAndBuffersAreCut)
{
    Held<OSObject> ten(string("0123456789"));
    Written s(ten.get(), 16);
    EXPECT_EQ(s.count, 12);
    EXPECT_EQ(s.bytes(), concat({{0x02, 0, 0, 0}, Bytes{'0', '1', '2', '3', '4', '5', '6', '7'}}));
    EXPECT_EQ(Bytes(s.buffer.begin() + 12, s.buffer.end()), Bytes(4, kFill));

    // Exactly the room for text and NUL less 8: cut by one.
    Held<OSObject> fits(string("01234567"));
    EXPECT_EQ(Written(fits.get(), 17).count, 13); // 4 + 9: with its NUL
    EXPECT_EQ(Written(fits.get(), 16).count, 12); // 4 + 8: no NUL

    Bytes twenty(20);
    for (size_t i = 0; i < twenty.size(); ++i)
        twenty[i] = static_cast<uint8_t>(0xA0 + i);
    Held<OSObject> big(dataObject(twenty));
    Written d(big.get(), 16);
    EXPECT_EQ(d.count, 12);
    EXPECT_EQ(d.bytes(), (Bytes{0x06, 0, 0, 0, 0x04, 0, 0, 0, 0xA0, 0xA1, 0xA2, 0xA3}));

    // A buffer that just fits is whole, with tag 5.
    Held<OSObject> four(dataObject({1, 2, 3, 4}));
    EXPECT_EQ(Written(four.get(), 16).bytes(), (Bytes{0x05, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4}));
}

TEST(ObjectWireFormatWrite, ArraysKeepTheirFullCountWhenElementsDoNotFit)
{
    // 30 bytes: header 8, the first number 12, then 10 left: no-room; 6 left: no-room; the
    // fourth element finds 2 bytes and writes nothing. The count stays 4.
    Held<OSArray> three(arrayOf({number(1), number(2), number(3), number(4)}));
    Written w(three.get(), 30);
    EXPECT_EQ(w.count, 28);
    EXPECT_EQ(w.bytes(), concat({{0x04, 0, 0, 0, 0x04, 0, 0, 0},
                                 {0x03, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0},
                                 {0x07, 0, 0, 0},
                                 {0x07, 0, 0, 0}}));
    EXPECT_EQ(w.buffer[28], kFill);

    Held<OSArray> nested(arrayOf({arrayOf({string("x")}), number(9)}));
    Written n(nested.get(), 64);
    EXPECT_EQ(n.bytes(), concat({{0x04, 0, 0, 0, 0x02, 0, 0, 0},
                                 {0x04, 0, 0, 0, 0x01, 0, 0, 0},
                                 {0x02, 0, 0, 0, 'x', 0},
                                 {0x03, 0, 0, 0, 0x09, 0, 0, 0, 0, 0, 0, 0}}));
}

TEST(ObjectWireFormatWrite, DeepAndCyclicArraysStayBounded)
{
    // An array that holds itself would recurse for ever; below the depth limit it is written
    // as unsupported.
    Held<OSArray> cyclic(OSArray::withCapacity(1));
    cyclic->setObject(cyclic.get());
    std::vector<uint8_t> buffer(1 << 16, kFill);
    const int written = objectToMem(cyclic.get(), buffer.data(), static_cast<int>(buffer.size()));
    EXPECT_EQ(written, 8 * kObjectMaxDepth + 4);
    EXPECT_EQ(buffer[8 * kObjectMaxDepth], kObjectTypeUnsupported);
    cyclic->removeObject(0); // break the cycle so that it can be freed
}

TEST(ObjectWireFormatRead, ItemsFromTheirBytes)
{
    Read s({0x02, 0, 0, 0, 'a', 'b', 'c', 0, 0xEE});
    EXPECT_EQ(s.consumed, 8);
    ASSERT_NE(OSDynamicCast<OSString>(s.object.get()), nullptr);
    EXPECT_TRUE(OSDynamicCast<OSString>(s.object.get())->isEqualTo("abc"));

    Read n({0x03, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    EXPECT_EQ(n.consumed, 12);
    const auto* value = OSDynamicCast<OSNumber>(n.object.get());
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->numberOfBits(), 64u);
    EXPECT_EQ(value->unsigned64BitValue(), 0x8877665544332211u);

    // Exactly the L bytes after the count, not what follows.
    Read d({0x05, 0, 0, 0, 0x02, 0, 0, 0, 0x12, 0x34, 0x56});
    EXPECT_EQ(d.consumed, 10);
    const auto* bytes = OSDynamicCast<OSData>(d.object.get());
    ASSERT_NE(bytes, nullptr);
    const uint8_t expected[] = {0x12, 0x34};
    EXPECT_TRUE(bytes->isEqualTo(expected, 2));

    Read empty({0x05, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(empty.consumed, 8);
    ASSERT_NE(OSDynamicCast<OSData>(empty.object.get()), nullptr);
    EXPECT_EQ(OSDynamicCast<OSData>(empty.object.get())->getLength(), 0u);
}

TEST(ObjectWireFormatRead, ArraysAndTheirFirstUnreadableElement)
{
    const Bytes pair = concat({{0x04, 0, 0, 0, 0x02, 0, 0, 0},
                               {0x03, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0},
                               {0x02, 0, 0, 0, 'a', 0}});
    Read a(pair);
    EXPECT_EQ(a.consumed, 26);
    const auto* array = OSDynamicCast<OSArray>(a.object.get());
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->getCount(), 2u);
    EXPECT_EQ(OSDynamicCast<OSNumber>(array->getObject(0))->unsigned64BitValue(), 1u);
    EXPECT_TRUE(OSDynamicCast<OSString>(array->getObject(1))->isEqualTo("a"));
    EXPECT_EQ(array->getObject(0)->getRetainCount(), 1); // the array's reference only

    // A null second element ends the array after the first.
    Read stopped(concat({{0x04, 0, 0, 0, 0x03, 0, 0, 0},
                         {0x03, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0},
                         {0x01, 0, 0, 0},
                         {0x03, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(stopped.consumed, 20);
    ASSERT_NE(OSDynamicCast<OSArray>(stopped.object.get()), nullptr);
    EXPECT_EQ(OSDynamicCast<OSArray>(stopped.object.get())->getCount(), 1u);

    // Nested arrays.
    Read nested(concat({{0x04, 0, 0, 0, 0x01, 0, 0, 0}, {0x04, 0, 0, 0, 0x00, 0, 0, 0}}));
    EXPECT_EQ(nested.consumed, 16);
    const auto* outer = OSDynamicCast<OSArray>(nested.object.get());
    ASSERT_NE(outer, nullptr);
    ASSERT_EQ(outer->getCount(), 1u);
    EXPECT_NE(OSDynamicCast<OSArray>(outer->getObject(0)), nullptr);
}

TEST(ObjectWireFormatRead, TagsThatAreNotReadBack)
{
    for (uint8_t tag : {0, 1, 6, 7, 8, 0xFF}) {
        Read r({tag, 0, 0, 0, 0x01, 0, 0, 0, 0xAA, 0, 0, 0});
        EXPECT_EQ(r.consumed, 0) << int(tag);
        EXPECT_EQ(r.object.get(), nullptr) << int(tag);
    }
    Read high({0x02, 0, 0, 0x01, 'a', 0}); // tag 0x01000002, not 2
    EXPECT_EQ(high.consumed, 0);
}

TEST(ObjectWireFormatRead, ItemsRunningPastTheLengthGiveNothing)
{
    // Each case is cut short by one byte or more; the Read copy is exactly that long.
    const std::vector<Bytes> cut = {
        {},                                                // nothing at all
        {0x03},                                            // a tag cut short
        {0x03, 0, 0},                                      //
        {0x02, 0, 0, 0},                                   // string with no text at all
        {0x02, 0, 0, 0, 'a', 'b', 'c'},                    // string without its NUL
        {0x03, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0},           // number one byte short
        {0x05, 0, 0, 0},                                   // data without its count
        {0x05, 0, 0, 0, 0x02, 0, 0},                       // count cut short
        {0x05, 0, 0, 0, 0x03, 0, 0, 0, 0x12, 0x34},        // data one byte short
        {0x05, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x12},     // a count near 4 GiB
        {0x04, 0, 0, 0, 0x01, 0, 0},                       // array count cut short
    };
    for (size_t i = 0; i < cut.size(); ++i) {
        Read r(cut[i]);
        EXPECT_EQ(r.consumed, 0) << "case " << i;
        EXPECT_EQ(r.object.get(), nullptr) << "case " << i;
    }

    // An array whose elements run past the length keeps those read before.
    Read partial(concat({{0x04, 0, 0, 0, 0x03, 0, 0, 0},
                         {0x03, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0},
                         {0x02, 0, 0, 0, 'a', 'b'}}));
    EXPECT_EQ(partial.consumed, 20);
    ASSERT_NE(OSDynamicCast<OSArray>(partial.object.get()), nullptr);
    EXPECT_EQ(OSDynamicCast<OSArray>(partial.object.get())->getCount(), 1u);

    // A count of four billion elements with none there: an empty array, 8 bytes.
    Read claims({0x04, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(claims.consumed, 8);
    ASSERT_NE(OSDynamicCast<OSArray>(claims.object.get()), nullptr);
    EXPECT_EQ(OSDynamicCast<OSArray>(claims.object.get())->getCount(), 0u);

    OSObject* object = reinterpret_cast<OSObject*>(0x1);
    const uint8_t number[12] = {0x03};
    EXPECT_EQ(memToObject(number, 0, &object), 0);
    EXPECT_EQ(object, nullptr);
    object = reinterpret_cast<OSObject*>(0x1);
    EXPECT_EQ(memToObject(number, -1, &object), 0);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(memToObject(nullptr, 12, &object), 0);
    EXPECT_EQ(memToObject(number, 12, nullptr), 0);
}

TEST(ObjectWireFormatRead, NestingDeeperThanTheLimitIsUnreadable)
{
    auto nestedArrays = [](int depth) {
        Bytes bytes;
        for (int i = 0; i < depth; ++i)
            bytes.insert(bytes.end(), {0x04, 0, 0, 0, 0x01, 0, 0, 0});
        bytes.insert(bytes.end(), {0x03, 0, 0, 0, 0x2A, 0, 0, 0, 0, 0, 0, 0});
        return bytes;
    };
    auto depthOf = [](OSObject* object) {
        int depth = 0;
        while (const auto* array = OSDynamicCast<OSArray>(object)) {
            ++depth;
            object = array->getObject(0);
        }
        return depth;
    };

    Read atLimit(nestedArrays(kObjectMaxDepth));
    EXPECT_EQ(atLimit.consumed, 8 * kObjectMaxDepth + 12);
    EXPECT_EQ(depthOf(atLimit.object.get()), kObjectMaxDepth);

    // One more level: the innermost array is unreadable, so every array around it stops empty.
    Read beyond(nestedArrays(kObjectMaxDepth + 1));
    EXPECT_EQ(beyond.consumed, 8 * kObjectMaxDepth);
    EXPECT_EQ(depthOf(beyond.object.get()), kObjectMaxDepth);

    // Thousands of levels from a hostile client: bounded, no stack overflow.
    Read hostile(nestedArrays(100000));
    EXPECT_EQ(depthOf(hostile.object.get()), kObjectMaxDepth);
}

TEST(ObjectWireFormat, WhatIsWrittenReadsBackEqual)
{
    Bytes bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    std::vector<OSObject*> objects = {
        number(0),
        number(UINT64_MAX),
        string(""),
        string("Falscher Key"),
        dataObject({}),
        dataObject(bytes),
        arrayOf({}),
        arrayOf({number(0x2A), string("Qarn"), dataObject({1, 2, 3}), arrayOf({number(1), arrayOf({})})}),
    };
    for (size_t i = 0; i < objects.size(); ++i) {
        Written w(objects[i], 1024);
        Read r(w.bytes());
        EXPECT_EQ(r.consumed, w.count) << "object " << i;
        ASSERT_NE(r.object.get(), nullptr) << "object " << i;
        EXPECT_TRUE(r.object->isEqualTo(objects[i])) << "object " << i;
        objects[i]->release();
    }
}

TEST(ObjectWireFormat, CutItemsDoNotReadBack)
{
    // What the writer cut for lack of room is no item a reader takes for whole.
    Held<OSObject> text(string("a string that is longer than sixteen"));
    Written s(text.get(), 16);
    EXPECT_EQ(Read(s.bytes()).consumed, 0);

    Held<OSObject> big(dataObject(Bytes(40, 0x55)));
    Written d(big.get(), 16);
    EXPECT_EQ(d.buffer[0], kObjectTypeDataTruncated);
    EXPECT_EQ(Read(d.bytes()).consumed, 0);
}

} // namespace
} // namespace vennix
