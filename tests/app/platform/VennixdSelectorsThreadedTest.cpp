// Every method of the CPU service's user client, called the way the monitor calls it: through
// the client library, over the real socket, to a real vennixd --simulate.

#include "platform/SocketServiceDirectory.h"

#include "protocol/AccessorTypes.h"
#include "protocol/CPUInfoRecord.h"
#include "tests/support/VennixdProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace qarn {
namespace {

using namespace vennix;

constexpr uint32_t kSignatureMSR = 0x8B; // one per CPU, writable
constexpr const char* kEC = "IOACPIPlane:/_SB/PCI0/LPCB/EC0";

class VennixdSelectors : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gDaemon = new vennix::testing::VennixdProcess({"--simulate"}); }
    static void TearDownTestSuite()
    {
        delete gDaemon;
        gDaemon = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(gDaemon->running());
        vennix = open("Vennix");
        acpi = open("ACPIAccessor");
        ASSERT_TRUE(vennix && acpi);
    }

    std::unique_ptr<ServiceConnection> open(const char* name)
    {
        auto service = directory.getMatchingService(name);
        return service ? service->open(0) : nullptr;
    }

    // An MSR batch with `room` rows of output, pre-filled with 0xAB.
    IOReturn batch(const std::vector<uint32_t>& msrs, uint32_t cpus, uint32_t room,
                   std::vector<uint8_t>& result, size_t& size)
    {
        std::vector<uint8_t> request(MSRBatchRequest::size(msrs.size()));
        writeU32(request.data(), 0, static_cast<uint32_t>(msrs.size()));
        writeU32(request.data(), 4, cpus);
        for (size_t i = 0; i < msrs.size(); ++i)
            writeU32(request.data(), 8 + 4 * i, msrs[i]);
        size = MSRBatchResult::size(msrs.size(), room);
        result.assign(size, 0xAB);
        return vennix->callStructMethod(kAccessorMethodGetMSRs, request.data(), request.size(),
                                        result.data(), &size);
    }

    std::vector<uint64_t> signatures()
    {
        std::vector<uint8_t> result;
        size_t size = 0;
        EXPECT_EQ(batch({kSignatureMSR}, 8, 8, result, size), kIOReturnSuccess);
        std::vector<uint64_t> values;
        for (uint32_t cpu = 0; cpu < 8; ++cpu)
            values.push_back(readU64(result.data(), 16 + 8 * cpu));
        return values;
    }

    // Key, NUL, path, NUL, then extra bytes.
    static std::vector<uint8_t> acpiRequest(const std::string& key, const std::string& path,
                                            std::vector<uint8_t> extra = {})
    {
        std::vector<uint8_t> request(key.begin(), key.end());
        request.push_back(0);
        request.insert(request.end(), path.begin(), path.end());
        request.push_back(0);
        request.insert(request.end(), extra.begin(), extra.end());
        return request;
    }

    IOReturn acpiCall(uint32_t selector, const std::vector<uint8_t>& request,
                      std::array<uint8_t, 64>& output, size_t room = 64)
    {
        output.fill(0xAB);
        size_t size = room;
        return acpi->callStructMethod(selector, request.data(), request.size(), output.data(), &size);
    }

    static vennix::testing::VennixdProcess* gDaemon;
    SocketServiceDirectory directory{gDaemon->socketPath()};
    std::unique_ptr<ServiceConnection> vennix;
    std::unique_ptr<ServiceConnection> acpi;
};

vennix::testing::VennixdProcess* VennixdSelectors::gDaemon = nullptr;

TEST_F(VennixdSelectors, TheRecordNeedsItsWhole464Bytes)
{
    std::array<uint8_t, 464> output;
    size_t size = 464;
    EXPECT_EQ(vennix->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size),
              kIOReturnSuccess);
    EXPECT_EQ(size, 464u);
    i386_cpu_info_t info;
    std::memcpy(&info, output.data(), sizeof info);
    // The daemon's addresses stay in the daemon.
    EXPECT_EQ(info.cpuid_model_string, nullptr);
    EXPECT_EQ(info.cpuid_mwait_leafp, nullptr);
    EXPECT_EQ(info.cpuid_thermal_leafp, nullptr);

    size = 463;
    EXPECT_EQ(vennix->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size),
              kIOReturnBadArgument);
    EXPECT_EQ(size, 0u);
}

TEST_F(VennixdSelectors, BatchSizesAndRows)
{
    std::vector<uint8_t> result;
    size_t size = 0;

    // Nothing to read: the header and the time only.
    ASSERT_EQ(batch({}, 1, 1, result, size), kIOReturnSuccess);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(readU32(result.data(), 0), 0u);
    EXPECT_EQ(readU32(result.data(), 4), 1u);
    EXPECT_GT(readF64(result.data(), 8), 1.5e9);

    // Two CPUs of eight: rows 0 and 1, nothing after them.
    ASSERT_EQ(batch({0xE7, 0xE8}, 2, 8, result, size), kIOReturnSuccess);
    EXPECT_EQ(readU32(result.data(), 4), 2u);
    EXPECT_EQ(size, MSRBatchResult::size(2, 2));
    EXPECT_NE(readU64(result.data(), 16), 0xABABABABABABABABu);
    EXPECT_EQ(readU64(result.data(), MSRBatchResult::size(2, 2)), 0xABABABABABABABABu);

    // Room asked for 16 rows: 16 rows of room needed, 8 filled.
    EXPECT_EQ(batch({0xE7, 0xE8, 0x10}, 16, 15, result, size), kIOReturnBadArgument);
    EXPECT_EQ(size, 0u);
    ASSERT_EQ(batch({0xE7, 0xE8, 0x10}, 16, 16, result, size), kIOReturnSuccess);
    EXPECT_EQ(readU32(result.data(), 4), 8u);
    EXPECT_EQ(size, 16u + 64u * 3);
    EXPECT_EQ(result[16 + 64 * 3], 0xAB);

    // A request shorter than its count says.
    std::vector<uint8_t> request(8 + 4);
    writeU32(request.data(), 0, 2);
    writeU32(request.data(), 4, 1);
    std::array<uint8_t, 64> output{};
    size = output.size();
    EXPECT_EQ(vennix->callStructMethod(kAccessorMethodGetMSRs, request.data(), request.size(),
                                       output.data(), &size),
              kIOReturnBadArgument);
}

