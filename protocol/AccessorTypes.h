#pragma once
// The payloads of the CPU service's calls, shared by the service and its clients. All values
// are little-endian and packed; buffers arrive unaligned from the socket, so fields are read
// and written through these helpers rather than through casts.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vennix {

static_assert(std::endian::native == std::endian::little, "the payloads are little-endian as they stand in memory");

// Selectors of the user-client method table.
enum : uint32_t {
    kAccessorMethodGetInfo = 0,
    kAccessorMethodGetMSRs = 1,
    kAccessorMethodSetMSRs = 2,
    kAccessorMethodGetValueOnDevice = 3,
    kAccessorMethodSetValueOnDevice = 4,
    kAccessorMethodCheckValueOnDevice = 5,
};

// MSRBatchRequest: u32 count, u32 cpus, u32 msr[count].
struct MSRBatchRequest {
    static constexpr size_t kHeaderSize = 8;
    static constexpr size_t size(uint64_t count) { return kHeaderSize + 4 * count; }

    // Writes the request into buffer, which has room for size(count) bytes.
    static void write(void* buffer, const uint32_t* msrs, uint32_t count, uint32_t cpus);
    // MSR number i of a request whose size has been checked.
    static uint32_t msrAt(const void* request, uint64_t i);
};

// MSRBatchResult: u32 count, u32 cpus, f64 time, u64 values[cpus][count].
struct MSRBatchResult {
    static constexpr size_t kHeaderSize = 16;
    static constexpr size_t kTimeOffset = 8;
    static constexpr size_t size(uint64_t count, uint64_t cpus) { return kHeaderSize + 8 * count * cpus; }
};

inline uint32_t readU32(const void* base, size_t offset)
{
    uint32_t v;
    std::memcpy(&v, static_cast<const char*>(base) + offset, sizeof v);
    return v;
}

inline void writeU32(void* base, size_t offset, uint32_t v)
{
    std::memcpy(static_cast<char*>(base) + offset, &v, sizeof v);
}

inline uint64_t readU64(const void* base, size_t offset)
{
    uint64_t v;
    std::memcpy(&v, static_cast<const char*>(base) + offset, sizeof v);
    return v;
}

inline void writeU64(void* base, size_t offset, uint64_t v)
{
    std::memcpy(static_cast<char*>(base) + offset, &v, sizeof v);
}

inline void writeF64(void* base, size_t offset, double v)
{
    std::memcpy(static_cast<char*>(base) + offset, &v, sizeof v);
}

inline double readF64(const void* base, size_t offset)
{
    double v;
    std::memcpy(&v, static_cast<const char*>(base) + offset, sizeof v);
    return v;
}

inline void MSRBatchRequest::write(void* buffer, const uint32_t* msrs, uint32_t count, uint32_t cpus)
{
    writeU32(buffer, 0, count);
    writeU32(buffer, 4, cpus);
    for (uint32_t i = 0; i < count; ++i)
        writeU32(buffer, kHeaderSize + 4 * size_t{i}, msrs[i]);
}

inline uint32_t MSRBatchRequest::msrAt(const void* request, uint64_t i)
{
    return readU32(request, kHeaderSize + 4 * i);
}

} // namespace vennix
