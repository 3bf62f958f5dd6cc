#pragma once
// The CPU information record, i386_cpu_info_t: 464 bytes that selector 0 copies to the client
// as they stand. It is a wire format, so every field sits at a fixed offset, checked below at
// compile time. Pointer fields are the service's addresses; a client never follows them.

#include <cstddef>
#include <cstdint>

namespace vennix {

struct cpuid_mwait_leaf_t {
    uint32_t linesize_min;
    uint32_t linesize_max;
    uint32_t extensions;
    uint32_t sub_Cstates;
};

struct cpuid_thermal_leaf_t {
    uint32_t sensor;
    uint32_t dynamic_acceleration;
    uint32_t invariant_APIC_timer;
    uint32_t core_power_limits;
    uint32_t fine_grain_clock_mod;
    uint32_t package_thermal_intr;
    uint32_t thresholds;
    uint32_t ACNT_MCNT;
    uint32_t hardware_feedback;
    uint32_t energy_policy;
};

struct cpuid_arch_perf_leaf_t {
    uint8_t version;
    uint8_t number;
    uint8_t width;
    uint8_t events_number;
    uint32_t events;
    uint8_t fixed_number;
    uint8_t fixed_width;
};

struct cpuid_xsave_leaf_t {
    uint32_t extended_state[4];
};

struct i386_cpu_info_t {
    char cpuid_vendor[16];
    char cpuid_brand_string[48];
    const char* cpuid_model_string;
    int32_t cpuid_type;
    uint8_t cpuid_family;
    uint8_t cpuid_model;
    uint8_t cpuid_extmodel;
    uint8_t cpuid_extfamily;
    uint8_t cpuid_stepping;
    uint64_t cpuid_features;
    uint64_t cpuid_extfeatures;
    uint32_t cpuid_signature;
    uint8_t cpuid_brand;
    uint8_t cpuid_processor_flag;
    uint32_t cache_size[5];
    uint32_t cache_linesize;
    uint8_t cache_info[64];
    uint32_t cpuid_cores_per_package;
    uint32_t cpuid_logical_per_package;
    uint32_t cache_sharing[5];
    uint32_t cache_partitions[5];
    int32_t cpuid_cpu_type;
    int32_t cpuid_cpu_subtype;
    cpuid_mwait_leaf_t cpuid_mwait_leaf;
    cpuid_thermal_leaf_t cpuid_thermal_leaf;
    cpuid_arch_perf_leaf_t cpuid_arch_perf_leaf;
    cpuid_xsave_leaf_t cpuid_xsave_leaf;
    uint32_t cpuid_cache_linesize;
    uint32_t cpuid_cache_L2_associativity;
    uint32_t cpuid_cache_size;
    uint32_t cpuid_address_bits_physical;
    uint32_t cpuid_address_bits_virtual;
    uint32_t cpuid_microcode_version;
    uint32_t cpuid_tlb[2][2][2];
    uint32_t cpuid_stlb;
    uint32_t core_count;
    uint32_t thread_count;
    uint32_t cpuid_max_basic;
    uint32_t cpuid_max_ext;
    uint32_t cpuid_cpufamily;
    cpuid_mwait_leaf_t* cpuid_mwait_leafp;
    cpuid_thermal_leaf_t* cpuid_thermal_leafp;
    cpuid_arch_perf_leaf_t* cpuid_arch_perf_leafp;
    cpuid_xsave_leaf_t* cpuid_xsave_leafp;
    uint32_t cpuid_leaf7_features;
};

static_assert(sizeof(void*) == 8, "the record's pointer fields are 8 bytes wide");
static_assert(sizeof(cpuid_arch_perf_leaf_t) == 12);
static_assert(sizeof(i386_cpu_info_t) == 464);
static_assert(offsetof(i386_cpu_info_t, cpuid_vendor) == 0);
static_assert(offsetof(i386_cpu_info_t, cpuid_brand_string) == 16);
static_assert(offsetof(i386_cpu_info_t, cpuid_model_string) == 64);
static_assert(offsetof(i386_cpu_info_t, cpuid_type) == 72);
static_assert(offsetof(i386_cpu_info_t, cpuid_family) == 76);
static_assert(offsetof(i386_cpu_info_t, cpuid_model) == 77);
static_assert(offsetof(i386_cpu_info_t, cpuid_extmodel) == 78);
static_assert(offsetof(i386_cpu_info_t, cpuid_extfamily) == 79);
static_assert(offsetof(i386_cpu_info_t, cpuid_stepping) == 80);
static_assert(offsetof(i386_cpu_info_t, cpuid_features) == 88);
static_assert(offsetof(i386_cpu_info_t, cpuid_extfeatures) == 96);
static_assert(offsetof(i386_cpu_info_t, cpuid_signature) == 104);
static_assert(offsetof(i386_cpu_info_t, cpuid_brand) == 108);
static_assert(offsetof(i386_cpu_info_t, cpuid_processor_flag) == 109);
static_assert(offsetof(i386_cpu_info_t, cache_size) == 112);
static_assert(offsetof(i386_cpu_info_t, cache_linesize) == 132);
static_assert(offsetof(i386_cpu_info_t, cache_info) == 136);
static_assert(offsetof(i386_cpu_info_t, cpuid_cores_per_package) == 200);
static_assert(offsetof(i386_cpu_info_t, cpuid_logical_per_package) == 204);
static_assert(offsetof(i386_cpu_info_t, cache_sharing) == 208);
static_assert(offsetof(i386_cpu_info_t, cache_partitions) == 228);
static_assert(offsetof(i386_cpu_info_t, cpuid_cpu_type) == 248);
static_assert(offsetof(i386_cpu_info_t, cpuid_cpu_subtype) == 252);
static_assert(offsetof(i386_cpu_info_t, cpuid_mwait_leaf) == 256);
static_assert(offsetof(i386_cpu_info_t, cpuid_thermal_leaf) == 272);
static_assert(offsetof(i386_cpu_info_t, cpuid_arch_perf_leaf) == 312);
static_assert(offsetof(i386_cpu_info_t, cpuid_arch_perf_leaf) + offsetof(cpuid_arch_perf_leaf_t, events) == 316);
static_assert(offsetof(i386_cpu_info_t, cpuid_arch_perf_leaf) + offsetof(cpuid_arch_perf_leaf_t, fixed_number) == 320);
static_assert(offsetof(i386_cpu_info_t, cpuid_xsave_leaf) == 324);
static_assert(offsetof(i386_cpu_info_t, cpuid_cache_linesize) == 340);
static_assert(offsetof(i386_cpu_info_t, cpuid_cache_L2_associativity) == 344);
static_assert(offsetof(i386_cpu_info_t, cpuid_cache_size) == 348);
static_assert(offsetof(i386_cpu_info_t, cpuid_address_bits_physical) == 352);
static_assert(offsetof(i386_cpu_info_t, cpuid_address_bits_virtual) == 356);
static_assert(offsetof(i386_cpu_info_t, cpuid_microcode_version) == 360);
static_assert(offsetof(i386_cpu_info_t, cpuid_tlb) == 364);
static_assert(offsetof(i386_cpu_info_t, cpuid_stlb) == 396);
static_assert(offsetof(i386_cpu_info_t, core_count) == 400);
static_assert(offsetof(i386_cpu_info_t, thread_count) == 404);
static_assert(offsetof(i386_cpu_info_t, cpuid_max_basic) == 408);
static_assert(offsetof(i386_cpu_info_t, cpuid_max_ext) == 412);
static_assert(offsetof(i386_cpu_info_t, cpuid_cpufamily) == 416);
static_assert(offsetof(i386_cpu_info_t, cpuid_mwait_leafp) == 424);
static_assert(offsetof(i386_cpu_info_t, cpuid_thermal_leafp) == 432);
static_assert(offsetof(i386_cpu_info_t, cpuid_arch_perf_leafp) == 440);
static_assert(offsetof(i386_cpu_info_t, cpuid_xsave_leafp) == 448);
static_assert(offsetof(i386_cpu_info_t, cpuid_leaf7_features) == 456);

} // namespace vennix
