// CPU identification on processors replayed from their CPUID leaves and identification MSRs.

#include "kext/cpuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kext/platform/IOLog.h"
#include "tests/kext/RecordedCPU.h"

namespace vennix {
namespace {

using test::RecordedCPU;

// Core i7-6700K (06_5E, stepping 3).
RecordedCPU skylake()
{
    RecordedCPU cpu;
    cpu.vendor("GenuineIntel", 0x16);
    cpu.leaves[1] = {0x000506E3, 0x00100800, 0x7FFAFBBF, 0xBFEBFBFF};
    cpu.leaves[5] = {0x40, 0x40, 0x3, 0x00142120};
    cpu.leaves[6] = {0x000027F7, 0x2, 0x9, 0x0};
    cpu.leaves[7] = {0x0, 0x029C6FBF, 0x0, 0x0};
    cpu.leaves[0xA] = {0x07300404, 0x0, 0x0, 0x00000603};
    cpu.leaves[0xD] = {0x1F, 0x440, 0x440, 0x0};
    cpu.leaves[0x80000000] = {0x80000008, 0, 0, 0};
    cpu.leaves[0x80000001] = {0, 0, 0x00000121, 0x2C100800};
    cpu.brand("Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz");
    cpu.leaves[0x80000006] = {0, 0, 0x01006040, 0};
    cpu.leaves[0x80000007] = {0, 0, 0, 0x00000100};
    cpu.leaves[0x80000008] = {0x00003027, 0, 0, 0};
    cpu.microcode = 0xC6;
    cpu.msrs[MSR_IA32_PLATFORM_ID] = 0x0004000000000000;
    cpu.msrs[MSR_CORE_THREAD_COUNT] = 0x00040008;
    return cpu;
}

class Identification : public ::testing::Test {
protected:
    ~Identification() override { cpuid_dbg = 0; }

    i386_cpu_info_t identify(RecordedCPU& cpu)
    {
        std::memset(&info, 0, sizeof info);
        cpuid_set_info(cpu, &info);
        return info;
    }

    std::vector<std::string> lines() const { return log.lines(); }

