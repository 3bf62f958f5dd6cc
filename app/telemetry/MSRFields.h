#pragma once
// The model-specific registers the monitor reads, and their bit fields (ranges inclusive).

#include <cstdint>

namespace qarn::msr {

inline constexpr uint32_t kTimeStampCounter = 0x10;       // IA32_TIME_STAMP_COUNTER
inline constexpr uint32_t kMPerf = 0xE7;                  // IA32_MPERF
inline constexpr uint32_t kAPerf = 0xE8;                  // IA32_APERF
inline constexpr uint32_t kPlatformInfo = 0xCE;           // MSR_PLATFORM_INFO
inline constexpr uint32_t kPackageCStateConfig = 0xE2;    // MSR_PKG_CST_CONFIG_CONTROL
inline constexpr uint32_t kPerfStatus = 0x198;            // IA32_PERF_STATUS
inline constexpr uint32_t kThermStatus = 0x19C;           // IA32_THERM_STATUS
inline constexpr uint32_t kTemperatureTarget = 0x1A2;     // MSR_TEMPERATURE_TARGET
inline constexpr uint32_t kTurboRatioLimit = 0x1AD;       // MSR_TURBO_RATIO_LIMIT
inline constexpr uint32_t kPackageThermStatus = 0x1B1;    // IA32_PACKAGE_THERM_STATUS
inline constexpr uint32_t kRaplPowerUnit = 0x606;         // MSR_RAPL_POWER_UNIT
inline constexpr uint32_t kPackageEnergyStatus = 0x611;   // MSR_PKG_ENERGY_STATUS
inline constexpr uint32_t kPP0EnergyStatus = 0x639;       // MSR_PP0_ENERGY_STATUS
inline constexpr uint32_t kUncoreRatioLimit = 0x620;      // MSR_UNCORE_RATIO_LIMIT
inline constexpr uint32_t kTurboActivationRatio = 0x64C;  // MSR_TURBO_ACTIVATION_RATIO

// Bits hi down to lo of value, shifted down to bit 0.
constexpr uint64_t bits(uint64_t value, unsigned hi, unsigned lo)
{
    const unsigned width = hi - lo + 1;
    return width >= 64 ? value >> lo : (value >> lo) & ((uint64_t{1} << width) - 1);
}

// The multiplier a CPU ran at over an interval: base x dAPERF / dMPERF. MPERF stands still
// while a CPU sleeps the whole interval, and where the processor refuses the counters: such a
// CPU ran at no ratio at all, 0, not 0/0.
constexpr double ranRatio(double base, double aDelta, double mDelta)
{
    return mDelta != 0.0 ? base * (aDelta / mDelta) : 0.0;
}

} // namespace qarn::msr
