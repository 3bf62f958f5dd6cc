#include "telemetry/CPUReadings.h"

#include "platform/ServiceDirectory.h"
#include "protocol/IOReturn.h"
#include "telemetry/MSRFields.h"

#include <algorithm>

namespace qarn {

namespace {

constexpr uint32_t kLocalBatch[CPUReadings::kLocalCount] = {
    msr::kPlatformInfo, msr::kPerfStatus, msr::kTurboRatioLimit, msr::kTemperatureTarget, msr::kPackageThermStatus,
};
constexpr uint32_t kEachBatch[CPUReadings::kEachCount] = {
    msr::kAPerf,        msr::kMPerf,         msr::kPerfStatus,          msr::kTemperatureTarget,
    msr::kThermStatus,  msr::kRaplPowerUnit, msr::kPackageEnergyStatus,
};

} // namespace

void CPUReadings::read(IntelCPU& cpu, uint32_t cpus)
{
    ++fReads;
    const State before = fState;
    IOReturn status = cpu.getMSRs(kLocalBatch, fLocal, kLocalCount, 1);
    if (status != vennix::kIOReturnSuccess || fLocal.cpus() != 1) {
        fEach.clear();
        return fail("the calling CPU", status);
    }
    const uint64_t platformInfo = fLocal.value(0, kPlatformInfo);
    const uint64_t perfStatus = fLocal.value(0, kPerfStatus);
    if (!cpu.isIntel() || !IntelCPU::answersMSRs(platformInfo, perfStatus)) {
        fEach.clear();
        // Worded once: the processor stays what it is from tick to tick.
        if (before != State::kUnreadable)
            fWhy = cpu.limitationFor(platformInfo, perfStatus);
        fState = State::kUnreadable;
        return;
    }
    // A reply of no CPU is a read: each CPU's figures are missing, not kept.
    status = cpu.getMSRs(kEachBatch, fEach, kEachCount, std::min(cpus, kMaxCPUs));
    if (status != vennix::kIOReturnSuccess)
        return fail("every CPU", status);
    fWhy.clear();
    fState = State::kRead;
}

void CPUReadings::fail(const char* where, IOReturn status)
{
    fState = State::kFailed;
    fWhy = std::string("the MSR batch on ") + where + " "
        + (status == vennix::kIOReturnSuccess ? "read no CPU" : "failed: " + describeIOReturn(status));
}

CPUReadings::Figures CPUReadings::figures(CPUMetrics& metrics) const
{
    return fState == State::kRead ? figures(fLocal, fEach, metrics) : Figures{};
}

CPUReadings::Figures CPUReadings::figures(const MSRBatch& local, const MSRBatch& each, CPUMetrics& metrics)
{
    Figures f;
    f.packageCelsius = metrics.packageTemperature(local.value(0, kTemperatureTarget),
                                                  local.value(0, kPackageThermStatus));
    f.cores = metrics.coreTemperatures(each, kCPUTemperatureTarget, kThermStatus);
    f.packageWatts = metrics.packagePower(each, kRaplPowerUnit, kPackageEnergy);
    metrics.sampleFrequencies(static_cast<double>(msr::bits(local.value(0, kPlatformInfo), 15, 8)),
                              static_cast<double>(msr::bits(local.value(0, kTurboRatioLimit), 7, 0)), each,
                              kCPUPerfStatus, kAPerf, kMPerf);
    if (const auto volts = CPUMetrics::coreVoltage(each, kCPUPerfStatus); volts && *volts > 0)
        f.coreVolts = volts;
    return f;
}

} // namespace qarn