    IOLogCapture log;
    i386_cpu_info_t info{};
};

TEST_F(Identification, SkylakeIsRecognisedWithCountsFromMSR35)
{
    RecordedCPU cpu = skylake();
    const i386_cpu_info_t r = identify(cpu);

    EXPECT_STREQ(r.cpuid_vendor, "GenuineIntel");
    EXPECT_STREQ(r.cpuid_brand_string, "Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz");
    EXPECT_EQ(r.cpuid_max_basic, 0x16u);
    EXPECT_EQ(r.cpuid_max_ext, 0x80000008u);
    EXPECT_EQ(r.cpuid_signature, 0x000506E3u);
    EXPECT_EQ(r.cpuid_family, 6);
    EXPECT_EQ(r.cpuid_model, 0x5E);
    EXPECT_EQ(r.cpuid_stepping, 3);
    EXPECT_EQ(r.cpuid_extmodel, 5);
    EXPECT_EQ(r.cpuid_extfamily, 0);
    EXPECT_EQ(r.cpuid_type, 0);
    EXPECT_EQ(r.cpuid_brand, 0);
    EXPECT_EQ(r.cpuid_features, 0x7FFAFBBFBFEBFBFFull);
    EXPECT_EQ(r.cpuid_extfeatures, 0x000001212C100900ull); // invariant TSC ORed into bit 8
    EXPECT_EQ(r.cpuid_logical_per_package, 16u);
    EXPECT_EQ(r.cpuid_microcode_version, 0xC6u);
    EXPECT_EQ(r.cpuid_processor_flag, 1);
    EXPECT_EQ(r.cpuid_cache_linesize, 64u);
    EXPECT_EQ(r.cpuid_cache_L2_associativity, 8u);
    EXPECT_EQ(r.cpuid_cache_size, 256u);
    EXPECT_EQ(r.cpuid_address_bits_physical, 39u);
    EXPECT_EQ(r.cpuid_address_bits_virtual, 48u);
    EXPECT_EQ(r.cpuid_cpufamily, CPUFAMILY_INTEL_SKYLAKE);
    EXPECT_EQ(r.core_count, 4u);
    EXPECT_EQ(r.thread_count, 8u);
    EXPECT_EQ(r.cpuid_cpu_type, 7);
    EXPECT_EQ(r.cpuid_cpu_subtype, 4);
    EXPECT_EQ(r.cpuid_leaf7_features, 0x029C6FBFu);
    ASSERT_NE(r.cpuid_model_string, nullptr);
    EXPECT_STREQ(r.cpuid_model_string, "");

    EXPECT_EQ(r.cpuid_mwait_leaf.linesize_min, 0x40u);
    EXPECT_EQ(r.cpuid_mwait_leaf.sub_Cstates, 0x00142120u);
    EXPECT_EQ(r.cpuid_thermal_leaf.sensor, 1u);
    EXPECT_EQ(r.cpuid_thermal_leaf.dynamic_acceleration, 1u);
    EXPECT_EQ(r.cpuid_thermal_leaf.invariant_APIC_timer, 1u);
    EXPECT_EQ(r.cpuid_thermal_leaf.core_power_limits, 1u);
    EXPECT_EQ(r.cpuid_thermal_leaf.package_thermal_intr, 1u);
    EXPECT_EQ(r.cpuid_thermal_leaf.thresholds, 2u);
    EXPECT_EQ(r.cpuid_thermal_leaf.ACNT_MCNT, 1u);
    EXPECT_EQ(r.cpuid_thermal_leaf.hardware_feedback, 0u);
    EXPECT_EQ(r.cpuid_thermal_leaf.energy_policy, 1u);
    EXPECT_EQ(r.cpuid_arch_perf_leaf.version, 4);
    EXPECT_EQ(r.cpuid_arch_perf_leaf.number, 4);
    EXPECT_EQ(r.cpuid_arch_perf_leaf.width, 48);
    EXPECT_EQ(r.cpuid_arch_perf_leaf.events_number, 7);
    EXPECT_EQ(r.cpuid_arch_perf_leaf.fixed_number, 3);
    EXPECT_EQ(r.cpuid_arch_perf_leaf.fixed_width, 48);
    EXPECT_EQ(r.cpuid_xsave_leaf.extended_state[0], 0x1Fu);
    EXPECT_EQ(r.cpuid_xsave_leaf.extended_state[1], 0x440u);
    // The sub-record pointers point into the record that was filled.
    EXPECT_EQ(info.cpuid_mwait_leafp, &info.cpuid_mwait_leaf);
    EXPECT_EQ(info.cpuid_thermal_leafp, &info.cpuid_thermal_leaf);
    EXPECT_EQ(info.cpuid_arch_perf_leafp, &info.cpuid_arch_perf_leaf);
    EXPECT_EQ(info.cpuid_xsave_leafp, &info.cpuid_xsave_leaf);

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Vennix/ CPU: Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz\n",
                           "Vennix/ Family: 37FC219F\n",
                       }));
}

TEST_F(Identification, WritesNoMSRAndTakesTheMicrocodeRevisionFromTheSystem)
{
    // Linux taints the kernel on a write to MSR 0x8B: identification must change nothing.
    RecordedCPU cpu = skylake();
    EXPECT_EQ(identify(cpu).cpuid_microcode_version, 0xC6u);
    for (const std::string& access : cpu.accesses) {
        EXPECT_NE(access.rfind("wrmsr", 0), 0u) << access;
        EXPECT_NE(access, "rdmsr 0x8b");
    }
}

// The topology of a processor that MSR 0x35 does not count, replayed on its online CPUs.
struct TopologyCase {
    const char* name;
    RecordedCPU cpu;
    uint32_t cores, threads;
};

// A processor of the recorded Skylake's features with another signature and highest leaf;
// MSR 0x35 unrecorded, so reading it fails the test.
RecordedCPU intelModel(uint32_t signature, uint32_t maxBasic, std::vector<uint32_t> apicIds)
{
    RecordedCPU cpu = skylake();
    cpu.vendor("GenuineIntel", maxBasic);
    cpu.leaves[1].eax = signature;
    cpu.msrs.erase(MSR_CORE_THREAD_COUNT);
    cpu.apicIds = std::move(apicIds);
    return cpu;
}

