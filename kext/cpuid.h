#pragma once
// CPU identification: the processor's CPUID leaves and the system's facts decoded into the
// 464-byte record of protocol/CPUInfoRecord.h, which selector 0 hands out.

#include <cstddef>
#include <cstdint>

#include "kext/platform/CPUHardware.h"
#include "protocol/CPUInfoRecord.h"
#include "protocol/MSR.h"

namespace vennix {

// Processor family codes (family 6 only).
constexpr uint32_t CPUFAMILY_UNKNOWN = 0;
constexpr uint32_t CPUFAMILY_INTEL_6_13 = 0xAA33392B;
constexpr uint32_t CPUFAMILY_INTEL_PENRYN = 0x78EA4FBC;
constexpr uint32_t CPUFAMILY_INTEL_NEHALEM = 0x6B5A4CD2;
constexpr uint32_t CPUFAMILY_INTEL_WESTMERE = 0x573B5EEC;
constexpr uint32_t CPUFAMILY_INTEL_SANDYBRIDGE = 0x5490B78C;
constexpr uint32_t CPUFAMILY_INTEL_IVYBRIDGE = 0x1F65E835;
constexpr uint32_t CPUFAMILY_INTEL_HASWELL = 0x10B282DC;
constexpr uint32_t CPUFAMILY_INTEL_BROADWELL = 0x582ED09C;
constexpr uint32_t CPUFAMILY_INTEL_SKYLAKE = 0x37FC219F;
constexpr uint32_t CPUFAMILY_INTEL_KABYLAKE = 0x0F817246;

constexpr int32_t CPU_TYPE_X86 = 7;
constexpr int32_t CPU_SUBTYPE_X86_ARCH1 = 4;

// MSRs the identification reads.
constexpr uint32_t MSR_IA32_PLATFORM_ID = msr::kPlatformId;
constexpr uint32_t MSR_CORE_THREAD_COUNT = msr::kCoreThreadCount;
constexpr uint32_t MSR_IA32_BIOS_SIGN_ID = msr::kBiosSignId;

// Turns on the debug lines; nothing in the system sets it.
extern uint32_t cpuid_dbg;

// The record the Vennix service hands out; zero until the first identification.
extern i386_cpu_info_t cpuid_cpu_info;

// Identifies the processor of hw into the record (the Vennix record unless told otherwise)
// and logs what it found under the name "Vennix". Runs on one CPU: the calling thread stays
// on the CPU it started on until identification is done.
void cpuid_set_info(CPUHardware& hw);
void cpuid_set_info(CPUHardware& hw, i386_cpu_info_t* info);

// The same, once per platform device: the first service that starts on the device identifies
// its processor (and logs), and leaves the record on the device as its property
// kCPUInformationKey; services that start on it later copy the record from there.
class IOPlatformDevice;
inline constexpr const char* kCPUInformationKey = "CPUInformation";
void cpuid_set_info(IOPlatformDevice& platform, i386_cpu_info_t* info);

i386_cpu_info_t* cpuid_info();

// Decodes the CPUID leaves (and MSRs 0x8B, 0x17) into info.
void cpuid_set_generic_info(CPUHardware& hw, i386_cpu_info_t* info);
// Looks the model up, stores the family code in info and returns it.
uint32_t cpuid_set_cpufamily(i386_cpu_info_t* info);

// CPUID with EAX = leaf, ECX = 0 on the current CPU; regs gets EAX, EBX, ECX, EDX.
void do_cpuid(CPUHardware& hw, uint32_t leaf, uint32_t regs[4]);
// do_cpuid plus its debug line.
void cpuid_fn(CPUHardware& hw, uint32_t leaf, uint32_t regs[4]);

} // namespace vennix
