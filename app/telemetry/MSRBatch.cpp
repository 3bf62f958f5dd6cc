#include "telemetry/MSRBatch.h"

#include "protocol/AccessorTypes.h"

#include <algorithm>
#include <cstring>

namespace qarn {

using vennix::MSRBatchResult;

MSRBatch::MSRBatch(uint32_t count, uint32_t rows)
    : fCount(count)
    , fRows(rows)
    , fReply(MSRBatchResult::size(count, rows), 0)
{
}

uint64_t MSRBatch::value(uint32_t cpu, uint32_t i) const
{
    if (cpu >= fCPUs || i >= fCount)
        return 0;
    return vennix::readU64(fReply.data(), MSRBatchResult::kHeaderSize + 8 * (uint64_t{cpu} * fCount + i));
}

void MSRBatch::clear()
{
    fCPUs = 0;
    fTime = 0;
    std::fill(fReply.begin(), fReply.end(), 0);
}

void MSRBatch::fill(uint32_t cpus, double time)
{
    clear();
    fCPUs = std::min(cpus, fRows);
    fTime = time;
}

void MSRBatch::set(uint32_t cpu, uint32_t i, uint64_t value)
{
    if (cpu < fCPUs && i < fCount)
        vennix::writeU64(fReply.data(), MSRBatchResult::kHeaderSize + 8 * (uint64_t{cpu} * fCount + i), value);
}

void MSRBatch::adoptReply(size_t size)
{
    // Believed only as an answer to this batch, and for no more rows than it has room for and
    // the service wrote.
    const uint32_t count = vennix::readU32(fReply.data(), 0);
    if (size < MSRBatchResult::kHeaderSize || size > fReply.size() || count != fCount) {
        clear();
        return;
    }
    uint64_t cpus = std::min(vennix::readU32(fReply.data(), 4), fRows);
    if (count > 0)
        cpus = std::min<uint64_t>(cpus, (size - MSRBatchResult::kHeaderSize) / (8 * uint64_t{count}));
    fCPUs = static_cast<uint32_t>(cpus);
    fTime = vennix::readF64(fReply.data(), MSRBatchResult::kTimeOffset);
    // Rows past the ones read never show through value(), but nothing stale stays either.
    std::fill(fReply.begin() + static_cast<std::ptrdiff_t>(MSRBatchResult::size(count, fCPUs)), fReply.end(), 0);
}

} // namespace qarn
