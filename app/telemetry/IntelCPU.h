#pragma once
// The monitor's one client of the CPU service "Vennix": the CPU information record, MSR reads
// on the calling CPU or on every CPU at once, MSR writes, and the figures derived from them
// (multiplier, core voltage, temperatures, package power).
//
// No lock of its own: the tick handler is its only caller and runs under the view controller's
// lock. The service serialises all calls of all clients itself.

#include "platform/ServiceConnection.h"
#include "platform/ServiceDirectory.h"
#include "telemetry/CPUMetrics.h"
#include "telemetry/MSRBatch.h"

#include "protocol/CPUInfoRecord.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qarn {

class IntelCPU {
public:
    // Logical CPUs for which per-CPU state is held; the metric batches ask for no more.
    static constexpr uint32_t kMaxCPUs = 40;
    // Counts the record may give: Linux numbers at most this many CPUs.
    static constexpr uint32_t kMaxRecordCPUs = 8192;

    // Finds the service "Vennix", opens a connection of type 0 and fetches the record. Null
    // when the service is missing, does not open, or will not hand out the record; nothing is
    // left open and nothing is logged.
    static std::shared_ptr<IntelCPU> create(ServiceDirectory& directory);

    // Takes over the connection (null: every call fails as on a closed one) with the record
    // fetched on it, its texts cut to end within their fields and its counts to
    // kMaxRecordCPUs. Reads no MSR.
    IntelCPU(std::unique_ptr<ServiceConnection> connection, const vennix::i386_cpu_info_t& info);
    // Closes the connection.
    virtual ~IntelCPU();

    IntelCPU(const IntelCPU&) = delete;
    IntelCPU& operator=(const IntelCPU&) = delete;

    // Logical CPUs (threads) and physical cores, as the record says.
    int numberOfCPUs() const;
    int numberOfCores() const;
    const vennix::i386_cpu_info_t& info() const { return fInfo; }
    // Whether the service runs on the simulated processor, which calls itself so in its brand.
    bool isSimulated() const;

    // The rows built from Intel's MSRs can be answered only by a GenuineIntel processor whose
    // MSRs the service reads. A processor that refuses them (a guest, MSR files that hold no
    // registers) reads 0 everywhere, where a running Intel part never shows a base ratio and
    // a current ratio of 0 at once: answersMSRs takes MSR_PLATFORM_INFO and IA32_PERF_STATUS.
    bool isIntel() const;
    static bool answersMSRs(uint64_t platformInfo, uint64_t perfStatus);
    // The brand and vendor as the record gives them, e.g. "AMD EPYC (AuthenticAMD)".
    std::string processorName() const;
    // Why this processor's MSR rows show no number, in words for a user (one read of the two
    // registers above); empty when they show numbers.
    std::string msrLimitation();
    // The same from the two registers already read: empty when they show readable MSRs.
    std::string limitationFor(uint64_t platformInfo, uint64_t perfStatus) const;
    // What a row shows in place of a number it cannot have.
    static constexpr const char* kNoReading = "-";

    // The smoothed fraction of the one-core turbo ratio each CPU ran at (see frequencies()),
    // one entry per logical CPU, at most kMaxCPUs.
    std::vector<double> getRatios() const;

    // One MSR on the CPU the calling thread runs on; 0 when the call fails.
    uint64_t getMSR(uint32_t msr);
    // A batch on the calling CPU, values in the order of msrs. When the call fails the values
    // read 0.
    IOReturn getMSRs(const uint32_t* msrs, uint64_t* values, uint32_t count);
    // A batch on every logical CPU below cpus (0 or 1: the calling CPU), into result, which
    // was made for count MSRs on at least cpus rows. result holds the CPUs the service read,
    // none when the call fails. Virtual, so that a test of the channels can answer it alone.
    virtual IOReturn getMSRs(const uint32_t* msrs, MSRBatch& result, uint32_t count, uint32_t cpus);

    // The MSR write list, passed on unchanged: scalar 0 (not read), the CPU count (0 or 1: the
    // calling CPU only), then pairs of MSR number and value.
    IOReturn setMSRs(const uint64_t* scalars, uint32_t count);
    // One MSR on the calling CPU; on every logical CPU.
    IOReturn setMSR(uint32_t msr, uint64_t value);
    IOReturn setAllMSRs(uint32_t msr, uint64_t value);

    // Maximum non-turbo ratio (MSR_PLATFORM_INFO 15:8) and one-core turbo ratio
    // (MSR_TURBO_RATIO_LIMIT 7:0).
    int64_t baseMultiplier();
    int turboMultiplier();

    // The derived figures (CPUMetrics' math on batches of their own). Each makes one batch
    // (frequencies three calls) and measures the interval since its previous call; a figure
    // that cannot be had reads 0.
    //
    // Multiplier, averaged over the CPUs and then over the last eight calls, and the largest of
    // those eight; no bus clock is applied.
    std::pair<double, double> frequencies();
    // The CPU-averaged multiplier of the latest frequencies() call that read any CPU (the ring's
    // newest slot), 0 before: what a one-off reading shows, as the ring needs eight calls to fill.
    double latestFrequency() const { return fMetrics.latestFrequency(); }
    // Mean core voltage, in volts.
    double sVIDs();
    // Mean core temperature and package temperature, in °C: the last valid readings.
    double coreTemperatures();
    double packageTemperature();
    // Package power over the interval since the previous call, in watts.
    double powerConsumption();

private:
    std::unique_ptr<ServiceConnection> fConnection;

    CPUMetrics fMetrics;
    // The metrics' batches, made once: nothing is allocated per call.
    MSRBatch fFrequencyBatch{3, kMaxCPUs};
    MSRBatch fVoltageBatch{1, kMaxCPUs};
    MSRBatch fTemperatureBatch{2, kMaxCPUs};
    MSRBatch fPackageBatch{2, 1};
    MSRBatch fPowerBatch{4, kMaxCPUs};
    vennix::i386_cpu_info_t fInfo{};
};

} // namespace qarn
