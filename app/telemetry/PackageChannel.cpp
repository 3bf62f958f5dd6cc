#include "telemetry/PackageChannel.h"

#include "kext/AccessorTypes.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace qarn {

namespace {

constexpr std::int64_t kRowCount = 8;

// Batch order: the positions of the values in the reply.
enum : uint32_t { kCST, kTT, kPI, kTRL, kTAR, kURL, kPS, kBatchCount };
constexpr uint32_t kBatch[kBatchCount] = {
    0xE2,  // MSR_PKG_CST_CONFIG_CONTROL
    0x1A2, // MSR_TEMPERATURE_TARGET
    0xCE,  // MSR_PLATFORM_INFO
    0x1AD, // MSR_TURBO_RATIO_LIMIT
    0x64C, // MSR_TURBO_ACTIVATION_RATIO
    0x620, // MSR_UNCORE_RATIO_LIMIT
    0x198, // IA32_PERF_STATUS
};

// The turbo row lists at most one ratio per byte of MSR_TURBO_RATIO_LIMIT.
constexpr int kMaxTurboRatios = 8;

constexpr uint64_t bits(uint64_t value, unsigned hi, unsigned lo)
{
    return (value >> lo) & ((uint64_t{1} << (hi - lo + 1)) - 1);
}

std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* text, ...)
{
    char buffer[128];
    va_list arguments;
    va_start(arguments, text);
    const int length = std::vsnprintf(buffer, sizeof buffer, text, arguments);
    va_end(arguments);
    if (length < 0)
        return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(length), sizeof buffer - 1));
}

long long asLL(uint64_t value)
{
    return static_cast<long long>(value);
}

} // namespace

std::shared_ptr<PackageChannel> PackageChannel::with(std::shared_ptr<IntelCPU> cpu)
{
    return std::make_shared<PackageChannel>(std::move(cpu));
}

PackageChannel::PackageChannel(std::shared_ptr<IntelCPU> cpu)
    : _cpu(std::move(cpu))
{
    const int cores = _cpu ? _cpu->numberOfCores() : 0;
    const int cpus = _cpu ? _cpu->numberOfCPUs() : 0;
    _items.push_back(row("Number of Cores", format("%i", cores)));
    _items.push_back(row("Number of CPUs", format("%i", cpus)));
    _items.push_back(row("C-State Limit", ""));
    _items.push_back(row("Temperature Target", ""));
    _items.push_back(row("Turbo Ratio", ""));
    _items.push_back(row("Non Turbo Ratio", ""));
    _items.push_back(row("Uncore Ratio", ""));
    _items.push_back(row("P-State and SVID", ""));
}

std::int64_t PackageChannel::numberOfItems() const
{
    return kRowCount;
}

ItemData PackageChannel::dataAt(std::int64_t index) const
{
    if (index < 0 || index >= static_cast<std::int64_t>(_items.size()))
        return std::monostate{};
    return _items[static_cast<size_t>(index)];
}

Size PackageChannel::sizeAt(std::int64_t) const
{
    return {130.0, 35.0};
}

std::string PackageChannel::itemIdentifierAt(std::int64_t) const
{
    return kNameValueItemIdentifier;
}

void PackageChannel::sample()
{
    if (!_cpu)
        return;
    alignas(8) uint8_t reply[vennix::MSRBatchResult::size(kBatchCount, 1)];
    if (_cpu->getMSRs(kBatch, reply, kBatchCount, 1) != vennix::kIOReturnSuccess
        || IntelCPU::filledCPUs(reply, kBatchCount, 1) != 1)
        return;
    uint64_t value[kBatchCount];
    for (uint32_t i = 0; i < kBatchCount; ++i)
        value[i] = IntelCPU::valueAt(reply, kBatchCount, 0, i);

    _items[2][kValueKey] = format("%lli", asLL(bits(value[kCST], 3, 0)));

    // The sum, as the row has always shown it: target plus temperature-control offset.
    _items[3][kValueKey] = format("%lli", asLL(bits(value[kTT], 23, 16) + bits(value[kTT], 29, 24)));

    std::string turbo = bits(value[kPI], 28, 28) ? "RW" : "RO";
    const int cores = std::min(_cpu->numberOfCores(), kMaxTurboRatios);
    uint64_t limits = value[kTRL];
    for (int k = 0; k < cores; ++k) {
        turbo += format(" %lli", asLL(bits(limits, 7, 0)));
        limits >>= 8;
    }
    _items[4][kValueKey] = std::move(turbo);

    const uint64_t activation = value[kTAR];
    _items[5][kValueKey] = format("%lli %s, Max. %lli", asLL(bits(activation, 7, 0)),
                                  (activation >> 31) != 0 ? "Locked" : "Unlocked",
                                  asLL(bits(value[kPI], 14, 8)));

    _items[6][kValueKey] = format("%lli-%lli", asLL(bits(value[kURL], 14, 8)), asLL(bits(value[kURL], 6, 0)));

    const auto vid = static_cast<uint16_t>(bits(value[kPS], 47, 32));
    _items[7][kValueKey] = format("%lli  / %.2fV", asLL(bits(value[kPS], 15, 8)), vid / 8192.0);
}

} // namespace qarn
