// The simulated ACPI namespace used from several threads at once.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kext/platform/OSObject.h"
#include "sim/SimulatedACPI.h"

namespace sim {
namespace {

using namespace vennix;

TEST(SimulatedNamespaceThreads, EvaluationsFromSeveralThreads)
{
    SimulatedACPI acpi;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                OSObject* result = nullptr;
                if (t == 0)
                    acpi.setTemperature(3000 + static_cast<uint64_t>(i));
                if (acpi.evaluateObject(SimulatedACPI::kECPath, t % 2 ? "PKG0" : "TEMP", nullptr, 0, &result)
                        != kIOReturnSuccess
                    || result == nullptr)
                    ++failures;
                OSSafeReleaseNULL(result);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(acpi.evaluationCount(), 800u);
}

} // namespace
} // namespace sim