// An AMD guest: no leaf 0xB topology, TOPOEXT set, leaf 0x8000001E and the package size of
// leaf 0x80000008 as given.
RecordedCPU amdGuest(uint32_t threadsPerCore, uint32_t logical, std::vector<uint32_t> apicIds)
{
    RecordedCPU cpu;
    cpu.vendor("AuthenticAMD", 0xD);
    cpu.leaves[1] = {0x00A00F11, 0x00FE0800, 0xFED83203, 0x178BFBFF}; // 19_01 (Zen 3)
    cpu.leaves[5] = cpu.leaves[6] = cpu.leaves[7] = cpu.leaves[0xA] = cpu.leaves[0xD] = {0, 0, 0, 0};
    cpu.leaves[0xB] = {0, 0, 0, 0};
    cpu.leaves[0x80000000] = {0x80000021, 0, 0, 0};
    cpu.leaves[0x80000001] = {0x00A00F11, 0, 0x00400000, 0x25D3FBFF}; // ECX 22: TOPOEXT
    cpu.brand("AMD EPYC 7763 64-Core Processor");
    cpu.leaves[0x80000006] = {0, 0, 0x02006140, 0};
    cpu.leaves[0x80000007] = {0, 0, 0, 0x100};
    cpu.leaves[0x80000008] = {0x3030, 0, logical ? logical - 1 : 0, 0};
    cpu.leaves[0x8000001E] = {0, threadsPerCore ? (threadsPerCore - 1) << 8 : 0, 0, 0};
    cpu.msrs[MSR_IA32_PLATFORM_ID] = 0;
    cpu.apicIds = std::move(apicIds);
    return cpu;
}

TEST_F(Identification, CountsOutsideTheFamilyTableComeFromTheTopologyOfTheOnlineCPUs)
{
    std::vector<TopologyCase> cases;
    {
        // Core i7-8550U (06_8E), 4 cores / 8 threads; leaf 1 EBX 23:16 says 16.
        RecordedCPU cpu = intelModel(0x000806EA, 0x16, {0, 1, 2, 3, 4, 5, 6, 7});
        cpu.leaves[1].ebx = 0x00100800;
        cpu.topology(0xB, {{1, 2, 1}, {4, 8, 2}});
        cases.push_back({"Kaby Lake R", cpu, 4, 8});
        cpu.apicIds = {0, 2, 4, 6}; // booted with nosmt
        cases.push_back({"Kaby Lake R without SMT", cpu, 4, 4});
    }
    {
        // Core i9-12900K (06_97): 8 P-cores with two threads, 8 E-cores with one, by leaf 0x1F.
        std::vector<uint32_t> ids;
        for (uint32_t i = 0; i < 16; ++i)
            ids.push_back(i);
        for (uint32_t i = 0; i < 8; ++i)
            ids.push_back(32 + 2 * i);
        RecordedCPU cpu = intelModel(0x00090672, 0x20, ids);
        cpu.topology(0x1F, {{1, 2, 1}, {7, 24, 2}});
        cases.push_back({"Alder Lake", cpu, 16, 24});
    }
    {
        // A Skylake guest whose MSR 0x35 reads 0: two packages of 2 cores x 2 threads each.
        RecordedCPU cpu = skylake();
        cpu.msrs[MSR_CORE_THREAD_COUNT] = 0;
        cpu.apicIds = {0, 1, 2, 3, 4, 5, 6, 7};
        cpu.topology(0xB, {{1, 2, 1}, {2, 4, 2}});
        cases.push_back({"Skylake guest with two packages", cpu, 2, 4});
    }
    cases.push_back({"Zen 3 guest, 2 cores x 2 threads", amdGuest(2, 4, {0, 1, 2, 3}), 2, 4});
    // A guest whose topology leaves answer zeros on every CPU, as on this project's CI machines.
    cases.push_back({"AMD guest that hides its topology", amdGuest(0, 0, {0, 0}), 2, 2});

    for (TopologyCase& c : cases) {
        const i386_cpu_info_t r = identify(c.cpu);
        EXPECT_EQ(r.core_count, c.cores) << c.name;
        EXPECT_EQ(r.thread_count, c.threads) << c.name;
    }
}

