#pragma once
// A processor replayed from recorded CPUID leaves and MSR values. It fails the running test
// when the code asks for a leaf or an MSR that was not recorded, and it keeps the order of
// every access so that tests can check sequences.
//
// One CPU unless apicIds names more: then every CPU answers the same leaves, except that the
// topology leaves carry its own APIC id (EDX of 0xB and 0x1F, EAX of 0x8000001E), and the
// rendezvous runs the action on each CPU in turn.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>
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
    std::map<uint32_t, Regs> leaves;            // subleaf 0 (or a leaf without subleaves)
    std::map<std::pair<uint32_t, uint32_t>, Regs> subleaves; // (leaf, subleaf > 0)
    std::map<uint32_t, uint64_t> msrs;
    std::vector<uint32_t> apicIds;              // one per CPU; empty: one CPU
    uint32_t microcode = 0;                     // what the operating system reports
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
    unsigned cpuCount() const override { return apicIds.empty() ? 1 : static_cast<unsigned>(apicIds.size()); }
    unsigned currentCPU() const override { return fCurrent; }

    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) override
    {
        accesses.push_back(subleaf ? format("cpuid %#x.%u", leaf, subleaf) : format("cpuid %#x", leaf));
        const Regs* found = nullptr;
        if (subleaf != 0) {
            const auto sub = subleaves.find({leaf, subleaf});
            found = sub == subleaves.end() ? nullptr : &sub->second;
        } else if (const auto it = leaves.find(leaf); it != leaves.end()) {
            found = &it->second;
        }
        if (found == nullptr) {
            ADD_FAILURE() << "CPUID leaf " << std::hex << leaf << "." << subleaf << " was not recorded";
            regs[0] = regs[1] = regs[2] = regs[3] = 0;
            return;
        }
        std::memcpy(regs, found, 16);
        const uint32_t apic = apicIds.empty() ? 0 : apicIds.at(fCurrent);
        if (leaf == 0xB || leaf == 0x1F)
            regs[3] = apic;
        else if (leaf == 0x8000001E)
            regs[0] = apic;
    }

    uint32_t microcodeRevision() override { return microcode; }

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

    void rendezvous(Action action, void* argument) override
    {
        for (fCurrent = 0; fCurrent < cpuCount(); ++fCurrent)
            action(argument);
        fCurrent = 0;
    }

    // Extended topology (leaf 0xB or 0x1F) of levels {shift, logical processors, type}.
    void topology(uint32_t leaf, std::initializer_list<std::array<uint32_t, 3>> levels)
    {
        uint32_t subleaf = 0;
        for (const auto& level : levels) {
            const Regs r{level[0], level[1], level[2] << 8 | subleaf, 0};
            if (subleaf == 0)
                leaves[leaf] = r;
            else
                subleaves[{leaf, subleaf}] = r;
            ++subleaf;
        }
        subleaves[{leaf, subleaf}] = Regs{0, 0, subleaf, 0};
    }

private:
    unsigned fCurrent = 0;

    static std::string format(const char* f, uint32_t a, unsigned long long b = 0)
    {
        char text[64];
        std::snprintf(text, sizeof text, f, a, b);
        return text;
    }
};

} // namespace vennix::test
