// The exporter in this process: the simulated processor's series as Prometheus reads them, the
// arithmetic on hand-made batches, the command line, the text file.

#include <gtest/gtest.h>

#include "exporter/Exporter.h"
#include "exporter/MetricsCollector.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "tests/support/TemporaryDirectory.h"

#include <prometheus/exposer.h>
#include <prometheus/text_serializer.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace qarn {
namespace {

using namespace std::chrono_literals;

std::string render(const Sample& sample)
{
    return prometheus::TextSerializer().Serialize(MetricsCollector::families(sample));
}

// name -> (cpu label or -1, value) for each sample line, and "name type" for each TYPE line
// that follows a HELP line.
struct Scrape {
    std::multimap<std::string, std::pair<int, double>> samples;
    std::set<std::string> declared;
};

Scrape parse(const std::string& text)
{
    static const std::regex sample(R"re((qarn_\w+)(?:\{cpu="(\d+)"\})? (\S+))re");
    static const std::regex declared(R"re(# HELP (qarn_\w+) .+\n# TYPE (qarn_\w+ \w+))re");
    Scrape scrape;
    std::istringstream lines(text);
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, m, sample))
            scrape.samples.insert({m[1], {m[2].matched ? std::stoi(m[2]) : -1, std::stod(m[3])}});
    for (std::sregex_iterator it(text.begin(), text.end(), declared), end; it != end; ++it)
        scrape.declared.insert((*it)[2]);
    return scrape;
}

TEST(Exporter, SimulatedProcessorSeriesAsPrometheusReadsThem)
{
    auto directory = EmbeddedServiceDirectory::simulated();
    ASSERT_TRUE(directory);
    MetricsCollector collector([directory] { return IntelCPU::create(*directory); }, 0ms, true); // no caching

    // The first reading has no interval yet: those figures are left out, not made up.
    const Scrape first = parse(render(*collector.sample()));
    for (const char* name : {"qarn_package_power_watts", "qarn_cpu_multiplier", "qarn_cpu_busy_ratio"})
        EXPECT_EQ(first.samples.count(name), 0u) << name;
    ASSERT_EQ(first.samples.count("qarn_package_energy_joules_total"), 1u);
    EXPECT_EQ(first.samples.find("qarn_package_energy_joules_total")->second.second, 0.0);

    std::this_thread::sleep_for(300ms); // an interval over which the simulated load moves
    const Scrape scrape = parse(render(*collector.sample()));
    const struct { const char* name; const char* type; bool perCPU; double low, high; } expected[] = {
        {"qarn_simulated", "gauge", false, 1, 1},
        {"qarn_package_temperature_celsius", "gauge", false, 30, 100},
        {"qarn_core_temperature_celsius", "gauge", true, 30, 100},
        {"qarn_package_power_watts", "gauge", false, 3, 150},
        {"qarn_package_energy_joules_total", "counter", false, 0.3, 50},
        {"qarn_cpu_multiplier", "gauge", true, 0, 42.001},
        {"qarn_cpu_busy_ratio", "gauge", true, 0, 1},
        {"qarn_core_voltage_volts", "gauge", false, 0.5, 1.6},
    };
    size_t total = 0;
    double fastest = 0;
    for (const auto& e : expected) {
        EXPECT_TRUE(scrape.declared.count(std::string(e.name) + " " + e.type)) << e.name;
        std::set<int> cpus;
        for (auto [it, end] = scrape.samples.equal_range(e.name); it != end; ++it, ++total) {
            const auto [cpu, value] = it->second;
            EXPECT_TRUE(value >= e.low && value <= e.high) << e.name << "{cpu=" << cpu << "} " << value;
            cpus.insert(cpu);
            fastest = e.name == std::string("qarn_cpu_multiplier") ? std::max(fastest, value) : fastest;
        }
        EXPECT_EQ(cpus, (e.perCPU ? std::set<int>{0, 1, 2, 3, 4, 5, 6, 7} : std::set<int>{-1})) << e.name;
    }
    EXPECT_EQ(scrape.samples.size(), total) << "no other series, none of a cooler";
    EXPECT_GE(fastest, 8) << "the simulated load never sleeps on every CPU";
}

// One round of CPUReadings' two batches on two CPUs; only CPU 0 has a valid temperature reading.
Sample take(Sampler& sampler, double time, uint64_t aPerf, uint64_t mPerf, uint64_t energy, uint64_t esu = 14,
            uint64_t perfStatus = 0, uint64_t thermStatus = 0x80000000 | (40u << 16))
{
    MSRBatch local(CPUReadings::kLocalCount, 1);
    local.fill(1, time);
    local.set(0, CPUReadings::kPlatformInfo, 40u << 8);
    MSRBatch each(CPUReadings::kEachCount, CPUReadings::kMaxCPUs);
    each.fill(2, time);
    const std::pair<uint32_t, uint64_t> columns[] = {
        {CPUReadings::kAPerf, aPerf}, {CPUReadings::kMPerf, mPerf}, {CPUReadings::kPackageEnergy, energy},
        {CPUReadings::kRaplPowerUnit, esu << 8}, {CPUReadings::kCPUPerfStatus, perfStatus},
        {CPUReadings::kCPUTemperatureTarget, 100u << 16}};
    for (uint32_t n = 0; n < 2; ++n)
        for (auto [column, value] : columns)
            each.set(n, column, value);
    each.set(0, CPUReadings::kThermStatus, thermStatus);
    return sampler.take(local, each);
}