TEST_F(Identification, Model4EIsUnsupported)
{
    // Core i7-6500U (06_4E): a Skylake the family table does not name.
    RecordedCPU cpu = intelModel(0x000406E3, 0x16, {});
    cpu.brand("Intel(R) Core(TM) i7-6500U CPU @ 2.50GHz");
    cpu.topology(0xB, {{1, 2, 1}, {4, 4, 2}});
    const i386_cpu_info_t r = identify(cpu);

    EXPECT_EQ(r.cpuid_model, 0x4E);
    EXPECT_EQ(r.cpuid_cpufamily, 0u);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Vennix/ Unsupported CPU: GenuineIntel\n",
                           "Vennix/ Unsupported Family: 6\n",
                           "Vennix/ Unsupported Model: 78\n",
                           "Vennix/ CPU: Intel(R) Core(TM) i7-6500U CPU @ 2.50GHz\n",
                           "Vennix/ Family: 0\n",
                       }));
}

TEST_F(Identification, AnotherVendorsFamily6ModelGetsNoIntelFamilyCode)
{
    // A family-6 part of another vendor with a model number the Intel table names: it is no
    // Skylake, and MSR 0x35 (unrecorded) is not read.
    RecordedCPU cpu = intelModel(0x000506E3, 0x16, {});
    cpu.vendor("CentaurHauls", 0x16);
    cpu.topology(0xB, {{0, 1, 1}, {2, 4, 2}});
    const i386_cpu_info_t r = identify(cpu);
    EXPECT_EQ(r.cpuid_model, 0x5E);
    EXPECT_EQ(r.cpuid_cpufamily, 0u);
    EXPECT_EQ(lines()[0], "Vennix/ Unsupported CPU: CentaurHauls\n");
}

TEST_F(Identification, ExtendedModelIsAddedForFamily6)
{
    // Core i7-7700K (06_9E): base model 0xE, extended model 0x9.
    RecordedCPU cpu = skylake();
    cpu.leaves[1] = {0x000906E9, 0x00100800, 0x7FFAFBBF, 0xBFEBFBFF};
    cpu.brand("Intel(R) Core(TM) i7-7700K CPU @ 4.20GHz");
    const i386_cpu_info_t r = identify(cpu);

    EXPECT_EQ(r.cpuid_model, 0x9E);
    EXPECT_EQ(r.cpuid_stepping, 9);
    EXPECT_EQ(r.cpuid_cpufamily, CPUFAMILY_INTEL_KABYLAKE);
    EXPECT_EQ(r.core_count, 4u);
    EXPECT_EQ(lines().back(), "Vennix/ Family: F817246\n");
}

