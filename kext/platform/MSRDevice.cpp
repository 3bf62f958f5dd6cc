#include "kext/platform/MSRDevice.h"
#include "kext/platform/SmallFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <system_error>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vennix {

namespace {

constexpr const char* kOnlinePath = "/sys/devices/system/cpu/online";
// Longer than any online list Linux writes for kMaxCPUId CPUs in the worst layout we accept.
constexpr size_t kMaxListLength = 65536;

std::string errorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// A number as the kernel writes the revision: "0xf0", possibly followed by a line feed.
bool parseHex(std::string_view text, uint32_t& value)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 8)
        return false;
    uint32_t parsed = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        parsed = parsed << 4 | digit;
    }
    value = parsed;
    return true;
}

// The value of "key<blanks>: value" when line is such a line for key.
bool fieldOf(std::string_view line, std::string_view key, std::string_view& value)
{
    if (line.rfind(key, 0) != 0)
        return false;
    line.remove_prefix(key.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    if (line.empty() || line.front() != ':')
        return false;
    value = line.substr(1);
    return true;
}

std::vector<int> affinityCPUs()
{
    std::vector<int> cpus;
    const size_t count = static_cast<size_t>(MSRDevice::kMaxCPUId) + 1;
    cpu_set_t* set = CPU_ALLOC(count);
    if (!set)
        return cpus;
    const size_t size = CPU_ALLOC_SIZE(count);
    CPU_ZERO_S(size, set);
    if (sched_getaffinity(0, size, set) == 0) {
        for (size_t i = 0; i < count; ++i) {
            if (CPU_ISSET_S(i, size, set))
                cpus.push_back(static_cast<int>(i));
        }
    }
    CPU_FREE(set);
    return cpus;
}

// One decimal CPU id at text[pos]; advances pos. False when there is none or it is too big.
bool parseId(std::string_view text, size_t& pos, int& id)
{
    const size_t start = pos;
    long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos] - '0');
        if (value > MSRDevice::kMaxCPUId)
            return false;
        ++pos;
    }
    if (pos == start)
        return false;
    id = static_cast<int>(value);
    return true;
}

} // namespace

std::vector<int> MSRDevice::parseCPUList(std::string_view text)
{
    // Trailing white space (the file ends with a line feed) is not part of the list.
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);

    std::vector<int> cpus;
    size_t pos = 0;
    while (pos < text.size()) {
        int first = 0;
        if (!parseId(text, pos, first))
            return {};
        int last = first;
        if (pos < text.size() && text[pos] == '-') {
            ++pos;
            if (!parseId(text, pos, last) || last < first)
                return {};
        }
        for (int id = first; id <= last; ++id)
            cpus.push_back(id);
        if (pos < text.size()) {
            if (text[pos] != ',' || pos + 1 == text.size())
                return {};
            ++pos;
        }
    }
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    return cpus;
}

uint32_t MSRDevice::microcodeOf(int linuxCPU, const std::string& cpuDirectory, const std::string& cpuinfo)
{
    std::string text;
    uint32_t revision = 0;
    const std::string version = cpuDirectory + "/cpu" + std::to_string(linuxCPU) + "/microcode/version";
    if (readSmallFile(version, 64, text) && parseHex(text, revision))
        return revision;

    // One block per processor, "processor : N" first; a few MiB even on the largest machines.
    if (!readSmallFile(cpuinfo, 64 << 20, text))
        return 0;
    bool inBlock = false;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        std::string_view value;
        if (fieldOf(line, "processor", value)) {
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            inBlock = value == std::to_string(linuxCPU);
        } else if (inBlock && fieldOf(line, "microcode", value)) {
            return parseHex(value, revision) ? revision : 0;
        }
    }
    return 0;
}

std::vector<int> MSRDevice::onlineCPUs()
{
    std::string text;
    if (readSmallFile(kOnlinePath, kMaxListLength, text)) {
        std::vector<int> cpus = parseCPUList(text);
        if (!cpus.empty())
            return cpus;
    }
    return affinityCPUs();
}

