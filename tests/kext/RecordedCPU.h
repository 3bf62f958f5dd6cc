#pragma once
// A processor replayed from recorded CPUID leaves and MSR values, single CPU. It fails the
// running test when the code asks for a leaf or an MSR that was not recorded, and it keeps the
// order of every access so that tests can check sequences.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kext/platform/CPUHardware.h"

namespace vennix::test {

struct Regs {
    uint32_t eax, ebx, ecx, edx;
};

class RecordedCPU final : public CPUHardware {
public:
    std::map<uint32_t, Regs> leaves;
    std::map<uint32_t, uint64_t> msrs;
    std::vector<std::string> accesses;

    // Leaf 0 for a vendor text of 12 characters.
    void vendor(const char* text, uint32_t maxBasic)
    {
        Regs r{maxBasic, 0, 0, 0};
        std::memcpy(&r.ebx, text + 0, 4);
        std::memcpy(&r.edx, text + 4, 4);
        std::memcpy(&r.ecx, text + 8, 4);
        leaves[0] = r;
    }

    // Leaves 0x80000002..4 for a brand text, NUL-padded to 48 bytes as processors return it.
    void brand(const std::string& text)
    {
        char raw[48] = {};
        std::memcpy(raw, text.data(), std::min(text.size(), sizeof raw));
        for (uint32_t i = 0; i < 3; ++i) {
            Regs r;
            std::memcpy(&r, raw + 16 * i, 16);
            leaves[0x80000002 + i] = r;
        }
    }

    const char* description() const override { return "recorded"; }
    bool isSimulated() const override { return true; }
    unsigned cpuCount() const override { return 1; }
    unsigned currentCPU() const override { return 0; }

    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) override
    {
        accesses.push_back(format("cpuid %#x", leaf));
        const auto found = leaves.find(leaf);
        if (found == leaves.end()) {
            ADD_FAILURE() << "CPUID leaf " << std::hex << leaf << " was not recorded";
            regs[0] = regs[1] = regs[2] = regs[3] = 0;
            return;
        }
        std::memcpy(regs, &found->second, 16);
    }

    uint64_t rdmsr(uint32_t msr) override
    {
        accesses.push_back(format("rdmsr %#x", msr));
        const auto found = msrs.find(msr);
        if (found == msrs.end()) {
            ADD_FAILURE() << "MSR " << std::hex << msr << " was not recorded";
            return 0;
        }
        return found->second;
    }

    void wrmsr(uint32_t msr, uint64_t value) override
    {
        accesses.push_back(format("wrmsr %#x=%#llx", msr, static_cast<unsigned long long>(value)));
    }

    void rendezvous(Action action, void* argument) override { action(argument); }

private:
    static std::string format(const char* f, uint32_t a, unsigned long long b = 0)
    {
        char text[64];
        std::snprintf(text, sizeof text, f, a, b);
        return text;
    }
};

} // namespace vennix::test
