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
    return limitationFor(values[0], values[1]);
}

std::string IntelCPU::limitationFor(uint64_t platformInfo, uint64_t perfStatus) const
{
    if (!isIntel())
        return processorName() + " is not an Intel processor";
    if (answersMSRs(platformInfo, perfStatus))
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
        ratios.push_back(fMetrics.ratio(static_cast<uint32_t>(i)));
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
    getMSRs(kMSRs, fFrequencyBatch, 3, kMaxCPUs);
    fMetrics.sampleFrequencies(base, turbo, fFrequencyBatch, 0, 1, 2);
    return fMetrics.frequencies();
}

double IntelCPU::sVIDs()
{
    static constexpr uint32_t kMSRs[] = {msr::kPerfStatus};
    getMSRs(kMSRs, fVoltageBatch, 1, kMaxCPUs);
    return CPUMetrics::coreVoltage(fVoltageBatch, 0).value_or(0.0);
}

double IntelCPU::coreTemperatures()
{
    static constexpr uint32_t kMSRs[] = {msr::kTemperatureTarget, msr::kThermStatus};
    getMSRs(kMSRs, fTemperatureBatch, 2, kMaxCPUs);
    const auto temperatures = fMetrics.coreTemperatures(fTemperatureBatch, 0, 1);
    return temperatures ? temperatures->mean : 0.0;
}

double IntelCPU::packageTemperature()
{
    static constexpr uint32_t kMSRs[] = {msr::kTemperatureTarget, msr::kPackageThermStatus};
    getMSRs(kMSRs, fPackageBatch, 2, 1);
    // A failed batch adds no reading: the last valid one stands.
    const uint64_t status = fPackageBatch.cpus() == 1 ? fPackageBatch.value(0, 1) : 0;
    return fMetrics.packageTemperature(fPackageBatch.value(0, 0), status).value_or(0.0);
}

double IntelCPU::powerConsumption()
{
    static constexpr uint32_t kMSRs[] = {msr::kTimeStampCounter, msr::kRaplPowerUnit, msr::kPackageEnergyStatus,
                                         msr::kPP0EnergyStatus};
    getMSRs(kMSRs, fPowerBatch, 4, kMaxCPUs);
    return fMetrics.packagePower(fPowerBatch, 1, 2).value_or(0.0);
}

} // namespace qarn
