// Reads one wire-format item from the input, then writes the object back: with room to spare
// it must read back equal in as many bytes as it took, and into every smaller space the writer
// must stay within its size.

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kext/ObjectWireFormat.h"

using namespace vennix;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Writes object into a heap block of exactly size bytes, so that AddressSanitizer sees any
// write beyond it, and reads back whatever was written.
void writeInto(OSObject* object, int size)
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(size) + (size == 0)]);
    const int written = objectToMem(object, buffer.get(), size);
    require(written >= 0 && written <= size);
    require(size < 4 ? written == 0 : written >= 4);
    OSObject* again = nullptr;
    const int consumed = memToObject(buffer.get(), written, &again);
    require(consumed >= 0 && consumed <= written);
    OSSafeReleaseNULL(again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INT_MAX / 2)
        return 0;
    // A copy of exactly the input's size: the reader must not look past it.
    std::unique_ptr<uint8_t[]> input(new uint8_t[size + (size == 0)]);
    if (size)
        std::memcpy(input.get(), data, size);

    OSObject* object = nullptr;
    const int consumed = memToObject(input.get(), static_cast<int>(size), &object);
    require(consumed >= 0 && consumed <= static_cast<int>(size));
    require((consumed == 0) == (object == nullptr));
    if (object == nullptr)
        return 0;

    // With 16 bytes to spare nothing is cut: the same object, in the bytes it was read from
    // (less any elements an array stopped before).
    const int roomy = consumed + 16;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(roomy)]);
    const int written = objectToMem(object, buffer.get(), roomy);
    require(written == consumed);
    OSObject* again = nullptr;
    require(memToObject(buffer.get(), written, &again) == written);
    require(again != nullptr && again->isEqualTo(object));
    OSSafeReleaseNULL(again);

    for (int small : {0, 3, 4, 15, 16, 17, consumed / 2, consumed - 1, consumed}) {
        if (small >= 0)
            writeInto(object, small);
    }
    object->release();
    return 0;
}
