#pragma once
// The model-specific registers the system reads or writes, by the processor's names, and the
// helper that takes their bit fields apart (ranges inclusive). The one place these numbers are
// written: the service, its identification, the simulated processor and the monitor use them.

#include <cstdint>

namespace vennix::msr {

inline constexpr uint32_t kTimeStampCounter = 0x10;        // IA32_TIME_STAMP_COUNTER
inline constexpr uint32_t kPlatformId = 0x17;              // IA32_PLATFORM_ID
inline constexpr uint32_t kCoreThreadCount = 0x35;         // MSR_CORE_THREAD_COUNT
inline constexpr uint32_t kBiosSignId = 0x8B;              // IA32_BIOS_SIGN_ID
inline constexpr uint32_t kPlatformInfo = 0xCE;            // MSR_PLATFORM_INFO
inline constexpr uint32_t kPackageCStateConfig = 0xE2;     // MSR_PKG_CST_CONFIG_CONTROL
inline constexpr uint32_t kMPerf = 0xE7;                   // IA32_MPERF
inline constexpr uint32_t kAPerf = 0xE8;                   // IA32_APERF
inline constexpr uint32_t kPerfStatus = 0x198;             // IA32_PERF_STATUS
inline constexpr uint32_t kThermStatus = 0x19C;            // IA32_THERM_STATUS
inline constexpr uint32_t kTemperatureTarget = 0x1A2;      // MSR_TEMPERATURE_TARGET
inline constexpr uint32_t kTurboRatioLimit = 0x1AD;        // MSR_TURBO_RATIO_LIMIT
inline constexpr uint32_t kPackageThermStatus = 0x1B1;     // IA32_PACKAGE_THERM_STATUS
inline constexpr uint32_t kRaplPowerUnit = 0x606;          // MSR_RAPL_POWER_UNIT
inline constexpr uint32_t kPackageEnergyStatus = 0x611;    // MSR_PKG_ENERGY_STATUS
inline constexpr uint32_t kDRAMEnergyStatus = 0x619;       // MSR_DRAM_ENERGY_STATUS
inline constexpr uint32_t kUncoreRatioLimit = 0x620;       // MSR_UNCORE_RATIO_LIMIT
inline constexpr uint32_t kPP0EnergyStatus = 0x639;        // MSR_PP0_ENERGY_STATUS
inline constexpr uint32_t kPP1EnergyStatus = 0x641;        // MSR_PP1_ENERGY_STATUS
inline constexpr uint32_t kTurboActivationRatio = 0x64C;   // MSR_TURBO_ACTIVATION_RATIO
inline constexpr uint32_t kPlatformEnergyCounter = 0x64D;  // MSR_PLATFORM_ENERGY_COUNTER
inline constexpr uint32_t kAMDCoreEnergy = 0xC001029A;     // AMD core energy status
inline constexpr uint32_t kAMDPackageEnergy = 0xC001029B;  // AMD package energy status

// Bits hi down to lo of value, shifted down to bit 0.
constexpr uint64_t bits(uint64_t value, unsigned hi, unsigned lo)
{
    const unsigned width = hi - lo + 1;
    return width >= 64 ? value >> lo : (value >> lo) & ((uint64_t{1} << width) - 1);
}

} // namespace vennix::msr
