#pragma once
// What a scrape (or the text file) gets: the latest Sample as Prometheus metric families.
//
// The CPU service is asked at most once per interval however many scrape at once: the last
// sample is kept and read again only when it is older than the interval. One lock covers the
// check and the reading, so concurrent scrapers wait for the one reading in progress and then
// share its result instead of asking the service themselves.

#include "exporter/Sampler.h"

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace qarn {

class MetricsCollector : public prometheus::Collectable {
public:
    using CoolerReader = std::function<std::optional<CoolerReading>()>;

    // simulated: the numbers are the simulated hardware's even while no processor answers.
    MetricsCollector(Sampler::Opener open, std::chrono::milliseconds interval = std::chrono::seconds(1),
                     bool simulated = false);

    // The cooler's latest figures, asked with each reading; nothing while none is attached.
    void setCooler(CoolerReader reader);

    // The cached sample, read afresh first when it is older than the interval. Any thread.
    std::shared_ptr<const Sample> sample() const;
    // Readings taken so far.
    uint64_t readings() const;

    std::vector<prometheus::MetricFamily> Collect() const override;
    static std::vector<prometheus::MetricFamily> families(const Sample& sample);

private:
    const std::chrono::milliseconds fInterval;
    const bool fSimulated;
    mutable std::mutex fLock; // guards everything below
    mutable Sampler fSampler;
    CoolerReader fCooler;
    mutable std::shared_ptr<const Sample> fLatest;
    mutable std::chrono::steady_clock::time_point fTaken;
    mutable uint64_t fReadings = 0;
};

} // namespace qarn
