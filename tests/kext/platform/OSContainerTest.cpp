// The container classes: contents, bounds, and the references they hold.

#include "kext/platform/OSArray.h"
#include "kext/platform/OSBoolean.h"
#include "kext/platform/OSData.h"
#include "kext/platform/OSDictionary.h"
#include "kext/platform/OSNumber.h"
#include "kext/platform/OSString.h"
#include "kext/platform/OSSymbol.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vennix {
namespace {

TEST(OSStringTest, CopiesItsTextAndComparesByContent)
{
    char buffer[] = "Vennix";
    OSString* string = OSString::withCString(buffer);
    ASSERT_NE(string, nullptr);
    buffer[0] = 'X';
    EXPECT_STREQ(string->getCStringNoCopy(), "Vennix");
    EXPECT_EQ(string->getLength(), 6u);

    const OSSymbol* symbol = OSSymbol::withCString("Vennix");
    OSString* other = OSString::withCString("Vennia");
    EXPECT_TRUE(string->isEqualTo("Vennix"));
    EXPECT_FALSE(string->isEqualTo("Venni"));
    EXPECT_FALSE(string->isEqualTo(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(string->isEqualTo(symbol));
    EXPECT_TRUE(symbol->isEqualTo(static_cast<const OSObject*>(string)));
    EXPECT_FALSE(string->isEqualTo(other));
    EXPECT_FALSE(string->isEqualTo(static_cast<const OSObject*>(kOSBooleanTrue)));

    string->release();
    symbol->release();
    other->release();
}

TEST(OSStringTest, NullTextGivesNoStringAndBoundedTextStopsAtItsLimit)
{
    EXPECT_EQ(OSString::withCString(nullptr), nullptr);
    EXPECT_EQ(OSSymbol::withCString(nullptr), nullptr);

    // Text without a NUL inside the limit: only the limit is read.
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    OSString* cut = OSString::withCString(unterminated, 3);
    ASSERT_NE(cut, nullptr);
    EXPECT_STREQ(cut->getCStringNoCopy(), "abc");
    const OSSymbol* symbol = OSSymbol::withCString(unterminated, sizeof unterminated);
    EXPECT_STREQ(symbol->getCStringNoCopy(), "abcd");
    // A NUL before the limit ends the text there.
    OSString* shortText = OSString::withCString("ab\0cd", 5);
    EXPECT_EQ(shortText->getLength(), 2u);

    OSString* empty = OSString::withCString("");
    EXPECT_EQ(empty->getLength(), 0u);
    EXPECT_STREQ(empty->getCStringNoCopy(), "");

    cut->release();
    symbol->release();
    shortText->release();
    empty->release();
}

TEST(OSSymbolTest, WithStringReusesASymbolAndCopiesAString)
{
    const OSSymbol* symbol = OSSymbol::withCString("_STA");
    const OSSymbol* same = OSSymbol::withString(symbol);
    EXPECT_EQ(same, symbol);
    EXPECT_EQ(symbol->getRetainCount(), 2);

    OSString* string = OSString::withCString("_STA");
    const OSSymbol* made = OSSymbol::withString(string);
    ASSERT_NE(made, nullptr);
    EXPECT_NE(static_cast<const OSObject*>(made), string);
    EXPECT_TRUE(made->isEqualTo(symbol));
    EXPECT_EQ(OSSymbol::withString(nullptr), nullptr);

    same->release();
    symbol->release();
    string->release();
    made->release();
}

TEST(OSNumberTest, KeepsTheLowBitsOfItsWidth)
{
    OSNumber* byte = OSNumber::withNumber(0x1FF, 8);
    EXPECT_EQ(byte->unsigned64BitValue(), 0xFFu);
    EXPECT_EQ(byte->numberOfBits(), 8u);
    EXPECT_EQ(byte->numberOfBytes(), 1u);

    OSNumber* wide = OSNumber::withNumber(0x0000000180000000ull, 64);
    EXPECT_EQ(wide->unsigned64BitValue(), 0x0000000180000000ull);
    EXPECT_EQ(wide->unsigned32BitValue(), 0x80000000u);
    EXPECT_EQ(wide->numberOfBytes(), 8u);

    OSNumber* all = OSNumber::withNumber(~0ull, 64);
    EXPECT_EQ(all->unsigned64BitValue(), ~0ull);
    OSNumber* odd = OSNumber::withNumber(0xFF, 3);
    EXPECT_EQ(odd->unsigned8BitValue(), 7u);
    EXPECT_EQ(odd->numberOfBytes(), 1u);

    // Equal values compare equal whatever their width.
    OSNumber* byteAgain = OSNumber::withNumber(0xFF, 32);
    EXPECT_TRUE(byte->isEqualTo(byteAgain));
    EXPECT_FALSE(byte->isEqualTo(wide));

    byte->release();
    wide->release();
    all->release();
    odd->release();
    byteAgain->release();
}

TEST(OSNumberTest, RefusesWidthsOutsideOneTo64Bits)
{
    EXPECT_EQ(OSNumber::withNumber(1, 0), nullptr);
    EXPECT_EQ(OSNumber::withNumber(1, 65), nullptr);
    EXPECT_EQ(OSNumber::withNumber(1, UINT_MAX), nullptr);
}

TEST(OSDataTest, CopiesAndAppendsBytes)
{
    unsigned char bytes[] = {0x12, 0x34};
    OSData* data = OSData::withBytes(bytes, sizeof bytes);
    ASSERT_NE(data, nullptr);
    bytes[0] = 0;
    EXPECT_EQ(data->getLength(), 2u);
    EXPECT_EQ(std::memcmp(data->getBytesNoCopy(), "\x12\x34", 2), 0);

    // Growing past the first allocation keeps what was there.
    std::vector<unsigned char> more(1000);
    for (size_t i = 0; i < more.size(); ++i)
        more[i] = static_cast<unsigned char>(i);
    for (int round = 0; round < 5; ++round)
        ASSERT_TRUE(data->appendBytes(more.data(), static_cast<unsigned>(more.size())));
    ASSERT_EQ(data->getLength(), 5002u);
    const auto* all = static_cast<const unsigned char*>(data->getBytesNoCopy());
    EXPECT_EQ(all[0], 0x12);
    EXPECT_EQ(all[1], 0x34);
    EXPECT_EQ(all[2 + 999], static_cast<unsigned char>(999));
    EXPECT_EQ(all[5001], static_cast<unsigned char>(999));

    EXPECT_TRUE(data->appendBytes(nullptr, 0));
    EXPECT_FALSE(data->appendBytes(nullptr, 1));
    EXPECT_EQ(data->getLength(), 5002u);

    OSData* copy = OSData::withData(data);
    EXPECT_TRUE(copy->isEqualTo(data));
    EXPECT_TRUE(data->isEqualTo(static_cast<const OSObject*>(copy)));
    copy->appendBytes("x", 1);
    EXPECT_FALSE(copy->isEqualTo(data));

    data->release();
    copy->release();
}

TEST(OSDataTest, RangesOutsideTheBufferAnswerNull)
{
    OSData* data = OSData::withBytes("abcd", 4);
    EXPECT_EQ(data->getBytesNoCopy(0, 4), data->getBytesNoCopy());
    EXPECT_EQ(static_cast<const char*>(data->getBytesNoCopy(3, 1))[0], 'd');
    EXPECT_NE(data->getBytesNoCopy(4, 0), nullptr);
    EXPECT_EQ(data->getBytesNoCopy(3, 2), nullptr);
    EXPECT_EQ(data->getBytesNoCopy(5, 0), nullptr);
    // offset + length wraps around in 32 bits.
    EXPECT_EQ(data->getBytesNoCopy(1, UINT_MAX), nullptr);
    EXPECT_EQ(data->getBytesNoCopy(UINT_MAX, 2), nullptr);
    data->release();
}

TEST(OSDataTest, EmptyAndMissingBytes)
{
    EXPECT_EQ(OSData::withBytes(nullptr, 3), nullptr);
    OSData* empty = OSData::withBytes(nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->getLength(), 0u);
    // Safe to hand to memcpy with a length of 0.
    EXPECT_NE(empty->getBytesNoCopy(), nullptr);
    EXPECT_TRUE(empty->isEqualTo(nullptr, 0));
    empty->release();
}

TEST(OSDataTest, AnOutsideCapacityIsOnlyAHint)
{
    OSData* data = OSData::withCapacity(UINT_MAX);
    ASSERT_NE(data, nullptr);
    EXPECT_LE(data->getCapacity(), OSData::kMaxInitialCapacity);
    EXPECT_TRUE(data->appendBytes("ok", 2));
    data->release();
}

TEST(OSArrayTest, HoldsOneReferencePerElementAndReleasesThemAtItsEnd)
{
    OSArray* array = OSArray::withCapacity(1);
    OSNumber* number = OSNumber::withNumber(1, 64);
    OSString* string = OSString::withCString("a");

    EXPECT_TRUE(array->setObject(number));
    EXPECT_TRUE(array->setObject(string));
    EXPECT_TRUE(array->setObject(number)); // the same object twice: two references
    EXPECT_EQ(number->getRetainCount(), 3);
    EXPECT_EQ(string->getRetainCount(), 2);
    EXPECT_EQ(array->getCount(), 3u);
    EXPECT_EQ(array->getObject(0), number);
    EXPECT_EQ(array->getObject(1), string);
    EXPECT_EQ(array->getObject(3), nullptr);
    EXPECT_EQ(array->getObject(UINT_MAX), nullptr);
    EXPECT_FALSE(array->setObject(nullptr));
    EXPECT_EQ(array->getCount(), 3u);

    array->release();
    EXPECT_EQ(number->getRetainCount(), 1);
    EXPECT_EQ(string->getRetainCount(), 1);
    number->release();
    string->release();
}

TEST(OSArrayTest, RemovingReleasesAndClosesTheGap)
{
    OSArray* array = OSArray::withCapacity(0);
    OSNumber* numbers[20];
    for (unsigned i = 0; i < 20; ++i) {
        numbers[i] = OSNumber::withNumber(i, 32);
        ASSERT_TRUE(array->setObject(numbers[i]));
    }
    array->removeObject(0);
    array->removeObject(18); // the last one
    array->removeObject(18); // past the end now: nothing
    EXPECT_EQ(array->getCount(), 18u);
    EXPECT_EQ(numbers[0]->getRetainCount(), 1);
    EXPECT_EQ(numbers[19]->getRetainCount(), 1);
    EXPECT_EQ(array->getObject(0), numbers[1]);
    EXPECT_EQ(array->getObject(17), numbers[18]);

    array->release();
    for (OSNumber* number : numbers) {
        EXPECT_EQ(number->getRetainCount(), 1);
        number->release();
    }
}

TEST(OSArrayTest, AnOutsideCapacityIsOnlyAHint)
{
    OSArray* array = OSArray::withCapacity(UINT_MAX);
    ASSERT_NE(array, nullptr);
    EXPECT_LE(array->getCapacity(), OSArray::kMaxInitialCapacity);
    EXPECT_TRUE(array->setObject(kOSBooleanTrue));
    array->release();
}

TEST(OSDictionaryTest, StoresUnderStringKeysAndReplacesByContent)
{
    OSDictionary* dictionary = OSDictionary::withCapacity(2);
    OSString* key = OSString::withCString("IOUserClientClass");
    OSString* value = OSString::withCString("AccessorUserClient");
    OSNumber* replacement = OSNumber::withNumber(3, 32);

    EXPECT_TRUE(dictionary->setObject(key, value));
    EXPECT_EQ(key->getRetainCount(), 2);
    EXPECT_EQ(value->getRetainCount(), 2);

    // Found by any key of the same text.
    const OSSymbol* symbol = OSSymbol::withCString("IOUserClientClass");
    EXPECT_EQ(dictionary->getObject("IOUserClientClass"), value);
    EXPECT_EQ(dictionary->getObject(symbol), value);
    EXPECT_EQ(dictionary->getObject("IOUserClient"), nullptr);
    EXPECT_EQ(dictionary->getObject(static_cast<const char*>(nullptr)), nullptr);

    // Replacing under an equal key releases the old value and keeps one entry.
    EXPECT_TRUE(dictionary->setObject("IOUserClientClass", replacement));
    EXPECT_EQ(dictionary->getCount(), 1u);
    EXPECT_EQ(value->getRetainCount(), 1);
    EXPECT_EQ(dictionary->getObject(key), replacement);
    // Storing the value it already holds keeps it alive.
    EXPECT_TRUE(dictionary->setObject(symbol, replacement));
    EXPECT_EQ(replacement->getRetainCount(), 2);

    EXPECT_FALSE(dictionary->setObject("k", nullptr));
    EXPECT_FALSE(dictionary->setObject(static_cast<const char*>(nullptr), value));
    EXPECT_EQ(dictionary->getCount(), 1u);

    dictionary->release();
    EXPECT_EQ(key->getRetainCount(), 1);
    EXPECT_EQ(replacement->getRetainCount(), 1);
    for (const OSObject* object : std::vector<const OSObject*>{key, value, replacement, symbol})
        object->release();
}

TEST(OSDictionaryTest, RemovingAndCopying)
{
    OSDictionary* dictionary = OSDictionary::withCapacity(0);
    OSNumber* numbers[10];
    char name[8];
    for (int i = 0; i < 10; ++i) {
        numbers[i] = OSNumber::withNumber(i, 8);
        snprintf(name, sizeof name, "n%d", i);
        ASSERT_TRUE(dictionary->setObject(name, numbers[i]));
    }
    dictionary->removeObject("n0");
    dictionary->removeObject("missing");
    EXPECT_EQ(dictionary->getCount(), 9u);
    EXPECT_EQ(numbers[0]->getRetainCount(), 1);
    EXPECT_EQ(dictionary->getObject("n9"), numbers[9]);

    // A copy shares the values and lives on its own.
    OSDictionary* copy = OSDictionary::withDictionary(dictionary);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->isEqualTo(dictionary));
    EXPECT_EQ(numbers[5]->getRetainCount(), 3);
    copy->removeObject("n5");
    EXPECT_EQ(dictionary->getObject("n5"), numbers[5]);
    EXPECT_FALSE(copy->isEqualTo(dictionary));
    EXPECT_EQ(OSDictionary::withDictionary(nullptr), nullptr);

    copy->release();
    dictionary->release();
    for (OSNumber* number : numbers) {
        EXPECT_EQ(number->getRetainCount(), 1);
        number->release();
    }
}

TEST(OSBooleanTest, TwoValuesThatNeverEnd)
{
    EXPECT_EQ(OSBoolean::withBoolean(true), kOSBooleanTrue);
    EXPECT_EQ(OSBoolean::withBoolean(false), kOSBooleanFalse);
    EXPECT_TRUE(kOSBooleanTrue->isTrue());
    EXPECT_TRUE(kOSBooleanFalse->isFalse());
    EXPECT_FALSE(kOSBooleanTrue->isEqualTo(kOSBooleanFalse));

    // Owners may retain and release them like any object, unbalanced releases included.
    const int count = kOSBooleanTrue->getRetainCount();
    OSArray* array = OSArray::withCapacity(1);
    array->setObject(kOSBooleanTrue);
    array->release();
    kOSBooleanTrue->release();
    kOSBooleanTrue->release();
    EXPECT_EQ(kOSBooleanTrue->getRetainCount(), count);
    EXPECT_TRUE(kOSBooleanTrue->isTrue());
    EXPECT_EQ(OSDynamicCast<OSBoolean>(static_cast<OSObject*>(kOSBooleanFalse)), kOSBooleanFalse);
}

} // namespace
} // namespace vennix