TEST_F(Identification, Family15IntelWithLeadingSpacesInItsBrand)
{
    // Pentium 4 (0F_04, Prescott): family 15, no family code, counts from leaf 1.
    RecordedCPU cpu;
    cpu.vendor("GenuineIntel", 5);
    cpu.leaves[1] = {0x00000F41, 0x00020800, 0x0000649D, 0xBFEBFBFF};
    cpu.leaves[5] = {0x40, 0x40, 0x0, 0x0};
    cpu.leaves[0x80000000] = {0x80000008, 0, 0, 0};
    cpu.leaves[0x80000001] = {0, 0, 0x00000001, 0x20100000};
    cpu.brand("              Intel(R) Pentium(R) 4 CPU 3.00GHz");
    cpu.leaves[0x80000006] = {0, 0, 0x04008040, 0};
    cpu.leaves[0x80000007] = {0, 0, 0, 0};
    cpu.leaves[0x80000008] = {0x00002024, 0, 0, 0};
    cpu.microcode = 4;
    cpu.msrs[MSR_IA32_PLATFORM_ID] = 0x0010000000000000;
    const i386_cpu_info_t r = identify(cpu);

    EXPECT_STREQ(r.cpuid_brand_string, "Intel(R) Pentium(R) 4 CPU 3.00GHz");
    EXPECT_EQ(r.cpuid_family, 15);
    EXPECT_EQ(r.cpuid_model, 4);
    EXPECT_EQ(r.cpuid_cache_L2_associativity, 16u);
    EXPECT_EQ(r.cpuid_cache_size, 1024u);
    EXPECT_EQ(r.cpuid_processor_flag, 4);
    // No topology leaf: the one recorded CPU, not leaf 1's count of APIC ids.
    EXPECT_EQ(r.cpuid_logical_per_package, 2u);
    EXPECT_EQ(r.core_count, 1u);
    EXPECT_EQ(r.thread_count, 1u);
    EXPECT_NE(r.cpuid_mwait_leafp, nullptr);
    EXPECT_EQ(r.cpuid_thermal_leafp, nullptr); // no leaf 6 below max basic 6
    EXPECT_EQ(r.cpuid_leaf7_features, 0u);
    EXPECT_EQ(lines()[2], "Vennix/ Unsupported Model: 4\n");
}

TEST_F(Identification, OtherVendorWithExtendedFamilyIsReportedUnsupported)
{
    // Phenom II X4 940 (family 0Fh + extended family 1 = 10h, model 4).
    RecordedCPU cpu;
    cpu.vendor("AuthenticAMD", 5);
    cpu.leaves[1] = {0x00100F42, 0x00040800, 0x00802009, 0x178BFBFF};
    cpu.leaves[5] = {0x40, 0x40, 0x3, 0x0};
    cpu.leaves[0x80000000] = {0x8000001B, 0, 0, 0};
    cpu.leaves[0x80000001] = {0x00100F42, 0, 0x000037FF, 0xEFD3FBFF};
    cpu.brand("AMD Phenom(tm) II X4 940 Processor");
    cpu.leaves[0x80000006] = {0, 0, 0x02008140, 0};
    cpu.leaves[0x80000007] = {0, 0, 0, 0x000001F9};
    cpu.leaves[0x80000008] = {0x00003030, 0, 0, 0};
    cpu.msrs[MSR_IA32_PLATFORM_ID] = 0; // refused on this vendor: the backend reads 0
    cpu.apicIds = {0, 1, 2, 3};           // no topology leaf: the four online CPUs count
    const i386_cpu_info_t r = identify(cpu);

    EXPECT_EQ(r.cpuid_family, 16);
    EXPECT_EQ(r.cpuid_model, 4); // no extended model outside families 6 and 15
    EXPECT_EQ(r.cpuid_cpufamily, 0u);
    EXPECT_EQ(r.core_count, 4u);
    EXPECT_EQ(r.thread_count, 4u);
    EXPECT_EQ(r.cpuid_extfeatures, 0x000037FFEFD3FBFFull);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Vennix/ Unsupported CPU: AuthenticAMD\n",
                           "Vennix/ Unsupported Family: 16\n",
                           "Vennix/ Unsupported Model: 4\n",
                           "Vennix/ CPU: AMD Phenom(tm) II X4 940 Processor\n",
                           "Vennix/ Family: 0\n",
                       }));
}

TEST_F(Identification, WithoutBrandLeavesTheExtendedFieldsStayZero)
{
    // Pentium III (06_08): no extended leaves past 0x80000000, no leaf 5, no HTT.
    RecordedCPU cpu;
    cpu.vendor("GenuineIntel", 3);
    cpu.leaves[1] = {0x00000683, 0x00000002, 0x0, 0x0383F9FF};
    cpu.leaves[0x80000000] = {0x80000000, 0, 0, 0};
    cpu.microcode = 8;
    cpu.msrs[MSR_IA32_PLATFORM_ID] = 0x0010000000000000;
    const i386_cpu_info_t r = identify(cpu);

    EXPECT_STREQ(r.cpuid_brand_string, "");
    EXPECT_EQ(r.cpuid_cache_linesize, 0u);
    EXPECT_EQ(r.cpuid_cache_L2_associativity, 0u);
    EXPECT_EQ(r.cpuid_cache_size, 0u);
    EXPECT_EQ(r.cpuid_address_bits_physical, 0u);
    EXPECT_EQ(r.cpuid_address_bits_virtual, 0u);
    EXPECT_EQ(r.cpuid_extfeatures, 0u);
    EXPECT_EQ(r.cpuid_mwait_leafp, nullptr);
    EXPECT_EQ(r.cpuid_logical_per_package, 1u);
    EXPECT_EQ(r.core_count, 1u);
    EXPECT_EQ(r.thread_count, 1u);
    EXPECT_EQ(r.cpuid_microcode_version, 8u);
    EXPECT_EQ(lines()[3], "Vennix/ CPU: \n");
}

