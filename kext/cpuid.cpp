#include "kext/cpuid.h"

#include <sched.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kext/platform/IOLog.h"
#include "kext/platform/IOPlatformDevice.h"
#include "kext/platform/OSData.h"

namespace vennix {

uint32_t cpuid_dbg = 0;
i386_cpu_info_t cpuid_cpu_info{};

namespace {

constexpr const char* kLogName = "Vennix";
constexpr const char kEmptyModelString[] = "";

enum { eax, ebx, ecx, edx };

// Register fields of CPUID's 32-bit registers and of MSRs alike.
inline uint32_t bits(uint64_t value, unsigned high, unsigned low)
{
    return static_cast<uint32_t>(msr::bits(value, high, low));
}

#define DBG(...)                                                                                   \
    do {                                                                                           \
        if (cpuid_dbg)                                                                             \
            IOLog(__VA_ARGS__);                                                                    \
    } while (0)

// Keeps the calling thread on the CPU it runs on now, so that every CPUID and MSR access of one
// identification concerns the same processor; the thread's former affinity comes back after.
class StayOnThisCPU {
public:
    StayOnThisCPU()
    {
        const int cpu = sched_getcpu();
        if (cpu < 0 || sched_getaffinity(0, sizeof fSaved, &fSaved) != 0)
            return;
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(cpu, &only);
        fPinned = sched_setaffinity(0, sizeof only, &only) == 0;
    }
    ~StayOnThisCPU()
    {
        if (fPinned)
            sched_setaffinity(0, sizeof fSaved, &fSaved);
    }
    StayOnThisCPU(const StayOnThisCPU&) = delete;
    StayOnThisCPU& operator=(const StayOnThisCPU&) = delete;

private:
    cpu_set_t fSaved{};
    bool fPinned = false;
};

uint32_t mapL2Associativity(uint32_t raw)
{
    switch (raw) {
    case 6:
        return 8;
    case 8:
        return 16;
    case 15:
        return 0xFFFF;
    default:
        return raw;
    }
}

void setBrandString(CPUHardware& hw, i386_cpu_info_t* info)
{
    uint32_t regs[4];
    char raw[48];
    for (uint32_t i = 0; i < 3; ++i) {
        cpuid_fn(hw, 0x80000002 + i, regs);
        std::memcpy(raw + 16 * i, regs, 16);
    }
    // The processor need not terminate the text within its 48 bytes, nor start it at byte 0.
    size_t start = 0;
    while (start < sizeof raw && raw[start] == ' ')
        ++start;
    size_t length = 0;
    while (start + length < sizeof raw && raw[start + length] != '\0')
        ++length;
    if (length > sizeof info->cpuid_brand_string - 1)
        length = sizeof info->cpuid_brand_string - 1;
    std::memcpy(info->cpuid_brand_string, raw + start, length);
    info->cpuid_brand_string[length] = '\0';
    if (std::strcmp(info->cpuid_brand_string, "Unknown CPU Type") == 0)
        info->cpuid_brand_string[0] = '\0';
}

// Where the processor describes its topology, and what it says there.
struct Topology {
    uint32_t leaf = 0;           // 0x1F, 0xB or 0x8000001E; 0: no topology leaf
    unsigned smtShift = 0;       // APIC id bits that number the threads of a core
    unsigned packageShift = 0;   // APIC id bits that number the CPUs of a package
    uint32_t threadsPerCore = 1; // as shipped
    uint32_t logicalPerPackage = 0;
};

unsigned bitsFor(uint32_t count)
{
    unsigned shift = 0;
    while (shift < 32 && (uint64_t{1} << shift) < count)
        ++shift;
    return shift;
}

// Leaf 0x1F or 0xB: one subleaf per level (SMT, core, module, die ...), ended by type 0.
bool readExtendedTopology(CPUHardware& hw, uint32_t leaf, Topology& topology)
{
    uint32_t regs[4];
    hw.cpuid(leaf, 0, regs);
    if (bits(regs[ebx], 15, 0) == 0 || bits(regs[ecx], 15, 8) == 0)
        return false;
    topology = Topology{};
    topology.leaf = leaf;
    for (uint32_t level = 0; level < 8; ++level) {
        if (level > 0)
            hw.cpuid(leaf, level, regs);
        const uint32_t type = bits(regs[ecx], 15, 8);
        if (type == 0 || bits(regs[ebx], 15, 0) == 0)
            break;
        if (type == 1) { // SMT
            topology.smtShift = bits(regs[eax], 4, 0);
            topology.threadsPerCore = bits(regs[ebx], 15, 0);
        }
        topology.packageShift = bits(regs[eax], 4, 0);
        topology.logicalPerPackage = bits(regs[ebx], 15, 0);
    }
    return topology.logicalPerPackage > 0;
}

// AMD's leaf 0x8000001E (with TOPOEXT) and the package size of leaf 0x80000008.
bool readAMDTopology(CPUHardware& hw, const i386_cpu_info_t* info, Topology& topology)
{
    constexpr uint64_t kTopologyExtensions = uint64_t{1} << (32 + 22); // leaf 0x80000001 ECX 22
    if (info->cpuid_max_ext < 0x8000001E || (info->cpuid_extfeatures & kTopologyExtensions) == 0)
        return false;
    uint32_t regs[4];
    hw.cpuid(0x8000001E, 0, regs);
    topology = Topology{};
    topology.leaf = 0x8000001E;
    topology.threadsPerCore = bits(regs[ebx], 15, 8) + 1;
    topology.smtShift = bitsFor(topology.threadsPerCore);
    hw.cpuid(0x80000008, 0, regs);
    topology.logicalPerPackage = bits(regs[ecx], 7, 0) + 1;
    const uint32_t idSize = bits(regs[ecx], 15, 12);
    topology.packageShift = idSize != 0 ? idSize : bitsFor(topology.logicalPerPackage);
    return true;
}

// The APIC id of every CPU, each read on its own CPU in one rendezvous.
struct APICIds {
    CPUHardware* hw;
    uint32_t leaf;
    std::vector<uint32_t>* ids;
};

void readAPICId(void* argument)
{
    const auto* context = static_cast<const APICIds*>(argument);
    const unsigned cpu = context->hw->currentCPU();
    if (cpu >= context->ids->size())
        return;
    uint32_t regs[4];
    context->hw->cpuid(context->leaf, 0, regs);
    // x2APIC id in EDX of leaves 0x1F and 0xB; the extended APIC id in EAX of 0x8000001E.
    (*context->ids)[cpu] = context->leaf == 0x8000001E ? regs[eax] : regs[edx];
}

// Cores and threads of the package of CPU 0, as the topology leaves describe the CPUs that
// are online. Each CPU's APIC id, split at the leaves' shifts, says its core and package, so
// threads switched off (nosmt, offline CPUs) and hybrid parts count right. Without a topology
// leaf, or where the ids are not told apart (a guest that hides its topology, a rendezvous
// thread that could not be bound to its CPU), the leaves do not describe the CPUs that run:
// every online CPU then counts, as one package, never more threads than are online.
void countFromTopology(CPUHardware& hw, i386_cpu_info_t* info)
{
    const uint32_t online = hw.cpuCount() > 0 ? hw.cpuCount() : 1;
    Topology topology;
    const bool known = (info->cpuid_max_basic >= 0x1F && readExtendedTopology(hw, 0x1F, topology))
        || (info->cpuid_max_basic >= 0xB && readExtendedTopology(hw, 0xB, topology))
        || readAMDTopology(hw, info, topology);

    std::vector<uint32_t> ids(online, 0);
    bool distinct = false;
    if (known) {
        APICIds context{&hw, topology.leaf, &ids};
        hw.rendezvous(readAPICId, &context);
        std::vector<uint32_t> sorted = ids;
        std::sort(sorted.begin(), sorted.end());
        distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
    }
    if (!distinct) {
        const uint32_t perCore = known ? std::max<uint32_t>(1, topology.threadsPerCore) : 1;
        info->thread_count = online;
        info->core_count = (online + perCore - 1) / perCore;
        return;
    }

    auto above = [](uint32_t id, unsigned shift) { return shift >= 32 ? 0 : id >> shift; };
    const uint32_t package = above(ids[0], topology.packageShift);
    std::vector<uint32_t> cores;
    uint32_t threads = 0;
    for (uint32_t id : ids) {
        if (above(id, topology.packageShift) != package)
            continue;
        ++threads;
        cores.push_back(above(id, topology.smtShift));
    }
    std::sort(cores.begin(), cores.end());
    info->thread_count = threads;
    info->core_count = static_cast<uint32_t>(std::unique(cores.begin(), cores.end()) - cores.begin());
}

} // namespace

void do_cpuid(CPUHardware& hw, uint32_t leaf, uint32_t regs[4])
{
    hw.cpuid(leaf, 0, regs);
}

void cpuid_fn(CPUHardware& hw, uint32_t leaf, uint32_t regs[4])
{
    do_cpuid(hw, leaf, regs);
    DBG("cpuid_fn(0x%08x) eax:0x%08x ebx:0x%08x ecx:0x%08x edx:0x%08x\n", leaf, regs[eax], regs[ebx],
        regs[ecx], regs[edx]);
}

void cpuid_set_generic_info(CPUHardware& hw, i386_cpu_info_t* info)
{
    uint32_t regs[4];
    DBG("cpuid_set_generic_info(%p)\n", static_cast<void*>(info));

    cpuid_fn(hw, 0, regs);
    info->cpuid_max_basic = regs[eax];
    std::memcpy(info->cpuid_vendor + 0, &regs[ebx], 4);
    std::memcpy(info->cpuid_vendor + 4, &regs[edx], 4);
    std::memcpy(info->cpuid_vendor + 8, &regs[ecx], 4);
    std::memset(info->cpuid_vendor + 12, 0, 4);

    cpuid_fn(hw, 0x80000000, regs);
    info->cpuid_max_ext = regs[eax];

    if (info->cpuid_max_ext >= 0x80000004)
        setBrandString(hw, info);

    if (info->cpuid_max_ext >= 0x80000006) {
        cpuid_fn(hw, 0x80000006, regs);
        info->cpuid_cache_linesize = bits(regs[ecx], 7, 0);
        info->cpuid_cache_L2_associativity = mapL2Associativity(bits(regs[ecx], 15, 12));
        info->cpuid_cache_size = bits(regs[ecx], 31, 16);
        cpuid_fn(hw, 0x80000008, regs);
        info->cpuid_address_bits_physical = bits(regs[eax], 7, 0);
        info->cpuid_address_bits_virtual = bits(regs[eax], 15, 8);
    }

    // The processor shows its microcode revision in MSR 0x8B only after a clear and a leaf 1.
    // Linux taints the kernel on that write (and refuses it where writes are locked down), and
    // it already knows the revision, so identification takes it from there and writes nothing.
    cpuid_fn(hw, 1, regs);
    info->cpuid_microcode_version = hw.microcodeRevision();

    info->cpuid_signature = regs[eax];
    info->cpuid_stepping = static_cast<uint8_t>(bits(regs[eax], 3, 0));
    info->cpuid_model = static_cast<uint8_t>(bits(regs[eax], 7, 4));
    info->cpuid_family = static_cast<uint8_t>(bits(regs[eax], 11, 8));
    info->cpuid_type = static_cast<int32_t>(bits(regs[eax], 13, 12));
    info->cpuid_extmodel = static_cast<uint8_t>(bits(regs[eax], 19, 16));
    info->cpuid_extfamily = static_cast<uint8_t>(bits(regs[eax], 27, 20));
    info->cpuid_brand = static_cast<uint8_t>(bits(regs[ebx], 7, 0));
    info->cpuid_features = uint64_t{regs[ecx]} << 32 | regs[edx];
    info->cpuid_processor_flag = static_cast<uint8_t>(bits(hw.rdmsr(MSR_IA32_PLATFORM_ID), 52, 50));

    if (info->cpuid_family == 0x0F)
        info->cpuid_family = static_cast<uint8_t>(info->cpuid_family + info->cpuid_extfamily);
    if (info->cpuid_family == 0x0F || info->cpuid_family == 0x06)
        info->cpuid_model = static_cast<uint8_t>(info->cpuid_model + (info->cpuid_extmodel << 4));

    // Bit 28 of the features (EDX bit 28, HTT) says whether EBX carries the logical count.
    if (info->cpuid_features & (uint64_t{1} << 28))
        info->cpuid_logical_per_package = bits(regs[ebx], 23, 16);
    else
        info->cpuid_logical_per_package = 1;

    if (info->cpuid_max_ext >= 0x80000001) {
        cpuid_fn(hw, 0x80000001, regs);
        info->cpuid_extfeatures = uint64_t{regs[ecx]} << 32 | regs[edx];
    }

    DBG(" max_basic           : %d\n", info->cpuid_max_basic);
    DBG(" max_ext             : 0x%08x\n", info->cpuid_max_ext);
    DBG(" vendor              : %s\n", info->cpuid_vendor);
    DBG(" brand_string        : %s\n", info->cpuid_brand_string);
    DBG(" signature           : 0x%08x\n", info->cpuid_signature);
    DBG(" stepping            : %d\n", info->cpuid_stepping);
    DBG(" model               : %d\n", info->cpuid_model);
    DBG(" family              : %d\n", info->cpuid_family);
    DBG(" type                : %d\n", info->cpuid_type);
    DBG(" extmodel            : %d\n", info->cpuid_extmodel);
    DBG(" extfamily           : %d\n", info->cpuid_extfamily);
    DBG(" brand               : %d\n", info->cpuid_brand);
    DBG(" features            : 0x%016llx\n", static_cast<unsigned long long>(info->cpuid_features));
    DBG(" extfeatures         : 0x%016llx\n", static_cast<unsigned long long>(info->cpuid_extfeatures));
    DBG(" logical_per_package : %d\n", info->cpuid_logical_per_package);
    DBG(" microcode_version   : 0x%08x\n", info->cpuid_microcode_version);

    if (info->cpuid_max_ext >= 0x80000007) {
        cpuid_fn(hw, 0x80000007, regs);
        info->cpuid_extfeatures |= regs[edx] & 0x100u;
        DBG(" extfeatures         : 0x%016llx\n",
            static_cast<unsigned long long>(info->cpuid_extfeatures));
    }

    if (info->cpuid_max_basic >= 0x5) {
        cpuid_mwait_leaf_t* leaf = &info->cpuid_mwait_leaf;
        cpuid_fn(hw, 5, regs);
        leaf->linesize_min = regs[eax];
        leaf->linesize_max = regs[ebx];
        leaf->extensions = regs[ecx];
        leaf->sub_Cstates = regs[edx];
        info->cpuid_mwait_leafp = leaf;
        DBG(" Monitor/Mwait Leaf:\n");
        DBG("  linesize_min : %d\n", leaf->linesize_min);
        DBG("  linesize_max : %d\n", leaf->linesize_max);
        DBG("  extensions   : %d\n", leaf->extensions);
        DBG("  sub_Cstates  : 0x%08x\n", leaf->sub_Cstates);
    }

    if (info->cpuid_max_basic >= 0x6) {
        cpuid_thermal_leaf_t* leaf = &info->cpuid_thermal_leaf;
        cpuid_fn(hw, 6, regs);
        leaf->sensor = bits(regs[eax], 0, 0);
        leaf->dynamic_acceleration = bits(regs[eax], 1, 1);
        leaf->invariant_APIC_timer = bits(regs[eax], 2, 2);
        leaf->core_power_limits = bits(regs[eax], 4, 4);
        leaf->fine_grain_clock_mod = bits(regs[eax], 5, 5);
        leaf->package_thermal_intr = bits(regs[eax], 6, 6);
        leaf->thresholds = bits(regs[ebx], 3, 0);
        leaf->ACNT_MCNT = bits(regs[ecx], 0, 0);
        leaf->hardware_feedback = bits(regs[ecx], 1, 1);
        leaf->energy_policy = bits(regs[ecx], 3, 3);
        info->cpuid_thermal_leafp = leaf;
        DBG(" Thermal/Power Leaf:\n");
        DBG("  sensor               : %d\n", leaf->sensor);
        DBG("  dynamic_acceleration : %d\n", leaf->dynamic_acceleration);
        DBG("  invariant_APIC_timer : %d\n", leaf->invariant_APIC_timer);
        DBG("  core_power_limits    : %d\n", leaf->core_power_limits);
        DBG("  fine_grain_clock_mod : %d\n", leaf->fine_grain_clock_mod);
        DBG("  package_thermal_intr : %d\n", leaf->package_thermal_intr);
        DBG("  thresholds           : %d\n", leaf->thresholds);
        DBG("  ACNT_MCNT            : %d\n", leaf->ACNT_MCNT);
        DBG("  ACNT2                : %d\n", leaf->hardware_feedback);
        DBG("  energy_policy        : %d\n", leaf->energy_policy);
    }

    if (info->cpuid_max_basic >= 0xA) {
        cpuid_arch_perf_leaf_t* leaf = &info->cpuid_arch_perf_leaf;
        cpuid_fn(hw, 0xA, regs);
        leaf->version = static_cast<uint8_t>(bits(regs[eax], 7, 0));
        leaf->number = static_cast<uint8_t>(bits(regs[eax], 15, 8));
        leaf->width = static_cast<uint8_t>(bits(regs[eax], 23, 16));
        leaf->events_number = static_cast<uint8_t>(bits(regs[eax], 31, 24));
        leaf->events = regs[ebx];
        leaf->fixed_number = static_cast<uint8_t>(bits(regs[edx], 4, 0));
        leaf->fixed_width = static_cast<uint8_t>(bits(regs[edx], 12, 5));
        info->cpuid_arch_perf_leafp = leaf;
        DBG(" Architectural Performance Monitoring Leaf:\n");
        DBG("  version       : %d\n", leaf->version);
        DBG("  number        : %d\n", leaf->number);
        DBG("  width         : %d\n", leaf->width);
        DBG("  events_number : %d\n", leaf->events_number);
        DBG("  events        : %d\n", leaf->events);
        DBG("  fixed_number  : %d\n", leaf->fixed_number);
        DBG("  fixed_width   : %d\n", leaf->fixed_width);
    }

    if (info->cpuid_max_basic >= 0xD) {
        cpuid_xsave_leaf_t* leaf = &info->cpuid_xsave_leaf;
        cpuid_fn(hw, 0xD, regs);
        std::memcpy(leaf->extended_state, regs, sizeof leaf->extended_state);
        info->cpuid_xsave_leafp = leaf;
        DBG(" XSAVE Leaf:\n");
        DBG("  EAX           : 0x%x\n", leaf->extended_state[eax]);
        DBG("  EBX           : 0x%x\n", leaf->extended_state[ebx]);
        DBG("  ECX           : 0x%x\n", leaf->extended_state[ecx]);
        DBG("  EDX           : 0x%x\n", leaf->extended_state[edx]);
    }

    // Gated on the model (Ivy Bridge and later), not on the highest basic leaf.
    if (info->cpuid_model >= 0x3A) {
        cpuid_fn(hw, 7, regs);
        info->cpuid_leaf7_features = regs[ebx];
        DBG(" Feature Leaf7:\n");
        DBG("  EBX           : 0x%x\n", info->cpuid_leaf7_features);
    }
}

uint32_t cpuid_set_cpufamily(i386_cpu_info_t* info)
{
    uint32_t family = CPUFAMILY_UNKNOWN;
    if (info->cpuid_family == 6) {
        switch (info->cpuid_model) {
        case 0x0D:
        case 0x1C:
            family = CPUFAMILY_INTEL_6_13;
            break;
        case 0x17:
            family = CPUFAMILY_INTEL_PENRYN;
            break;
        case 0x1A:
        case 0x1E:
        case 0x1F:
        case 0x2E:
            family = CPUFAMILY_INTEL_NEHALEM;
            break;
        case 0x25:
        case 0x2C:
        case 0x2F:
            family = CPUFAMILY_INTEL_WESTMERE;
            break;
        case 0x2A:
        case 0x2D:
            family = CPUFAMILY_INTEL_SANDYBRIDGE;
            break;
        case 0x3A:
        case 0x3E:
            family = CPUFAMILY_INTEL_IVYBRIDGE;
            break;
        case 0x3C:
        case 0x3F:
        case 0x45:
        case 0x46:
            family = CPUFAMILY_INTEL_HASWELL;
            break;
        case 0x3D:
        case 0x4F:
            family = CPUFAMILY_INTEL_BROADWELL;
            break;
        case 0x5E:
            family = CPUFAMILY_INTEL_SKYLAKE;
            break;
        case 0x9E:
            family = CPUFAMILY_INTEL_KABYLAKE;
            break;
        default:
            break;
        }
    }
    info->cpuid_cpufamily = family;
    DBG("cpuid_set_cpufamily(%p) returning 0x%x\n", static_cast<void*>(info), family);
    return family;
}

void cpuid_set_info(CPUHardware& hw, i386_cpu_info_t* info)
{
    StayOnThisCPU stay;

    cpuid_set_generic_info(hw, info);

    static const char kIntel[16] = "GenuineIntel";
    const bool intel = std::memcmp(info->cpuid_vendor, kIntel, sizeof kIntel) == 0;
    // Intel's family codes mean nothing for another vendor's family-6 models.
    info->cpuid_cpufamily = CPUFAMILY_UNKNOWN;
    const uint32_t family = intel ? cpuid_set_cpufamily(info) : CPUFAMILY_UNKNOWN;
    if (!intel || family == CPUFAMILY_UNKNOWN) {
        IOLog("%s/ Unsupported CPU: %s\n", kLogName, info->cpuid_vendor);
        IOLog("%s/ Unsupported Family: %d\n", kLogName, info->cpuid_family);
        IOLog("%s/ Unsupported Model: %d\n", kLogName, info->cpuid_model);
    }

    info->cpuid_cpu_type = CPU_TYPE_X86;
    info->cpuid_cpu_subtype = CPU_SUBTYPE_X86_ARCH1;

    info->core_count = 0;
    info->thread_count = 0;
    switch (info->cpuid_cpufamily) {
    case CPUFAMILY_INTEL_NEHALEM:
    case CPUFAMILY_INTEL_SANDYBRIDGE:
    case CPUFAMILY_INTEL_IVYBRIDGE:
    case CPUFAMILY_INTEL_HASWELL:
    case CPUFAMILY_INTEL_BROADWELL:
    case CPUFAMILY_INTEL_SKYLAKE:
    case CPUFAMILY_INTEL_KABYLAKE: {
        const uint64_t msr = hw.rdmsr(MSR_CORE_THREAD_COUNT);
        info->core_count = static_cast<uint32_t>(bits(msr, 31, 16));
        info->thread_count = static_cast<uint32_t>(bits(msr, 15, 0));
        break;
    }
    case CPUFAMILY_INTEL_WESTMERE: {
        const uint64_t msr = hw.rdmsr(MSR_CORE_THREAD_COUNT);
        info->core_count = static_cast<uint32_t>(bits(msr, 19, 16));
        info->thread_count = static_cast<uint32_t>(bits(msr, 15, 0));
        break;
    }
    default:
        break;
    }
    // Leaf 1 EBX 23:16 counts APIC ids the package may address, not CPUs (254 on some
    // guests), and the never-written cores-per-package field counts nothing: every processor
    // without MSR 0x35, or whose MSR 0x35 reads 0 (refused in a guest), is counted from its
    // topology leaves over the CPUs that are online.
    if (info->core_count == 0)
        countFromTopology(hw, info);
    DBG("cpuid_set_info():\n");
    DBG("  core_count   : %d\n", info->core_count);
    DBG("  thread_count : %d\n", info->thread_count);

    IOLog("%s/ CPU: %s\n", kLogName, info->cpuid_brand_string);
    IOLog("%s/ Family: %X\n", kLogName, info->cpuid_cpufamily);

    info->cpuid_model_string = kEmptyModelString;
}

void cpuid_set_info(IOPlatformDevice& platform, i386_cpu_info_t* info)
{
    OSObject* property = platform.copyProperty(kCPUInformationKey);
    const OSData* stored = OSDynamicCast<OSData>(property);
    if (stored == nullptr || stored->getLength() != sizeof *info) {
        OSSafeReleaseNULL(property);
        cpuid_set_info(*platform.getCPUHardware(), info);
        OSData* record = OSData::withBytes(info, sizeof *info);
        if (record != nullptr) {
            platform.setProperty(kCPUInformationKey, record);
            record->release();
        }
        return;
    }
    const i386_cpu_info_t* source = static_cast<const i386_cpu_info_t*>(stored->getBytesNoCopy());
    std::memcpy(info, source, sizeof *info);
    // The sub-record pointers point into the record they belong to.
    info->cpuid_mwait_leafp = source->cpuid_mwait_leafp ? &info->cpuid_mwait_leaf : nullptr;
    info->cpuid_thermal_leafp = source->cpuid_thermal_leafp ? &info->cpuid_thermal_leaf : nullptr;
    info->cpuid_arch_perf_leafp = source->cpuid_arch_perf_leafp ? &info->cpuid_arch_perf_leaf : nullptr;
    info->cpuid_xsave_leafp = source->cpuid_xsave_leafp ? &info->cpuid_xsave_leaf : nullptr;
    info->cpuid_model_string = kEmptyModelString;
    property->release();
}

void cpuid_set_info(CPUHardware& hw)
{
    cpuid_set_info(hw, &cpuid_cpu_info);
}

i386_cpu_info_t* cpuid_info()
{
    return &cpuid_cpu_info;
}

} // namespace vennix