TEST_F(VennixdSelectors, WriteListsLandOnTheCPUsTheyName)
{
    const uint64_t before = signatures()[7];
    const uint64_t once = 0x1111'0000'0000u, twice = 0x2222'0000'0000u;

    const uint64_t single[] = {1, 1, kSignatureMSR, once};
    EXPECT_EQ(vennix->callScalarMethod(kAccessorMethodSetMSRs, single, 4, nullptr, nullptr), kIOReturnSuccess);
    std::vector<uint64_t> after = signatures();
    EXPECT_EQ(std::count(after.begin(), after.end(), once), 1) << "the calling CPU only";

    const uint64_t two[] = {1, 2, kSignatureMSR, twice};
    EXPECT_EQ(vennix->callScalarMethod(kAccessorMethodSetMSRs, two, 4, nullptr, nullptr), kIOReturnSuccess);
    after = signatures();
    EXPECT_EQ(after[0], twice);
    EXPECT_EQ(after[1], twice);
    EXPECT_NE(after[7], twice);

    const uint64_t five[] = {2, 8, kSignatureMSR, 5, kSignatureMSR};
    EXPECT_EQ(vennix->callScalarMethod(kAccessorMethodSetMSRs, five, 5, nullptr, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(signatures()[7], before);
}

TEST_F(VennixdSelectors, ACPIResultsArriveInTheWireFormat)
{
    std::array<uint8_t, 64> output;
    ASSERT_EQ(acpiCall(kAccessorMethodGetValueOnDevice, acpiRequest("_STA", kEC), output), kIOReturnSuccess);
    EXPECT_EQ(readU32(output.data(), 0), 3u);
    EXPECT_EQ(readU64(output.data(), 4), 0xFu);

    ASSERT_EQ(acpiCall(kAccessorMethodCheckValueOnDevice, acpiRequest("BUFF", kEC), output), kIOReturnSuccess);
    EXPECT_EQ(readU32(output.data(), 0), 2u);
    EXPECT_STREQ(reinterpret_cast<const char*>(output.data() + 4), "OSData");
    ASSERT_EQ(acpiCall(kAccessorMethodCheckValueOnDevice, acpiRequest("NOPE", kEC), output), kIOReturnSuccess);
    EXPECT_STREQ(reinterpret_cast<const char*>(output.data() + 4), "Falscher Key");

    // SETV answers its argument (root may write).
    const std::vector<uint8_t> seven{3, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(acpiCall(kAccessorMethodSetValueOnDevice, acpiRequest("SETV", kEC, seven), output), kIOReturnSuccess);
    EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + 12), seven);
}

TEST_F(VennixdSelectors, ACPIEvaluationsThatYieldNothingLeaveTheOutputAlone)
{
    std::array<uint8_t, 64> output;
    ASSERT_EQ(acpiCall(kAccessorMethodGetValueOnDevice, acpiRequest("_STA", "IOACPIPlane:/_SB/NOPE"), output),
              kIOReturnSuccess);
    for (uint8_t byte : output)
        ASSERT_EQ(byte, 0xAB);
}

TEST_F(VennixdSelectors, MalformedCallsAreRefused)
{
    std::array<uint8_t, 64> output;
    // Too little room for any answer.
    EXPECT_EQ(acpiCall(kAccessorMethodGetValueOnDevice, acpiRequest("_STA", kEC), output, 11), kIOReturnBadArgument);
    // The path does not end within the input.
    std::vector<uint8_t> unterminated = acpiRequest("_STA", kEC);
    unterminated.pop_back();
    EXPECT_EQ(acpiCall(kAccessorMethodGetValueOnDevice, unterminated, output), kIOReturnBadArgument);
    // Selector 4 with an argument cut short.
    EXPECT_EQ(acpiCall(kAccessorMethodSetValueOnDevice, acpiRequest("SETV", kEC, {3, 0, 0, 0, 7}), output),
              kIOReturnBadArgument);
    // CPU methods mean nothing on the ACPI service.
    size_t size = 64;
    EXPECT_EQ(acpi->callStructMethod(kAccessorMethodGetInfo, nullptr, 0, output.data(), &size),
              kIOReturnUnsupported);
    // No selector 6.
    size = 64;
    EXPECT_EQ(vennix->callStructMethod(6, nullptr, 0, output.data(), &size), kIOReturnBadArgument);
    EXPECT_EQ(size, 0u);
    // The connections go on.
    ASSERT_EQ(acpiCall(kAccessorMethodGetValueOnDevice, acpiRequest("_STA", kEC), output), kIOReturnSuccess);
}

} // namespace
} // namespace qarn