TEST_F(Identification, L2AssociativityCodesAreMapped)
{
    const struct {
        uint32_t raw, mapped;
    } cases[] = {{6, 8}, {8, 16}, {15, 0xFFFF}, {4, 4}, {0, 0}, {2, 2}};
    for (const auto& c : cases) {
        RecordedCPU cpu = skylake();
        cpu.leaves[0x80000006].ecx = 0x01000040 | c.raw << 12;
        EXPECT_EQ(identify(cpu).cpuid_cache_L2_associativity, c.mapped) << "raw " << c.raw;
    }
}

TEST_F(Identification, BrandStringEdgeCases)
{
    RecordedCPU cpu = skylake();
    cpu.brand("Unknown CPU Type");
    EXPECT_STREQ(identify(cpu).cpuid_brand_string, "");

    // 48 characters without a terminator: the record keeps 47 and its own NUL.
    const std::string full(48, 'x');
    cpu.brand(full);
    EXPECT_EQ(std::string(identify(cpu).cpuid_brand_string), std::string(47, 'x'));

    cpu.brand(std::string(48, ' '));
    EXPECT_STREQ(identify(cpu).cpuid_brand_string, "");
}

TEST_F(Identification, Westmere35CountsUseFourCoreBits)
{
    RecordedCPU cpu = skylake();
    cpu.leaves[1].eax = 0x000206C2; // 06_2C
    cpu.msrs[MSR_CORE_THREAD_COUNT] = 0x00F6000C; // bits 31:20 are not the core count there
    const i386_cpu_info_t r = identify(cpu);
    EXPECT_EQ(r.cpuid_cpufamily, CPUFAMILY_INTEL_WESTMERE);
    EXPECT_EQ(r.core_count, 6u);
    EXPECT_EQ(r.thread_count, 12u);
    EXPECT_EQ(r.cpuid_leaf7_features, 0u); // leaf 7 is read from model 0x3A on only
}

TEST_F(Identification, FamilyTableCoversEveryNamedModel)
{
    const struct {
        uint8_t model;
        uint32_t family;
    } table[] = {{0x0D, CPUFAMILY_INTEL_6_13},      {0x1C, CPUFAMILY_INTEL_6_13},
                 {0x17, CPUFAMILY_INTEL_PENRYN},    {0x1A, CPUFAMILY_INTEL_NEHALEM},
                 {0x1E, CPUFAMILY_INTEL_NEHALEM},   {0x1F, CPUFAMILY_INTEL_NEHALEM},
                 {0x2E, CPUFAMILY_INTEL_NEHALEM},   {0x25, CPUFAMILY_INTEL_WESTMERE},
                 {0x2C, CPUFAMILY_INTEL_WESTMERE},  {0x2F, CPUFAMILY_INTEL_WESTMERE},
                 {0x2A, CPUFAMILY_INTEL_SANDYBRIDGE}, {0x2D, CPUFAMILY_INTEL_SANDYBRIDGE},
                 {0x3A, CPUFAMILY_INTEL_IVYBRIDGE}, {0x3E, CPUFAMILY_INTEL_IVYBRIDGE},
                 {0x3C, CPUFAMILY_INTEL_HASWELL},   {0x3F, CPUFAMILY_INTEL_HASWELL},
                 {0x45, CPUFAMILY_INTEL_HASWELL},   {0x46, CPUFAMILY_INTEL_HASWELL},
                 {0x3D, CPUFAMILY_INTEL_BROADWELL}, {0x4F, CPUFAMILY_INTEL_BROADWELL},
                 {0x5E, CPUFAMILY_INTEL_SKYLAKE},   {0x9E, CPUFAMILY_INTEL_KABYLAKE},
                 {0x4E, 0},                         {0x8E, 0},
                 {0x0E, 0}};
    for (const auto& row : table) {
        i386_cpu_info_t r{};
        r.cpuid_family = 6;
        r.cpuid_model = row.model;
        EXPECT_EQ(cpuid_set_cpufamily(&r), row.family) << std::hex << int(row.model);
        EXPECT_EQ(r.cpuid_cpufamily, row.family);
    }
    i386_cpu_info_t other{};
    other.cpuid_family = 15;
    other.cpuid_model = 0x5E;
    EXPECT_EQ(cpuid_set_cpufamily(&other), 0u);
}

