#pragma once
// Stand-ins for the msr driver's files: a temporary directory with <id>/msr per Linux CPU,
// sparse files in which the MSR number is the offset. A CPU's file may be a link to
// /proc/self/mem, which the kernel refuses with EIO at addresses below mmap_min_addr.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sched.h>

namespace vennix::testing {

class MSRFiles {
public:
    MSRFiles() { EXPECT_NE(mkdtemp(fDirectory.data()), nullptr) << "cannot create a temporary directory"; }
    ~MSRFiles() { std::filesystem::remove_all(fDirectory, fIgnored); }

    const std::string& directory() const { return fDirectory; }
    std::string path(int cpu) const { return fDirectory + "/" + std::to_string(cpu) + "/msr"; }

    // An empty file for each CPU, or a link to target.
    void create(const std::vector<int>& cpus, const std::string& target = "")
    {
        for (int cpu : cpus) {
            std::filesystem::create_directories(std::filesystem::path(path(cpu)).parent_path());
            std::filesystem::remove(path(cpu));
            target.empty() ? void(std::ofstream(path(cpu))) : std::filesystem::create_symlink(target, path(cpu));
        }
    }
    // Writes size bytes of value at offset msr of the CPU's file.
    void put(int cpu, uint32_t msr, uint64_t value, size_t size = 8)
    {
        std::fstream file(path(cpu), std::ios::in | std::ios::out | std::ios::binary);
        EXPECT_TRUE(file.seekp(msr).write(reinterpret_cast<const char*>(&value), std::streamsize(size))) << path(cpu);
    }
    // The 8 bytes at offset msr of the CPU's file; 0 where the file ends before them.
    uint64_t get(int cpu, uint32_t msr) const
    {
        uint64_t value = 0;
        std::ifstream file(path(cpu), std::ios::binary);
        return file.seekg(msr).read(reinterpret_cast<char*>(&value), 8) ? value : 0;
    }

private:
    std::string fDirectory = (std::filesystem::temp_directory_path() / "vennix-msr-XXXXXX").string();
    std::error_code fIgnored;
};

// Runs the calling thread on one Linux CPU until destroyed, then where it was allowed before.
class RunOnCPU {
public:
    explicit RunOnCPU(int cpu)
    {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        fPinned = sched_getaffinity(0, sizeof fSaved, &fSaved) == 0 && sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~RunOnCPU() { sched_setaffinity(0, sizeof fSaved, &fSaved); }
    bool pinned() const { return fPinned; }

private:
    cpu_set_t fSaved{};
    bool fPinned = false;
};

// The online CPUs this process may run on.
inline std::vector<int> usableCPUs(std::vector<int> online)
{
    cpu_set_t allowed{};
    sched_getaffinity(0, sizeof allowed, &allowed);
    std::erase_if(online, [&](int cpu) { return cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &allowed); });
    return online;
}

} // namespace vennix::testing
