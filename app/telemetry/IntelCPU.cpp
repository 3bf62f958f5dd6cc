#include "telemetry/IntelCPU.h"

#include "telemetry/MSRFields.h"

#include "protocol/AccessorTypes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <limits>

namespace qarn {

namespace {

using vennix::MSRBatchRequest;
using vennix::MSRBatchResult;

using msr::bits;

// The temperature a digital readout stands for. The readout counts degrees below the TCC
// activation temperature (bits 23:16). A temperature-control offset (bits 29:24) lowers the
// point where throttling starts, not the scale the readout is given against, so it plays no
// part here; Linux's coretemp and turbostat read it the same way.
int64_t temperature(uint64_t temperatureTarget, uint64_t thermStatus)
{
    const auto target = static_cast<int64_t>(bits(temperatureTarget, 23, 16));
    const auto readout = static_cast<int64_t>(bits(thermStatus, 22, 16));
    return target - readout;
}

constexpr bool readingValid(uint64_t thermStatus)
{
    return bits(thermStatus, 31, 31) != 0;
}

} // namespace

std::shared_ptr<IntelCPU> IntelCPU::create(ServiceDirectory& directory)
{
    std::unique_ptr<ServiceConnection> connection = directory.openService("Vennix");
    if (!connection)
        return nullptr;

    alignas(8) uint8_t record[sizeof(vennix::i386_cpu_info_t)] = {};
    size_t size = sizeof record;
    const IOReturn fetched =
        connection->callStructMethod(vennix::kAccessorMethodGetInfo, nullptr, 0, record, &size);
    if (fetched != vennix::kIOReturnSuccess || size < sizeof record) {
        connection->close();
        return nullptr;
    }

    vennix::i386_cpu_info_t info;
    std::memcpy(&info, record, sizeof info);
    return std::make_shared<IntelCPU>(std::move(connection), info);
}

IntelCPU::IntelCPU(std::unique_ptr<ServiceConnection> connection, const vennix::i386_cpu_info_t& info)
    : fConnection(std::move(connection))
{
    std::memcpy(&fInfo, &info, sizeof fInfo);
    // The record is the service's word, not the truth: its texts end within their fields, and
    // no count is larger than a machine can have.
    fInfo.cpuid_vendor[sizeof fInfo.cpuid_vendor - 1] = '\0';
    fInfo.cpuid_brand_string[sizeof fInfo.cpuid_brand_string - 1] = '\0';
    fInfo.thread_count = std::min(fInfo.thread_count, kMaxRecordCPUs);
    fInfo.core_count = std::min(fInfo.core_count, kMaxRecordCPUs);
}

IntelCPU::~IntelCPU()
{
    if (fConnection)
        fConnection->close();
}

int IntelCPU::numberOfCPUs() const
{
    return static_cast<int>(fInfo.thread_count);
}

int IntelCPU::numberOfCores() const
{
    return static_cast<int>(fInfo.core_count);
}

bool IntelCPU::isIntel() const
{
    return std::memcmp(fInfo.cpuid_vendor, "GenuineIntel", 13) == 0;
}

bool IntelCPU::answersMSRs(uint64_t platformInfo, uint64_t perfStatus)
{
    return bits(platformInfo, 15, 8) != 0 || bits(perfStatus, 15, 8) != 0;
}

std::string IntelCPU::processorName() const
{
    const std::string vendor(fInfo.cpuid_vendor, strnlen(fInfo.cpuid_vendor, sizeof fInfo.cpuid_vendor));
    std::string brand(fInfo.cpuid_brand_string, strnlen(fInfo.cpuid_brand_string, sizeof fInfo.cpuid_brand_string));
    // Processors pad the brand with blanks to its 48 bytes.
    brand.erase(brand.find_last_not_of(' ') + 1);
    if (brand.empty())
        return vendor.empty() ? "this processor" : vendor + " processor";
    return vendor.empty() ? brand : brand + " (" + vendor + ")";
}

std::string IntelCPU::msrLimitation()
{
    if (!isIntel())
        return processorName() + " is not an Intel processor";
    static constexpr uint32_t kProbe[] = {msr::kPlatformInfo, msr::kPerfStatus};
    uint64_t values[2] = {};
    const IOReturn result = getMSRs(kProbe, values, 2);
    if (result != vennix::kIOReturnSuccess)
        return {}; // the channels say nothing either until the service answers
    if (answersMSRs(values[0], values[1]))
        return {};
    return "the CPU service reads no MSRs of " + processorName()
        + " (every one reads 0: refused in a virtual machine, or MSR files that hold no registers)";
}

bool IntelCPU::isSimulated() const
{
    return std::string_view(fInfo.cpuid_brand_string, strnlen(fInfo.cpuid_brand_string, sizeof fInfo.cpuid_brand_string))
               .rfind("Simulated", 0) == 0;
}

std::vector<double> IntelCPU::getRatios() const
{
    std::vector<double> ratios;
    for (int i = 0; i < numberOfCPUs() && i < static_cast<int>(kMaxCPUs); ++i)
        ratios.push_back(ratio[static_cast<size_t>(i)]);
    return ratios;
}

uint64_t IntelCPU::getMSR(uint32_t msr)
{
    uint64_t value = 0;
    getMSRs(&msr, &value, 1);
    return value;
}

IOReturn IntelCPU::getMSRs(const uint32_t* msrs, uint64_t* values, uint32_t count)
{
    if (count > 0 && (msrs == nullptr || values == nullptr))
        return vennix::kIOReturnBadArgument;
    if (count > 0)
        std::memset(values, 0, sizeof(uint64_t) * count);
    // The reply is the larger structure; one the connection cannot carry is refused here,
    // before anything is built for it.
    if (MSRBatchResult::size(count, 1) > ServiceConnection::kMaxStructureSize)
        return vennix::kIOReturnBadArgument;
    MSRBatch batch(count, 1);
    const IOReturn result = getMSRs(msrs, batch, count, 1);
    if (result != vennix::kIOReturnSuccess)
        return result;
    if (batch.cpus() != 1)
        return vennix::kIOReturnError;
    for (uint32_t i = 0; i < count; ++i)
        values[i] = batch.value(0, i);
    return result;
}

IOReturn IntelCPU::getMSRs(const uint32_t* msrs, MSRBatch& result, uint32_t count, uint32_t cpus)
{
    result.clear();
    if ((count > 0 && msrs == nullptr) || count != result.count() || cpus > result.rows())
        return vennix::kIOReturnBadArgument;
    const uint64_t replySize = MSRBatchResult::size(count, cpus);
    const size_t requestSize = MSRBatchRequest::size(count);
    if (replySize > ServiceConnection::kMaxStructureSize || requestSize > ServiceConnection::kMaxStructureSize)
        return vennix::kIOReturnBadArgument;
    if (!fConnection)
        return vennix::kIOReturnNotOpen;

    alignas(8) uint8_t request[ServiceConnection::kMaxStructureSize];
    MSRBatchRequest::write(request, msrs, count, cpus);
    // A single-CPU batch still fills a row, so it is given room for one even when cpus is 0.
    size_t size = std::max<uint64_t>(replySize, MSRBatchResult::size(count, 1));
    size = std::min(size, result.replySize());
    const IOReturn status = fConnection->callStructMethod(vennix::kAccessorMethodGetMSRs, request, requestSize,
                                                          result.replyBuffer(), &size);
    if (status == vennix::kIOReturnSuccess)
        result.adoptReply(size);
    else
        result.clear();
    return status;
}

IOReturn IntelCPU::setMSRs(const uint64_t* scalars, uint32_t count)
{
    if (!fConnection)
        return vennix::kIOReturnNotOpen;
    uint32_t outputCount = 0;
    return fConnection->callScalarMethod(vennix::kAccessorMethodSetMSRs, scalars, count, nullptr,
                                         &outputCount);
}

IOReturn IntelCPU::setMSR(uint32_t msr, uint64_t value)
{
    const uint64_t scalars[4] = {1, 1, msr, value};
    return setMSRs(scalars, 4);
}

IOReturn IntelCPU::setAllMSRs(uint32_t msr, uint64_t value)
{
    const uint64_t scalars[4] = {1, static_cast<uint64_t>(static_cast<int64_t>(numberOfCPUs())), msr, value};
    return setMSRs(scalars, 4);
}

int64_t IntelCPU::baseMultiplier()
{
    return static_cast<int64_t>(bits(getMSR(msr::kPlatformInfo), 15, 8));
}

int IntelCPU::turboMultiplier()
{
    return static_cast<int>(bits(getMSR(msr::kTurboRatioLimit), 7, 0));
}

std::pair<double, double> IntelCPU::frequencies()
{
    const double base = static_cast<double>(baseMultiplier());
    const double turbo = static_cast<double>(turboMultiplier());

    static constexpr uint32_t kMSRs[] = {msr::kPerfStatus, msr::kAPerf, msr::kMPerf};
    MSRBatch& reply = fFrequencyBatch;
    getMSRs(kMSRs, reply, 3, kMaxCPUs);
    const uint32_t c = reply.cpus();

    double sum = 0.0;
    for (uint32_t n = 0; n < c; ++n) {
        const uint64_t perfStatus = reply.value(n, 0);
        const uint64_t aPerf = reply.value(n, 1);
        const uint64_t mPerf = reply.value(n, 2);
        const double a = static_cast<double>(aPerf - aPerfOld[n]);
        const double m = static_cast<double>(mPerf - mPerfOld[n]);
        aPerfOld[n] = aPerf;
        mPerfOld[n] = mPerf;
        const double r = base > 0 && ratio[n] > 1.0 ? msr::ranRatio(base, a, m)
                                                    : static_cast<double>(bits(perfStatus, 15, 8));
        sum += r;
        // Without a turbo ratio a running CPU's share of it is infinite; one that ran at no
        // ratio has no share, rather than 0/0, which would stay in the smoothing for good.
        const double share = turbo == 0.0 && r == 0.0 ? 0.0 : r / turbo;
        ratio[n] = (10 * ratio[n] + share) / 11;
    }
    if (c > 0) {
        fLatestFrequency = sum / c;
        frequencyHistory[fhCount % kHistorySize] = fLatestFrequency;
        fhCount = fhCount >= kHistorySize - 1 ? 0 : fhCount + 1;
    }

    double total = 0.0;
    double maximum = 0.0;
    for (double slot : frequencyHistory) {
        total += slot;
        maximum = maximum > slot ? maximum : slot;
    }
    return {total / 8.0, maximum};
}

double IntelCPU::sVIDs()
{
    static constexpr uint32_t kMSRs[] = {msr::kPerfStatus};
    MSRBatch& reply = fVoltageBatch;
    getMSRs(kMSRs, reply, 1, kMaxCPUs);
    const uint32_t c = reply.cpus();
    if (c == 0)
        return 0.0;
    double sum = 0.0;
    for (uint32_t n = 0; n < c; ++n) {
        const auto vid = static_cast<uint16_t>(bits(reply.value(n, 0), 47, 32));
        sum += vid * 0.0001220703125;
    }
    return sum / c;
}

double IntelCPU::coreTemperatures()
{
    static constexpr uint32_t kMSRs[] = {msr::kTemperatureTarget, msr::kThermStatus};
    MSRBatch& reply = fTemperatureBatch;
    getMSRs(kMSRs, reply, 2, kMaxCPUs);
    const uint32_t c = reply.cpus();
    if (c == 0)
        return 0.0;
    double sum = 0.0;
    for (uint32_t n = 0; n < c; ++n) {
        const uint64_t target = reply.value(n, 0);
        const uint64_t status = reply.value(n, 1);
        if (readingValid(status))
            lastCoreTemp[n] = temperature(target, status);
        sum += static_cast<double>(lastCoreTemp[n]);
    }
    return sum / c;
}

double IntelCPU::packageTemperature()
{
    static constexpr uint32_t kMSRs[] = {msr::kTemperatureTarget, msr::kPackageThermStatus};
    MSRBatch& reply = fPackageBatch;
    getMSRs(kMSRs, reply, 2, 1);
    if (reply.cpus() == 1) {
        const uint64_t target = reply.value(0, 0);
        const uint64_t status = reply.value(0, 1);
        if (readingValid(status))
            lastPkgTemp = temperature(target, status);
    }
    return static_cast<double>(lastPkgTemp);
}

double IntelCPU::powerConsumption()
{
    static constexpr uint32_t kMSRs[] = {msr::kTimeStampCounter, msr::kRaplPowerUnit, msr::kPackageEnergyStatus,
                                         msr::kPP0EnergyStatus};
    MSRBatch& reply = fPowerBatch;
    getMSRs(kMSRs, reply, 4, kMaxCPUs);
    const uint32_t c = reply.cpus();
    if (c == 0)
        return 0.0;
    const double t = reply.time();

    double total = 0.0;
    for (uint32_t n = 0; n < c; ++n) {
        const uint64_t pkg = bits(reply.value(n, 2), 31, 0);
        const uint64_t pp0 = bits(reply.value(n, 3), 31, 0);
        const auto esu = static_cast<int>(bits(reply.value(n, 1), 12, 8));
        if (esu == 0)
            return 0.0;
        const double unit = std::ldexp(1.0, -esu);
        // Modulo 2^32: the counter wraps past 0xFFFFFFFF.
        const auto delta = static_cast<uint32_t>(pkg - lastPkgEnergy[n]);
        const double rate = t != lastPkgEnergyTime[n] ? delta / (t - lastPkgEnergyTime[n]) : 0.0;
        const double watts = unit * rate;
        lastPkgEnergy[n] = pkg;
        lastCoreEnergy[n] = pp0;
        lastPkgEnergyTime[n] = t;
        total += watts;
    }
    return total / c;
}

} // namespace qarn
