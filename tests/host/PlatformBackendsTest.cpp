// Choosing the hardware layers: the simulated ones, and the real ones with what is said when
// the msr module is missing or its files cannot be opened.

#include <gtest/gtest.h>

#include "host/PlatformBackends.h"
#include "kext/platform/MSRDevice.h"
#include "tests/kext/platform/MSRDeviceFiles.h"

#include <filesystem>

namespace vennix {
namespace {

TEST(PlatformBackendsTest, Simulated)
{
    ManualClock clock;
    auto backends = PlatformBackends::simulated(&clock);
    ASSERT_TRUE(backends);
    EXPECT_TRUE(backends->isSimulated());
    EXPECT_TRUE(backends->acpi()->isSimulated());
    EXPECT_EQ(backends->clock(), &clock);
    EXPECT_EQ(backends->hardware()->cpuCount(), 8u);
    EXPECT_NE(backends->description().find("simulated"), std::string::npos);
    EXPECT_EQ(PlatformBackends::simulated(nullptr), nullptr);
}

class RealBackends : public ::testing::Test {
protected:
    PlatformBackends::RealPaths paths()
    {
        PlatformBackends::RealPaths result;
        result.cpuDirectory = files.directory();
        result.acpiCall = files.directory() + "/no-acpi-call";
        result.acpiDevices = files.directory() + "/no-devices";
        return result;
    }
    std::string firstFile() const { return files.path(MSRDevice::onlineCPUs().front()); }

    testing::MSRFiles files;
    std::string error;
};

TEST_F(RealBackends, MissingMSRFilesNameTheModule)
{
    EXPECT_EQ(PlatformBackends::real(&error, paths()), nullptr);
    EXPECT_NE(error.find("no " + firstFile()), std::string::npos) << error;
    EXPECT_NE(error.find("modprobe msr"), std::string::npos) << error;
    EXPECT_NE(error.find("--simulate"), std::string::npos) << error;
}

TEST_F(RealBackends, FilesThatCannotBeOpenedAreNamed)
{
    std::filesystem::create_directories(firstFile()); // a directory where the file should be
    EXPECT_EQ(PlatformBackends::real(&error, paths()), nullptr);
    EXPECT_NE(error.find("cannot open " + firstFile()), std::string::npos) << error;
}

TEST_F(RealBackends, MSRFilesOfEveryCPUAndNoACPICall)
{
    files.create(MSRDevice::onlineCPUs());
    auto backends = PlatformBackends::real(&error, paths());
    ASSERT_TRUE(backends) << error;
    EXPECT_FALSE(backends->isSimulated());
    EXPECT_FALSE(backends->acpi()->isSimulated());
    EXPECT_EQ(backends->hardware()->cpuCount(), MSRDevice::onlineCPUs().size());
    EXPECT_NE(backends->description().find(files.directory()), std::string::npos);
    EXPECT_NE(backends->description().find("acpi_call"), std::string::npos) << backends->description();
}

} // namespace
} // namespace vennix