TEST_F(Identification, DebugLinesFollowTheAccessesInOrder)
{
    cpuid_dbg = 1;
    RecordedCPU cpu = skylake();
    identify(cpu);
    const std::vector<std::string> all = lines();

    auto at = [&](const std::string& prefix) {
        const auto it = std::find_if(all.begin(), all.end(),
                                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        EXPECT_NE(it, all.end()) << "missing line " << prefix;
        return it - all.begin();
    };

    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].rfind("cpuid_set_generic_info(0x", 0), 0u) << all[0];
    EXPECT_EQ(all[1], "cpuid_fn(0x00000000) eax:0x00000016 ebx:0x756e6547 ecx:0x6c65746e edx:0x49656e69\n");
    EXPECT_LT(at("cpuid_fn(0x00000001)"), at(" max_basic           : 22\n"));
    EXPECT_LT(at(" max_basic"), at(" microcode_version   : 0x000000c6\n"));
    EXPECT_LT(at(" microcode_version"), at("cpuid_fn(0x80000007)"));
    EXPECT_EQ(all[at("cpuid_fn(0x80000007)") + 1], " extfeatures         : 0x000001212c100900\n");
    EXPECT_LT(at(" Monitor/Mwait Leaf:\n"), at(" Thermal/Power Leaf:\n"));
    EXPECT_EQ(all[at("  energy_policy") - 1], "  ACNT2                : 0\n");
    EXPECT_LT(at(" Thermal/Power Leaf:\n"), at(" Architectural Performance Monitoring Leaf:\n"));
    EXPECT_LT(at(" Architectural Performance Monitoring Leaf:\n"), at(" XSAVE Leaf:\n"));
    EXPECT_LT(at(" XSAVE Leaf:\n"), at(" Feature Leaf7:\n"));
    EXPECT_EQ(all[at(" Feature Leaf7:\n") + 1], "  EBX           : 0x29c6fbf\n");
    EXPECT_LT(at(" Feature Leaf7:\n"), at("cpuid_set_cpufamily(0x"));
    EXPECT_NE(all[at("cpuid_set_cpufamily(0x")].find(") returning 0x37fc219f\n"), std::string::npos);
    const auto summary = at("cpuid_set_info():\n");
    EXPECT_EQ(all[summary + 1], "  core_count   : 4\n");
    EXPECT_EQ(all[summary + 2], "  thread_count : 8\n");
    EXPECT_EQ(all[summary + 3], "Vennix/ CPU: Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz\n");
    EXPECT_EQ(all.back(), "Vennix/ Family: 37FC219F\n");
}

TEST_F(Identification, SecondRunGivesTheSameRecord)
{
    RecordedCPU cpu = skylake();
    cpuid_set_info(cpu);
    i386_cpu_info_t first;
    std::memcpy(&first, cpuid_info(), sizeof first);
    cpuid_set_info(cpu);
    EXPECT_EQ(std::memcmp(&first, cpuid_info(), sizeof first), 0);
    EXPECT_EQ(cpuid_info(), &cpuid_cpu_info);
}

} // namespace
} // namespace vennix
