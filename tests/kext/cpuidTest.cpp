// CPU identification on processors replayed from their CPUID leaves and identification MSRs.

#include "kext/cpuid.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>

#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"

namespace vennix {
namespace {

using Lines = std::vector<std::string>;

// A processor replayed from recorded CPUID leaves and MSR values. It fails the running test on
// a leaf or an MSR that was not recorded, and on any MSR write: identification writes none.
// One CPU unless apicIds names more: then the topology leaves carry each CPU's own APIC id (EDX of
// 0xB and 0x1F, EAX of 0x8000001E), and the rendezvous runs the action on each CPU in turn.
struct Regs { uint32_t eax, ebx, ecx, edx; };
class RecordedCPU final : public CPUHardware {
public:
    std::map<std::pair<uint32_t, uint32_t>, Regs> leaves; // by (leaf, subleaf)
    std::map<uint32_t, uint64_t> msrs;
    std::vector<uint32_t> apicIds; // one per CPU; empty: one CPU
    uint32_t microcode = 0, current = 0;

    Regs& leaf(uint32_t leaf, uint32_t subleaf = 0) { return leaves[{leaf, subleaf}]; }
    void vendor(const char* text, uint32_t maxBasic) // 12 characters in EBX, EDX, ECX
    {
        leaf(0).eax = maxBasic;
        for (uint32_t* word : {&leaf(0).ebx, &leaf(0).edx, &leaf(0).ecx})
            std::memcpy(word, text, 4), text += 4;
    }
    void brand(std::string text) // NUL-padded to 48 bytes as processors return it
    {
        text.resize(48);
        for (uint32_t i = 0; i < 3; ++i)
            std::memcpy(&leaf(0x80000002 + i), text.data() + 16 * i, 16);
    }
    // Extended topology (leaf 0xB or 0x1F) of levels {shift, logical processors, type}, then the end.
    void topology(uint32_t number, std::initializer_list<std::array<uint32_t, 3>> levels)
    {
        uint32_t i = 0;
        for (const auto& [shift, logical, type] : levels)
            leaf(number, i) = {shift, logical, type << 8 | i, 0}, ++i;
        leaf(number, i) = {0, 0, i, 0};
    }

