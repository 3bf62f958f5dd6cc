#pragma once
// Stand-ins for the msr driver's files: a temporary directory with <id>/msr per Linux CPU,
// sparse files in which the MSR number is the offset. Helpers to put and read values, to
// replace a CPU's file by one the kernel refuses with EIO (/proc/self/mem at addresses below
// mmap_min_addr), and to run the test thread on a chosen CPU.

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace vennix::testing {

class MSRFiles {
public:
    MSRFiles()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vennix-msr-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            fDirectory = pattern;
        EXPECT_FALSE(fDirectory.empty()) << "cannot create a temporary directory";
    }
    ~MSRFiles()
    {
        std::error_code ignored;
        std::filesystem::remove_all(fDirectory, ignored);
    }
    MSRFiles(const MSRFiles&) = delete;
    MSRFiles& operator=(const MSRFiles&) = delete;

    const std::string& directory() const { return fDirectory; }
    std::string path(int cpu) const { return fDirectory + "/" + std::to_string(cpu) + "/msr"; }

    // An empty msr file for each CPU.
    void create(const std::vector<int>& cpus)
    {
        for (int cpu : cpus) {
            makeCPUDirectory(cpu);
            const int fd = ::open(path(cpu).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(fd, 0) << path(cpu);
            ::close(fd);
        }
    }

    // The CPU's file becomes a link to target.
    void link(int cpu, const std::string& target)
    {
        makeCPUDirectory(cpu);
        std::filesystem::remove(path(cpu));
        std::filesystem::create_symlink(target, path(cpu));
    }

    void makeCPUDirectory(int cpu)
    {
        std::filesystem::create_directories(fDirectory + "/" + std::to_string(cpu));
    }

    // Writes size bytes of value at offset msr of the CPU's file.
    void put(int cpu, uint32_t msr, uint64_t value, size_t size = sizeof(uint64_t))
    {
        const int fd = ::open(path(cpu).c_str(), O_WRONLY);
        ASSERT_GE(fd, 0) << path(cpu);
        EXPECT_EQ(::pwrite(fd, &value, size, static_cast<off_t>(msr)), static_cast<ssize_t>(size));
        ::close(fd);
    }

    // The 8 bytes at offset msr of the CPU's file; 0 where the file ends before them.
    uint64_t get(int cpu, uint32_t msr) const
    {
        uint64_t value = 0;
        const int fd = ::open(path(cpu).c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << path(cpu);
        if (fd >= 0) {
            if (::pread(fd, &value, sizeof value, static_cast<off_t>(msr)) != sizeof value)
                value = 0;
            ::close(fd);
        }
        return value;
    }

private:
    std::string fDirectory;
};

// Runs the calling thread on one Linux CPU until destroyed, then lets it go where it was
// allowed before.
class RunOnCPU {
public:
    explicit RunOnCPU(int cpu)
    {
        CPU_ZERO(&fSaved);
        sched_getaffinity(0, sizeof fSaved, &fSaved);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        fPinned = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~RunOnCPU() { sched_setaffinity(0, sizeof fSaved, &fSaved); }
    RunOnCPU(const RunOnCPU&) = delete;
    RunOnCPU& operator=(const RunOnCPU&) = delete;

    bool pinned() const { return fPinned; }

private:
    cpu_set_t fSaved;
    bool fPinned = false;
};

// The online CPUs this process may run on.
inline std::vector<int> usableCPUs(const std::vector<int>& online)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> usable;
    for (int cpu : online) {
        if (cpu < CPU_SETSIZE && CPU_ISSET(cpu, &allowed))
            usable.push_back(cpu);
    }
    return usable;
}

// Offsets of /proc/self/mem that are never mapped: below mmap_min_addr. At least 8 apart,
// so that in a plain file each has bytes of its own.
constexpr uint32_t kUnmappedMSRs[] = {0x10, 0xE8, 0x198, 0x1A0, 0xFF0};

} // namespace vennix::testing