TEST(Exporter, FiguresFromHandMadeBatches)
{
    Sampler sampler({});
    const Sample baseline = take(sampler, 100, 1000, 2000, 0, 14, uint64_t{9011} << 32);
    EXPECT_TRUE(baseline.multiplier.empty() && baseline.busy.empty() && !baseline.packageWatts);
    EXPECT_TRUE(!baseline.packageCelsius && baseline.packageJoules == 0.0);
    EXPECT_NEAR(*baseline.coreVolts, 1.1, 0.001);
    ASSERT_EQ(baseline.coreCelsius.size(), 1u) << "CPU 1 has no valid reading: none, rather than 100 °C";
    EXPECT_EQ(baseline.coreCelsius[0].value, 60);

    // Busy half of one second at ratio 30: MPERF counted 2 G at 4 GHz, APERF 1.5 G.
    const Sample s = take(sampler, 101, 1000 + 1'500'000'000, 2000 + 2'000'000'000, 0, 14, 0, 0);
    ASSERT_EQ(s.multiplier.size(), 2u);
    EXPECT_DOUBLE_EQ(s.multiplier[1].value, 30);
    EXPECT_DOUBLE_EQ(s.busy[0].value, 0.5);
    EXPECT_FALSE(s.coreVolts) << "a voltage field of 0 is no voltage";
    EXPECT_EQ(s.coreCelsius[0].value, 60) << "an invalid reading keeps the last valid one";

    // The package energy counter across its 32-bit wrap, in units of 2^-ESU J; no unit, no figure.
    const struct { uint64_t before, after, esu; std::optional<double> joules; } rounds[] = {
        {0xFFFFFFF0, 0x10, 14, 32.0 / 16384},
        {0x100, 0x4100, 14, 1.0},
        {0xFFFFFFFF'FFFFFF00, 0x1'00000000, 10, 0.25}, // the bits above 31 are not the counter
        {0x8000, 0x8000, 16, 0.0},
        {5, 50, 0, std::nullopt},
    };
    for (const auto& r : rounds) {
        Sampler fresh({});
        take(fresh, 1, 0, 0, r.before, r.esu);
        const Sample next = take(fresh, 2, 0, 0, r.after, r.esu);
        EXPECT_EQ(next.packageJoules, r.joules) << std::hex << r.before << " to " << r.after;
        EXPECT_EQ(next.packageWatts, r.joules) << "over one second";
    }
}

TEST(Exporter, CommandLinesRefusedWithReasons)
{
    prometheus::Exposer busy("127.0.0.1:0");
    const std::string inUse = "127.0.0.1:" + std::to_string(busy.GetListeningPorts().at(0));
    const struct { std::vector<std::string> arguments; int status; const char* says; } cases[] = {
        {{"--listen", "localhost:9864"}, 2, "--listen needs ADDRESS:PORT"},
        {{"--listen", "127.0.0.1:65536"}, 2, "--listen needs ADDRESS:PORT"},
        {{"--listen"}, 2, "--listen needs a value"},
        {{"--interval", "0.5"}, 2, "--interval needs seconds from 1 to 3600"},
        {{"--simulate", "--socket", "/x"}, 2, "do not go together"},
        {{"--verbose"}, 2, "unknown option '--verbose'"},
        {{"--simulate", "--listen", inUse}, 1, "the port is in use"},
        {{"--simulate", "--listen", "192.0.2.1:9864"}, 1, "the address is not one of this machine's"},
        {{"--simulate", "--textfile", "/nonexistent/dir"}, 1, "is not a directory"},
        {{"--help"}, 0, ""},
    };
    for (const auto& c : cases) {
        std::ostringstream out, err;
        EXPECT_EQ(Exporter::main(c.arguments, out, err), c.status) << c.says;
        if (c.status == 0)
            EXPECT_TRUE(out.str().rfind("usage: qarn-exporter", 0) == 0 && err.str().empty());
        else
            EXPECT_TRUE(err.str().rfind("qarn-exporter: ", 0) == 0 && err.str().find(c.says) != std::string::npos)
                << err.str();
    }
}

TEST(Exporter, TextfileReplacedWholeWithNothingLeftBeside)
{
    vennix::testing::TemporaryDirectory dir;
    Sample sample;
    std::string why;
    for (double celsius : {51.0, 52.0}) {
        sample.packageCelsius = celsius;
        ASSERT_TRUE(Exporter::writeTextfile(dir.path(), MetricsCollector::families(sample), why)) << why;
    }
    std::ifstream file(dir / Exporter::kTextfileName);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), render(sample));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_FALSE(Exporter::writeTextfile(dir / "missing", MetricsCollector::families(sample), why));
    EXPECT_NE(why.find("cannot write"), std::string::npos) << why;
}

} // namespace
} // namespace qarn