    const char* description() const override { return "recorded"; }
    bool isSimulated() const override { return true; }
    unsigned cpuCount() const override { return apicIds.empty() ? 1 : static_cast<unsigned>(apicIds.size()); }
    unsigned currentCPU() const override { return current; }
    uint32_t microcodeRevision() override { return microcode; }
    void cpuid(uint32_t number, uint32_t subleaf, uint32_t regs[4]) override
    {
        EXPECT_TRUE(leaves.count({number, subleaf})) << "CPUID leaf " << std::hex << number << "." << subleaf;
        const Regs r = leaves[{number, subleaf}];
        const uint32_t apic = apicIds.empty() ? 0 : apicIds.at(current);
        const bool x2apic = number == 0xB || number == 0x1F;
        const Regs out{number == 0x8000001E ? apic : r.eax, r.ebx, r.ecx, x2apic ? apic : r.edx};
        std::memcpy(regs, &out, sizeof out);
    }
    uint64_t rdmsr(uint32_t msr) override
    {
        EXPECT_TRUE(msrs.count(msr)) << "MSR " << std::hex << msr << " was not recorded";
        return msrs[msr];
    }
    void wrmsr(uint32_t msr, uint64_t) override { ADD_FAILURE() << "MSR " << std::hex << msr << " written"; }
    void rendezvous(Action action, void* argument) override
    {
        for (current = 0; current < cpuCount(); ++current)
            action(argument);
        current = 0;
    }
};

// Core i7-6700K (06_5E, stepping 3) with its MSR 0x35, or another signature with its
// leaf 0xB topology of 4 cores x 2 threads over apicIds (MSR 0x35 not recorded: reading it fails).
RecordedCPU intel(uint32_t signature = 0x000506E3, std::vector<uint32_t> apicIds = {})
{
    RecordedCPU cpu;
    cpu.vendor("GenuineIntel", 0x16);
    cpu.brand("Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz");
    for (auto [leaf, regs] :
        std::initializer_list<std::pair<uint32_t, Regs>>{{1, {signature, 0x00100800, 0x7FFAFBBF, 0xBFEBFBFF}},
            {5, {0x40, 0x40, 0x3, 0x00142120}}, {6, {0x27F7, 2, 9, 0}}, {7, {0, 0x029C6FBF, 0, 0}},
            {0xA, {0x07300404, 0, 0, 0x603}}, {0xD, {0x1F, 0x440, 0x440, 0}}, {0x80000000, {0x80000008, 0, 0, 0}},
            {0x80000001, {0, 0, 0x121, 0x2C100800}}, {0x80000006, {0, 0, 0x01006040, 0}},
            {0x80000007, {0, 0, 0, 0x100}}, {0x80000008, {0x3027, 0, 0, 0}}})
        cpu.leaf(leaf) = regs;
    cpu.microcode = 0xC6;
    cpu.msrs[MSR_IA32_PLATFORM_ID] = 0x0004000000000000;
    if (apicIds.empty())
        cpu.msrs[MSR_CORE_THREAD_COUNT] = 0x00040008;
    cpu.apicIds = std::move(apicIds);
    cpu.topology(0xB, {{1, 2, 1}, {4, 8, 2}});
    return cpu;
}

// An AMD guest (Zen 3, 19_21) with TOPOEXT: leaf 0x8000001E and the package size of 0x80000008 as given.
RecordedCPU amdGuest(uint32_t threadsPerCore, uint32_t logical, std::vector<uint32_t> apicIds)
{
    RecordedCPU cpu = intel(0x00A20F10, std::move(apicIds));
    cpu.vendor("AuthenticAMD", 0xD);
    cpu.leaf(0xB) = {0, 0, 0, 0};
    cpu.leaf(0x80000000) = {0x80000021, 0, 0, 0};
    cpu.leaf(0x80000001).ecx = 0x00400000; // TOPOEXT
    cpu.leaf(0x80000008).ecx = logical ? logical - 1 : 0;
    cpu.leaf(0x8000001E) = {0, threadsPerCore ? (threadsPerCore - 1) << 8 : 0, 0, 0};
    return cpu;
}

// The sub-record pointers of a record point into that record.
bool pointsIntoItself(const i386_cpu_info_t& r)
{
    return r.cpuid_mwait_leafp == &r.cpuid_mwait_leaf && r.cpuid_thermal_leafp == &r.cpuid_thermal_leaf
        && r.cpuid_arch_perf_leafp == &r.cpuid_arch_perf_leaf && r.cpuid_xsave_leafp == &r.cpuid_xsave_leaf;
}

class Identification : public ::testing::Test {
protected:
    ~Identification() override { cpuid_dbg = 0; }
    const i386_cpu_info_t& identify(RecordedCPU cpu)
    {
        info = {};
        log.clear();
        cpuid_set_info(cpu, &info);
        return info;
    }