std::unique_ptr<MSRDevice> MSRDevice::open(const std::string& directory, std::string* error,
                                           const std::vector<int>& cpus)
{
    std::vector<int> linuxCPUs = cpus.empty() ? onlineCPUs() : cpus;
    if (linuxCPUs.empty()) {
        if (error)
            *error = "no online CPUs found";
        return nullptr;
    }
    for (int id : linuxCPUs) {
        if (id < 0 || id > kMaxCPUId) {
            if (error)
                *error = "CPU number " + std::to_string(id) + " out of range";
            return nullptr;
        }
    }

    std::vector<int> descriptors;
    descriptors.reserve(linuxCPUs.size());
    for (int id : linuxCPUs) {
        const std::string path = directory + "/" + std::to_string(id) + "/msr";
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            const int failure = errno;
            for (int opened : descriptors)
                ::close(opened);
            if (error) {
                *error = "cannot open " + path + ": " + errorText(failure)
                    + "; run as root with the msr module loaded (modprobe msr), or use --simulate";
            }
            return nullptr;
        }
        descriptors.push_back(fd);
    }

    std::unique_ptr<MSRDevice> device(
        new MSRDevice(directory, std::move(linuxCPUs), std::move(descriptors)));
    if (device->fRendezvous->cpuCount() != device->fLinuxCPUs.size()) {
        if (error)
            *error = "cannot start the rendezvous threads";
        return nullptr;
    }
    return device;
}

MSRDevice::MSRDevice(std::string directory, std::vector<int> linuxCPUs, std::vector<int> descriptors)
    : fDirectory(std::move(directory))
    , fLinuxCPUs(std::move(linuxCPUs))
    , fDescriptors(std::move(descriptors))
{
    const int highest = *std::max_element(fLinuxCPUs.begin(), fLinuxCPUs.end());
    fCPUOfLinuxCPU.assign(static_cast<size_t>(highest) + 1, -1);
    for (size_t i = 0; i < fLinuxCPUs.size(); ++i) {
        int& slot = fCPUOfLinuxCPU[static_cast<size_t>(fLinuxCPUs[i])];
        if (slot < 0)
            slot = static_cast<int>(i);
    }
    fRendezvous = std::make_unique<Rendezvous>(fLinuxCPUs, true);
}

MSRDevice::~MSRDevice()
{
    // The threads go first: none may be inside an access when its file closes.
    fRendezvous.reset();
    for (int fd : fDescriptors)
        ::close(fd);
}

const char* MSRDevice::description() const
{
    return fDirectory.c_str();
}

bool MSRDevice::isSimulated() const
{
    return false;
}

unsigned MSRDevice::cpuCount() const
{
    return static_cast<unsigned>(fLinuxCPUs.size());
}

unsigned MSRDevice::currentCPU() const
{
    if (Rendezvous::current() == fRendezvous.get())
        return static_cast<unsigned>(Rendezvous::currentCPU());
    // A thread outside the rendezvous stands for the CPU it runs on; one that runs on a CPU
    // the device was not opened on stands for CPU 0.
    const int id = sched_getcpu();
    if (id >= 0 && static_cast<size_t>(id) < fCPUOfLinuxCPU.size()) {
        const int cpu = fCPUOfLinuxCPU[static_cast<size_t>(id)];
        if (cpu >= 0)
            return static_cast<unsigned>(cpu);
    }
    return 0;
}

void MSRDevice::cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4])
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    regs[0] = a;
    regs[1] = b;
    regs[2] = c;
    regs[3] = d;
#else
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
#endif
}

uint64_t MSRDevice::rdmsr(uint32_t msr)
{
    const int fd = fDescriptors[currentCPU()];
    uint64_t value = 0;
    ssize_t n;
    do {
        n = ::pread(fd, &value, sizeof value, static_cast<off_t>(msr));
    } while (n < 0 && errno == EINTR);
    // Refused (EIO), short or failed: the register reads as 0.
    return n == static_cast<ssize_t>(sizeof value) ? value : 0;
}

void MSRDevice::wrmsr(uint32_t msr, uint64_t value)
{
    const int fd = fDescriptors[currentCPU()];
    ssize_t n;
    do {
        n = ::pwrite(fd, &value, sizeof value, static_cast<off_t>(msr));
    } while (n < 0 && errno == EINTR);
    // A refused write is dropped; there is nobody to tell from inside a rendezvous.
    (void)n;
}

uint32_t MSRDevice::microcodeRevision()
{
    return microcodeOf(linuxCPU(currentCPU()));
}

void MSRDevice::rendezvous(Action action, void* argument)
{
    fRendezvous->run(action, argument);
}

int MSRDevice::linuxCPU(unsigned cpu) const
{
    return cpu < fLinuxCPUs.size() ? fLinuxCPUs[cpu] : -1;
}

bool MSRDevice::isPinned(unsigned cpu) const
{
    return fRendezvous->isPinned(cpu);
}

} // namespace vennix
