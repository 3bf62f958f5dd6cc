// Fifty scrapers at once over HTTP: every one is answered, and the CPU service is still asked at
// most once per second, counted at the processor's batch calls.

#include <gtest/gtest.h>

#include "exporter/MetricsCollector.h"
#include "platform/EmbeddedServiceDirectory.h"

#include <prometheus/exposer.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <thread>

namespace qarn {
namespace {

using namespace std::chrono_literals;

// The simulated processor, with each MSR batch sent to the service counted.
class CountingCPU : public IntelCPU {
public:
    CountingCPU(ServiceDirectory& directory, std::atomic<int>& calls)
        : IntelCPU(directory.openService("Vennix"), IntelCPU::create(directory)->info()), fCalls(calls) {}
    using IntelCPU::getMSRs;
    IOReturn getMSRs(const uint32_t* msrs, MSRBatch& result, uint32_t count, uint32_t cpus) override
    {
        ++fCalls;
        return IntelCPU::getMSRs(msrs, result, count, cpus);
    }

private:
    std::atomic<int>& fCalls;
};

// The whole response to GET /metrics: HTTP/1.0, so the server closes when done.
std::string scrape(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    std::string response;
    char buffer[4096];
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()))
        for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            response.append(buffer, static_cast<size_t>(got));
    close(fd);
    return response;
}

TEST(ExporterThreaded, FiftyConcurrentScrapersShareOneReadingPerSecond)
{
    auto directory = EmbeddedServiceDirectory::simulated();
    ASSERT_TRUE(directory);
    std::atomic<int> calls{0}, answered{0}, wrong{0};
    const auto start = std::chrono::steady_clock::now();
    auto collector = std::make_shared<MetricsCollector>(
        [directory, &calls] { return std::make_shared<CountingCPU>(*directory, calls); }, 1s, true);
    prometheus::Exposer exposer("127.0.0.1:0", 8);
    exposer.RegisterCollectable(collector);
    const auto port = static_cast<uint16_t>(exposer.GetListeningPorts().at(0));

    // Long enough for the cached reading to go stale twice under the scrapers.
    std::vector<std::thread> scrapers;
    for (int i = 0; i < 50; ++i)
        scrapers.emplace_back([&] {
            do {
                const std::string r = scrape(port);
                const bool ok = r.rfind("HTTP/1.1 200", 0) == 0 && r.find("\nqarn_simulated 1\n") != std::string::npos
                    && r.find("\nqarn_core_temperature_celsius{cpu=\"7\"} ") != std::string::npos;
                ++(ok ? answered : wrong);
            } while (std::chrono::steady_clock::now() < start + 2500ms);
        });
    for (auto& scraper : scrapers)
        scraper.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto readings = collector->readings();
    std::cout << answered << " scrapes, " << readings << " readings, " << calls << " service calls in " << elapsed
              << " s\n";

    EXPECT_EQ(wrong, 0);
    EXPECT_GE(answered, 50);
    // Each reading is CPUReadings' two batches, and nothing else asks the service.
    EXPECT_GE(readings, 1u);
    EXPECT_EQ(calls, static_cast<int>(2 * readings));
    EXPECT_LE(static_cast<double>(readings), elapsed + 1);
}

} // namespace
} // namespace qarn