    IOLogCapture log;
    i386_cpu_info_t info{};
};

TEST_F(Identification, SkylakeFieldByFieldWithCountsFromMSR35)
{
    const i386_cpu_info_t& r = identify(intel());
    EXPECT_STREQ(r.cpuid_vendor, "GenuineIntel");
    EXPECT_STREQ(r.cpuid_brand_string, "Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz");
    const std::tuple<const char*, uint64_t, uint64_t> fields[]
        = {{"max basic", r.cpuid_max_basic, 0x16}, {"max ext", r.cpuid_max_ext, 0x80000008},
            {"family", r.cpuid_family, 6}, {"signature", r.cpuid_signature, 0x506E3}, {"model", r.cpuid_model, 0x5E},
            {"stepping", r.cpuid_stepping, 3}, {"extmodel", r.cpuid_extmodel, 5},
            {"features", r.cpuid_features, 0x7FFAFBBFBFEBFBFF}, {"brand", r.cpuid_brand, 0},
            {"extfeatures", r.cpuid_extfeatures, 0x000001212C100900}, // with the invariant TSC in bit 8
            {"logical", r.cpuid_logical_per_package, 16}, {"microcode", r.cpuid_microcode_version, 0xC6},
            {"flag", r.cpuid_processor_flag, 1}, {"line", r.cpuid_cache_linesize, 64}, {"L2", r.cpuid_cache_size, 256},
            {"ways", r.cpuid_cache_L2_associativity, 8}, {"physical", r.cpuid_address_bits_physical, 39},
            {"virtual", r.cpuid_address_bits_virtual, 48}, {"family code", r.cpuid_cpufamily, CPUFAMILY_INTEL_SKYLAKE},
            {"cores", r.core_count, 4}, {"threads", r.thread_count, 8}, {"type", uint64_t(r.cpuid_cpu_type), 7},
            {"subtype", uint64_t(r.cpuid_cpu_subtype), 4}, {"leaf 7", r.cpuid_leaf7_features, 0x029C6FBF}};
    for (const auto& [name, value, expected] : fields)
        EXPECT_EQ(value, expected) << name;
    const cpuid_mwait_leaf_t mwait{0x40, 0x40, 3, 0x00142120};
    const cpuid_thermal_leaf_t thermal{1, 1, 1, 1, 1, 1, 2, 1, 0, 1};
    const cpuid_xsave_leaf_t xsave{{0x1F, 0x440, 0x440, 0}};
    const cpuid_arch_perf_leaf_t& p = r.cpuid_arch_perf_leaf;
    EXPECT_TRUE(!memcmp(&r.cpuid_mwait_leaf, &mwait, sizeof mwait)
        && !memcmp(&r.cpuid_thermal_leaf, &thermal, sizeof thermal)
        && !memcmp(&r.cpuid_xsave_leaf, &xsave, sizeof xsave));
    EXPECT_TRUE(std::tie(p.version, p.number, p.width, p.events_number, p.events, p.fixed_number, p.fixed_width)
                == std::tuple(4, 4, 48, 7, 0u, 3, 48));
    EXPECT_TRUE(pointsIntoItself(r) && !strcmp(r.cpuid_model_string, ""));
    EXPECT_EQ(log.lines(),
        (Lines{"Vennix/ CPU: Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz\n", "Vennix/ Family: 37FC219F\n"}));
}

TEST_F(Identification, OncePerPlatformDeviceIntoRecordsOfTheirOwnAndDebugLinesInOrder)
{
    RecordedCPU cpu = intel();
    ManualClock clock;
    IOPlatformDevice* platform = IOPlatformDevice::withHardware(&cpu, &clock);
    i386_cpu_info_t first{}, second{};
    cpuid_set_info(*platform, &first);
    cpu.leaf(1).eax = 0x000906E9; // what a second identification would see
    cpuid_set_info(*platform, &second);
    EXPECT_TRUE(log.lines().size() == 2 && second.cpuid_model == 0x5E && !memcmp(&first, &second, 64));
    EXPECT_TRUE(pointsIntoItself(second));
    platform->release();
    cpuid_dbg = 1;
    identify(intel());
    const Lines all = log.lines();
    ASSERT_GT(all.size(), 60u);
    EXPECT_EQ(all[1], "cpuid_fn(0x00000000) eax:0x00000016 ebx:0x756e6547 ecx:0x6c65746e edx:0x49656e69\n");
    EXPECT_EQ(Lines(all.end() - 5, all.end() - 2),
        (Lines{"cpuid_set_info():\n", "  core_count   : 4\n", "  thread_count : 8\n"}));
}

TEST_F(Identification, SignaturesDecodeIntoFamilyModelFamilyCodeAndCounts)
{
    for (auto [signature, family, model, code, leaf7, msr35, cores, threads] :
        std::initializer_list<std::tuple<uint32_t, int, int, uint32_t, bool, uint32_t, uint32_t, uint32_t>>{
            {0x000906E9, 6, 0x9E, CPUFAMILY_INTEL_KABYLAKE, true, 0x00040008, 4, 8},
            {0x000306A9, 6, 0x3A, CPUFAMILY_INTEL_IVYBRIDGE, true, 0x00040008, 4, 8},
            {0x000206A7, 6, 0x2A, CPUFAMILY_INTEL_SANDYBRIDGE, false, 0x00040008, 4, 8},
            {0x000306F2, 6, 0x3F, CPUFAMILY_INTEL_HASWELL, true, 0x00120024, 18, 36}, // MSR 0x35: 16 bits
            {0x000206C2, 6, 0x2C, CPUFAMILY_INTEL_WESTMERE, false, 0x00F6000C, 6, 12}, // MSR 0x35: 4 bits
            {0x000406E3, 6, 0x4E, 0, true, 0, 4, 8}, // from the topology
            {0x00010F41, 15, 0x14, 0, false, 0, 4, 8}, // the extended model added for family 15 too
            {0x00100F42, 16, 4, 0, false, 0, 4, 8}, // the extended family added to 15
            {0x00A20F10, 25, 1, 0, false, 0, 4, 8}}) { // no extended model outside families 6 and 15
        RecordedCPU cpu = intel(signature, {0, 1, 2, 3, 4, 5, 6, 7});
        cpu.msrs[MSR_CORE_THREAD_COUNT] = msr35;
        const i386_cpu_info_t& r = identify(cpu);
        EXPECT_TRUE(r.cpuid_family == family && r.cpuid_model == model && r.cpuid_cpufamily == code)
            << std::hex << signature;
        EXPECT_TRUE((r.cpuid_leaf7_features != 0) == leaf7 && r.core_count == cores && r.thread_count == threads)
            << std::hex << signature;
    }
    // Another vendor's family-6 model 0x5E is no Skylake, and its MSR 0x35 (not recorded) is not read.
    RecordedCPU centaur = intel(0x000506E3, {0, 1});
    centaur.vendor("CentaurHauls", 0x16);
    EXPECT_EQ(identify(centaur).cpuid_cpufamily, 0u);
    EXPECT_EQ(log.lines(),
        (Lines{"Vennix/ Unsupported CPU: CentaurHauls\n", "Vennix/ Unsupported Family: 6\n",
            "Vennix/ Unsupported Model: 94\n", "Vennix/ CPU: Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz\n",
            "Vennix/ Family: 0\n"}));
}

TEST_F(Identification, FamilyCodesOfFamily6Models)
{
    for (const auto& [family, models] : std::initializer_list<std::pair<uint32_t, std::vector<uint8_t>>>{
             {CPUFAMILY_INTEL_6_13, {0x0D, 0x1C}}, {CPUFAMILY_INTEL_PENRYN, {0x17}},
             {CPUFAMILY_INTEL_NEHALEM, {0x1A, 0x1E, 0x1F, 0x2E}}, {CPUFAMILY_INTEL_WESTMERE, {0x25, 0x2C, 0x2F}},
             {CPUFAMILY_INTEL_SANDYBRIDGE, {0x2A, 0x2D}}, {CPUFAMILY_INTEL_IVYBRIDGE, {0x3A, 0x3E}},
             {CPUFAMILY_INTEL_HASWELL, {0x3C, 0x3F, 0x45, 0x46}}, {CPUFAMILY_INTEL_BROADWELL, {0x3D, 0x4F}},
             {CPUFAMILY_INTEL_SKYLAKE, {0x5E}}, {CPUFAMILY_INTEL_KABYLAKE, {0x9E}}, {0, {0x0E, 0x4E, 0x8E, 0x97}}}) {
        for (uint8_t model : models) {
            info.cpuid_family = 6;
            info.cpuid_model = model;
            EXPECT_TRUE(cpuid_set_cpufamily(&info) == family && info.cpuid_cpufamily == family) << std::hex << +model;
        }
    }
    info.cpuid_family = 15;
    info.cpuid_model = 0x5E;
    EXPECT_EQ(cpuid_set_cpufamily(&info), 0u);
}

TEST_F(Identification, CountsOutsideMSR35ComeFromTheTopologyOfTheOnlineCPUs)
{
    std::vector<uint32_t> alderLakeIds; // 8 P-cores with two threads, 8 E-cores with one
    for (uint32_t i = 0; i < 24; ++i)
        alderLakeIds.push_back(i < 16 ? i : 32 + 2 * (i - 16));
    RecordedCPU alderLake = intel(0x00090672, alderLakeIds); // Core i9-12900K (06_97), by leaf 0x1F
    alderLake.vendor("GenuineIntel", 0x20);
    alderLake.topology(0x1F, {{1, 2, 1}, {7, 24, 2}});
    RecordedCPU guest = intel(); // a Skylake guest whose MSR 0x35 reads 0: two packages of 2 x 2
    guest.msrs[MSR_CORE_THREAD_COUNT] = 0;
    guest.apicIds = {0, 1, 2, 3, 4, 5, 6, 7};
    guest.topology(0xB, {{1, 2, 1}, {2, 4, 2}});
    const std::tuple<const char*, RecordedCPU, uint32_t, uint32_t> cases[] = {
        {"Kaby Lake R (leaf 1 says 16)", intel(0x000806EA, {0, 1, 2, 3, 4, 5, 6, 7}), 4, 8},
        {"Kaby Lake R without SMT", intel(0x000806EA, {0, 2, 4, 6}), 4, 4}, {"Alder Lake", alderLake, 16, 24},
        {"Skylake guest with two packages", guest, 2, 4},
        {"Zen 3 guest, 2 cores x 2 threads", amdGuest(2, 4, {0, 1, 2, 3}), 2, 4},
        {"AMD guest that hides its topology", amdGuest(0, 0, {0, 0}), 2, 2}}; // as on this project's CI machines
    for (const auto& [name, cpu, cores, threads] : cases) {
        const i386_cpu_info_t& r = identify(cpu);
        EXPECT_TRUE(r.core_count == cores && r.thread_count == threads)
            << name << ": " << r.core_count << "/" << r.thread_count;
    }
}

TEST_F(Identification, OldProcessorsBrandStringsAndL2Associativity)
{
    RecordedCPU old; // Pentium III (06_08): no leaves past 0x80000000, no leaf 5, no HTT, no topology
    old.vendor("GenuineIntel", 3);
    old.leaf(1) = {0x00000683, 0x00000002, 0x0, 0x0383F9FF};
    old.leaf(0x80000000) = {0x80000000, 0, 0, 0};
    old.msrs[MSR_IA32_PLATFORM_ID] = 0x0010000000000000;
    const i386_cpu_info_t& r = identify(old);
    EXPECT_TRUE(r.cpuid_cache_linesize + r.cpuid_cache_L2_associativity + r.cpuid_address_bits_physical == 0);
    EXPECT_TRUE(r.cpuid_extfeatures == 0 && r.cpuid_mwait_leafp == nullptr && r.cpuid_processor_flag == 4);
    EXPECT_TRUE(r.cpuid_logical_per_package == 1 && r.core_count == 1 && r.thread_count == 1);
    EXPECT_TRUE(log.lines()[2] == "Vennix/ Unsupported Model: 8\n" && log.lines()[3] == "Vennix/ CPU: \n");
    old.vendor("GenuineIntel", 5); // leaf 5 but no leaf 6
    old.leaf(5) = {0x40, 0x40, 0x0, 0x0};
    EXPECT_TRUE(identify(old).cpuid_mwait_leafp && !r.cpuid_thermal_leafp);

    for (auto [raw, brand] : {std::pair<std::string, std::string>{"    Intel(R) Pentium(R) 4", "Intel(R) Pentium(R) 4"},
                              {"Unknown CPU Type", ""}, {std::string(48, 'x'), std::string(47, 'x')}, // no NUL: 47
                              {std::string(48, ' '), ""}}) {
        RecordedCPU cpu = intel();
        cpu.brand(raw);
        EXPECT_EQ(identify(cpu).cpuid_brand_string, brand) << raw;
    }
    for (auto [raw, ways] : {std::pair{6u, 8u}, {8u, 16u}, {15u, 0xFFFFu}, {4u, 4u}, {0u, 0u}, {2u, 2u}}) {
        RecordedCPU cpu = intel();
        cpu.leaf(0x80000006).ecx = 0x01000040 | raw << 12;
        EXPECT_EQ(identify(cpu).cpuid_cache_L2_associativity, ways) << "raw " << raw;
    }
}

} // namespace
} // namespace vennix
