#pragma once
// A growable buffer of bytes.

#include "kext/platform/OSObject.h"

namespace vennix {

class OSData : public OSObject {
    OSDeclareDefaultStructors(OSData)

public:
    // A new buffer holding a copy of length bytes; null when bytes is null and length is not 0.
    static OSData* withBytes(const void* bytes, unsigned int length);
    // A new empty buffer. The capacity is a hint: the buffer grows as bytes are appended, and
    // no more than a bounded amount is set aside up front, so a capacity taken from outside
    // input cannot make it allocate gigabytes.
    static OSData* withCapacity(unsigned int capacity);
    // A new buffer with a copy of data's bytes; null when data is null.
    static OSData* withData(const OSData* data);

    // Appends a copy of length bytes; false (and nothing appended) when bytes is null with a
    // length, or memory runs out.
    bool appendBytes(const void* bytes, unsigned int length);

    unsigned int getLength() const { return fLength; }
    unsigned int getCapacity() const { return fCapacity; }
    // The bytes; valid until the next append. Never null, even when the buffer is empty
    // (then nothing may be read).
    const void* getBytesNoCopy() const;
    // The length bytes from offset, or null when they do not all lie within the buffer.
    const void* getBytesNoCopy(unsigned int offset, unsigned int length) const;

    bool isEqualTo(const void* bytes, unsigned int length) const;
    bool isEqualTo(const OSData* other) const;
    bool isEqualTo(const OSObject* other) const override;

    // The most bytes withCapacity sets aside before the first append.
    static constexpr unsigned int kMaxInitialCapacity = 64 * 1024;

protected:
    void free() override;

private:
    bool ensureCapacity(unsigned int needed);

    unsigned char* fBytes = nullptr;
    unsigned int fLength = 0;
    unsigned int fCapacity = 0;
};

} // namespace vennix
