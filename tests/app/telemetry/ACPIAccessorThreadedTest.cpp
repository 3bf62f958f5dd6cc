// ACPIAccessor against the real CPU service started in this process on the simulated ACPI
// namespace (the embedded controller IOACPIPlane:/_SB/PCI0/LPCB/EC0): what each method of the
// namespace reads as, what the check answers, a method called with an argument, and creation
// with and without the service.

#include "telemetry/ACPIAccessor.h"

#include "platform/EmbeddedServiceDirectory.h"

#include "kext/platform/IOLog.h"
#include "sim/SimulatedACPI.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace qarn {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::SimulatedACPI;

constexpr const char* kEC = SimulatedACPI::kECPath;
constexpr const char* kMissingPath = "IOACPIPlane:/_SB/PCI0/NONE";

class ACPIAccessorOnSimulatedACPI : public ::testing::Test {
protected:
    ACPIAccessorOnSimulatedACPI()
    {
        directory = EmbeddedServiceDirectory::simulated();
        if (directory)
            accessor = ACPIAccessor::create(*directory, [this](std::string_view line) { logged.emplace_back(line); });
    }

    void SetUp() override
    {
        ASSERT_TRUE(directory) << "the simulated services did not start";
        ASSERT_TRUE(accessor);
    }

    bool serviceLogged(const std::string& text) const
    {
        for (const std::string& line : serviceLog.lines())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    vennix::IOLogCapture serviceLog; // first: outlives the services
    std::vector<std::string> logged;
    std::shared_ptr<EmbeddedServiceDirectory> directory;
    std::shared_ptr<ACPIAccessor> accessor;
};

TEST_F(ACPIAccessorOnSimulatedACPI, ReadsNumbersStringsAndData)
{
    EXPECT_EQ(accessor->getValueOnDevice(kEC, "_STA"), ACPIValue{uint64_t{0xF}});
    EXPECT_EQ(accessor->getValueOnDevice(kEC, "TEMP"), ACPIValue{SimulatedACPI::kDefaultTemperature});
    EXPECT_EQ(accessor->getValueOnDevice(kEC, "NAME"), ACPIValue{std::string(SimulatedACPI::kName)});
    EXPECT_EQ(accessor->getValueOnDevice(kEC, "BUFF"), ACPIValue{Bytes({0x01, 0x02, 0x03, 0x04})});
}

TEST_F(ACPIAccessorOnSimulatedACPI, PackagesUnknownKeysAndMissingDevicesReadAsNoValue)
{
    EXPECT_FALSE(accessor->getValueOnDevice(kEC, "PKG0")) << "an array is not decoded";
    EXPECT_FALSE(accessor->getValueOnDevice(kEC, "XXXX"));
    EXPECT_TRUE(serviceLogged("XXXX Object error")) << "the service says why";
    EXPECT_FALSE(accessor->getValueOnDevice(kMissingPath, "_STA"));
    EXPECT_FALSE(accessor->getValueOnDevice(kEC, "SETV")) << "a method that needs its argument";
    // And the accessor goes on working after each of them.
    EXPECT_EQ(accessor->getValueOnDevice(kEC, "_STA"), ACPIValue{uint64_t{0xF}});
}

TEST_F(ACPIAccessorOnSimulatedACPI, CheckAnswersTheClassNameFalscherKeyOrThePath)
{
    EXPECT_EQ(accessor->checkValueOnDevice(kEC, "_STA"), "OSNumber");
    EXPECT_EQ(accessor->checkValueOnDevice(kEC, "NAME"), "OSString");
    EXPECT_EQ(accessor->checkValueOnDevice(kEC, "BUFF"), "OSData");
    EXPECT_EQ(accessor->checkValueOnDevice(kEC, "PKG0"), "OSArray");
    EXPECT_EQ(accessor->checkValueOnDevice(kEC, "XXXX"), "Falscher Key");
    EXPECT_EQ(accessor->checkValueOnDevice(kMissingPath, "_STA"), kMissingPath);
}

TEST_F(ACPIAccessorOnSimulatedACPI, CheckOfAPathLongerThanTheReplyHoldsIsNoValue)
{
    // The service answers with the path, cut without its NUL where it does not fit: 191
    // characters still fit, 192 do not.
    const std::string prefix = "IOACPIPlane:/_SB/";
    const std::string fits = prefix + std::string(191 - prefix.size(), 'X');
    const std::string cut = prefix + std::string(192 - prefix.size(), 'X');
    EXPECT_EQ(accessor->checkValueOnDevice(fits, "_STA"), fits);
    EXPECT_FALSE(accessor->checkValueOnDevice(cut, "_STA"));
    EXPECT_FALSE(accessor->checkValueOnDevice(prefix + std::string(1000, 'X'), "_STA"));
}

TEST_F(ACPIAccessorOnSimulatedACPI, SetPassesItsArgumentAndReadsTheResult)
{
    EXPECT_EQ(accessor->setValueOnDevice(kEC, "SETV", uint64_t{7}), ACPIValue{uint64_t{7}});
    EXPECT_EQ(accessor->setValueOnDevice(kEC, "SETV", std::string("Qarn")), ACPIValue{std::string("Qarn")});
    EXPECT_EQ(accessor->setValueOnDevice(kEC, "SETV", Bytes{0xDE, 0xAD, 0x00, 0xEF}),
              ACPIValue{Bytes({0xDE, 0xAD, 0x00, 0xEF})});
    EXPECT_FALSE(accessor->setValueOnDevice(kEC, "_STA", uint64_t{1})) << "a method that takes no argument";
    EXPECT_FALSE(accessor->setValueOnDevice(kMissingPath, "SETV", uint64_t{1}));
}

TEST_F(ACPIAccessorOnSimulatedACPI, LogsOnceWhenOpened)
{
    EXPECT_EQ(logged, std::vector<std::string>{"ACPIAccessor"});
    accessor->getValueOnDevice(kEC, "_STA");
    accessor->checkValueOnDevice(kEC, "_STA");
    EXPECT_EQ(logged.size(), 1u) << "calls log nothing";
}

TEST_F(ACPIAccessorOnSimulatedACPI, ByDefaultTheLineGoesToStandardError)
{
    accessor.reset();
    ::testing::internal::CaptureStderr();
    auto second = ACPIAccessor::create(*directory);
    const std::string written = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(second);
    EXPECT_EQ(written, "ACPIAccessor\n");
}

TEST_F(ACPIAccessorOnSimulatedACPI, AccessorsOnSeveralThreadsEachGetTheirOwnAnswers)
{
    std::vector<std::shared_ptr<ACPIAccessor>> accessors;
    for (int i = 0; i < 3; ++i) {
        accessors.push_back(ACPIAccessor::create(*directory, [](std::string_view) {}));
        ASSERT_TRUE(accessors.back());
    }
    std::vector<int> wrong(accessors.size(), 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < accessors.size(); ++t) {
        threads.emplace_back([&, t] {
            for (uint64_t i = 0; i < 50; ++i) {
                const uint64_t mine = t * 1000 + i;
                if (accessors[t]->setValueOnDevice(kEC, "SETV", mine) != ACPIValue{mine})
                    ++wrong[t];
                if (accessors[t]->checkValueOnDevice(kEC, "NAME") != "OSString")
                    ++wrong[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (size_t t = 0; t < wrong.size(); ++t)
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

// ---- creation when the service is not to be had -------------------------------------------------

// A directory whose "ACPIAccessor" is missing, refuses to open, or hands out a connection
// while saying the open failed; it counts what was opened and closed.
class UnhelpfulDirectory final : public ServiceDirectory {
public:
    enum class Mode { Missing, Refuses, OpensButFails };

    explicit UnhelpfulDirectory(Mode mode)
        : fMode(mode)
    {
    }

    std::unique_ptr<MatchedService> getMatchingService(const std::string& name, std::string* why) override
    {
        asked.push_back(name);
        if (fMode == Mode::Missing) {
            if (why)
                *why = "none here";
            return nullptr;
        }
        return std::make_unique<Service>(*this);
    }
    std::string description() const override { return "unhelpful"; }

    std::vector<std::string> asked;
    int opened = 0;
    int closed = 0;

private:
    class Connection final : public ServiceConnection {
    public:
        explicit Connection(UnhelpfulDirectory& owner) : fOwner(owner) { ++fOwner.opened; }
        ~Connection() override { close(); }
        void close() override
        {
            if (fOpen) {
                fOpen = false;
                ++fOwner.closed;
            }
        }
        bool isOpen() const override { return fOpen; }

    protected:
        IOReturn perform(MethodCall& call) override
        {
            ADD_FAILURE() << "a call on a connection that should not be in use";
            call.structureOutputSize = 0;
            return vennix::kIOReturnNotOpen;
        }

    private:
        UnhelpfulDirectory& fOwner;
        bool fOpen = true;
    };

    class Service final : public MatchedService {
    public:
        explicit Service(UnhelpfulDirectory& owner) : fOwner(owner) {}
        std::unique_ptr<ServiceConnection> open(uint32_t type, IOReturn* result) override
        {
            EXPECT_EQ(type, 0u);
            if (fOwner.fMode == Mode::Refuses) {
                if (result)
                    *result = vennix::kIOReturnNotPermitted;
                return nullptr;
            }
            if (result)
                *result = vennix::kIOReturnNotPermitted;
            return std::make_unique<Connection>(fOwner);
        }

    private:
        UnhelpfulDirectory& fOwner;
    };

    Mode fMode;
};

TEST(ACPIAccessorCreate, NullAndSilentWhenTheServiceIsMissingOrWillNotOpen)
{
    for (auto mode : {UnhelpfulDirectory::Mode::Missing, UnhelpfulDirectory::Mode::Refuses,
                      UnhelpfulDirectory::Mode::OpensButFails}) {
        UnhelpfulDirectory directory(mode);
        std::vector<std::string> logged;
        ::testing::internal::CaptureStderr();
        auto accessor = ACPIAccessor::create(directory, [&](std::string_view line) { logged.emplace_back(line); });
        const std::string written = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(accessor);
        EXPECT_EQ(directory.asked, std::vector<std::string>{"ACPIAccessor"});
        EXPECT_TRUE(logged.empty());
        EXPECT_EQ(written, "");
        EXPECT_EQ(directory.opened, directory.closed) << "nothing is left open";
    }
}

} // namespace
} // namespace qarn
