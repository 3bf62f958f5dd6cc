#include "telemetry/CPUChannel.h"

#include "kext/AccessorTypes.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace qarn {

namespace {

constexpr uint32_t kRatioBatch[] = {
    0xCE,  // MSR_PLATFORM_INFO: 15:8 base ratio
    0x198, // IA32_PERF_STATUS: 15:8 current ratio
};
constexpr uint32_t kCounterBatch[] = {
    0xE8, // IA32_APERF
    0xE7, // IA32_MPERF
};
constexpr uint32_t kRatioCount = 2;
constexpr uint32_t kCounterCount = 2;

constexpr uint64_t bits(uint64_t value, unsigned hi, unsigned lo)
{
    return (value >> lo) & ((uint64_t{1} << (hi - lo + 1)) - 1);
}

std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* text, ...)
{
    char buffer[64];
    va_list arguments;
    va_start(arguments, text);
    const int length = std::vsnprintf(buffer, sizeof buffer, text, arguments);
    va_end(arguments);
    if (length < 0)
        return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
}

} // namespace

std::shared_ptr<CPUChannel> CPUChannel::with(std::shared_ptr<IntelCPU> cpu)
{
    return std::make_shared<CPUChannel>(std::move(cpu));
}

CPUChannel::CPUChannel(std::shared_ptr<IntelCPU> cpu)
    : _cpu(std::move(cpu))
{
    const int cpus = _cpu ? _cpu->numberOfCPUs() : 0;
    for (int i = 0; i < cpus && i < static_cast<int>(kMaxCPUs); ++i)
        _items.push_back(row(format("Used ratio  CPU: %i", i), format("%.3f", 1.0)));
}

std::int64_t CPUChannel::numberOfItems() const
{
    return static_cast<std::int64_t>(_items.size());
}

ItemData CPUChannel::dataAt(std::int64_t index) const
{
    if (index < 0 || index >= static_cast<std::int64_t>(_items.size()))
        return std::monostate{};
    return _items[static_cast<size_t>(index)];
}

Size CPUChannel::sizeAt(std::int64_t) const
{
    return {130.0, 35.0};
}

std::string CPUChannel::itemIdentifierAt(std::int64_t) const
{
    return kNameValueItemIdentifier;
}

void CPUChannel::sample()
{
    if (!_cpu || _items.empty())
        return;

    alignas(8) uint8_t ratios[vennix::MSRBatchResult::size(kRatioCount, 1)];
    if (_cpu->getMSRs(kRatioBatch, ratios, kRatioCount, 1) != vennix::kIOReturnSuccess
        || IntelCPU::filledCPUs(ratios, kRatioCount, 1) != 1)
        return;
    const auto base = static_cast<double>(bits(IntelCPU::valueAt(ratios, kRatioCount, 0, 0), 15, 8));
    const auto current = static_cast<double>(bits(IntelCPU::valueAt(ratios, kRatioCount, 0, 1), 15, 8));

    const auto cpus = static_cast<uint32_t>(_items.size());
    alignas(8) uint8_t counters[vennix::MSRBatchResult::size(kCounterCount, kMaxCPUs)];
    if (_cpu->getMSRs(kCounterBatch, counters, kCounterCount, cpus) != vennix::kIOReturnSuccess)
        return;
    const uint32_t filled = IntelCPU::filledCPUs(counters, kCounterCount, cpus);

    // Rows go to the CPUs whose MPERF reads nonzero, in order; one that reads 0 takes no row.
    size_t next = 0;
    for (uint32_t i = 0; static_cast<int64_t>(i) < _cpu->numberOfCPUs() && i < filled; ++i) {
        const uint64_t aPerf = IntelCPU::valueAt(counters, kCounterCount, i, 0);
        const uint64_t mPerf = IntelCPU::valueAt(counters, kCounterCount, i, 1);
        if (mPerf == 0)
            continue;
        const double a = static_cast<double>(aPerf) - aPerfOld[i];
        const double m = static_cast<double>(mPerf) - mPerfOld[i];
        aPerfOld[i] = static_cast<double>(aPerf);
        mPerfOld[i] = static_cast<double>(mPerf);

        double r;
        if (base != 0.0)
            // MPERF stands still while a CPU sleeps: one that slept the whole interval ran at
            // no ratio at all, rather than at 0/0.
            r = m != 0.0 ? base * (a / m) : 0.0;
        else
            r = current;
        if (next < _items.size())
            _items[next][kValueKey] = format("%.0f", r);
        ++next;
    }
}

} // namespace qarn
