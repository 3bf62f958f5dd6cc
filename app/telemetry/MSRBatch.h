#pragma once
// One MSR batch as the monitor reads it: the value of MSR i on CPU n, the number of CPUs the
// service read, and the time stamp it took after the reads. IntelCPU fills it from the
// service's reply, checked once; the channels and the metrics only read it, so that their
// tests need nothing but a batch.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qarn {

class MSRBatch {
public:
    // Room for count MSRs on up to rows CPUs; holds no CPU until filled.
    MSRBatch(uint32_t count, uint32_t rows);

    uint32_t count() const { return fCount; }
    uint32_t rows() const { return fRows; }
    // CPUs read: 0 until a call filled the batch, and after a failed one.
    uint32_t cpus() const { return fCPUs; }
    // Seconds since 1970, as the service stamped the batch.
    double time() const { return fTime; }
    // MSR i on CPU cpu; 0 outside what was read.
    uint64_t value(uint32_t cpu, uint32_t i) const;

    // Empties it: no CPU read.
    void clear();
    // Fills it by hand (fakes in tests): cpus rows at time, every value 0 until set.
    void fill(uint32_t cpus, double time);
    void set(uint32_t cpu, uint32_t i, uint64_t value);

    // The transport's side: the reply buffer (header and rows, MSRBatchResult's layout) and
    // the check of what the service wrote into it, size bytes. A reply for another batch or
    // with more rows than room empties the batch.
    uint8_t* replyBuffer() { return fReply.data(); }
    size_t replySize() const { return fReply.size(); }
    void adoptReply(size_t size);

private:
    uint32_t fCount;
    uint32_t fRows;
    uint32_t fCPUs = 0;
    double fTime = 0;
    std::vector<uint8_t> fReply;
};

} // namespace qarn
