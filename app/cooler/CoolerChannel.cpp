#include "cooler/CoolerChannel.h"

namespace qarn {

namespace {

std::string setting(int64_t value, bool followsCPU)
{
    if (value < 0)
        return "-";
    return std::to_string(value) + " % (" + (followsCPU ? "CPU" : "liquid") + ")";
}

} // namespace

std::shared_ptr<CoolerChannel> CoolerChannel::with(std::function<CoolerStatus()> status)
{
    return std::shared_ptr<CoolerChannel>(new CoolerChannel(std::move(status)));
}

std::vector<ItemData> CoolerChannel::rowsFor(const CoolerStatus& status)
{
    std::vector<ItemData> rows;
    if (!status.attached && status.problem.empty())
        return rows;
    const std::string name = status.name.empty() ? "Kraken X31" : status.name;
    rows.emplace_back(name + (status.simulated ? " (simulated)" : ""));
    if (!status.attached) {
        rows.emplace_back(row("Cooler", status.problem));
        return rows;
    }
    rows.emplace_back(row("Fan", std::to_string(status.fanRPM) + " rpm"));
    rows.emplace_back(row("Pump", std::to_string(status.pumpRPM) + " rpm"));
    rows.emplace_back(row("Liquid", std::to_string(status.liquidTemperature) + " °C"));
    rows.emplace_back(row("Fan setting", setting(status.fanSetting, status.setup.fanFollowsCPU)));
    rows.emplace_back(row("Pump setting", setting(status.pumpSetting, status.setup.pumpFollowsCPU)));
    rows.emplace_back(row("Cooler CPU temperature",
                          status.cpuTemperatureKnown ? std::to_string(status.cpuTemperature) + " °C" : "-"));
    return rows;
}

std::int64_t CoolerChannel::numberOfItems() const
{
    return static_cast<std::int64_t>(fRows.size());
}

ItemData CoolerChannel::dataAt(std::int64_t index) const
{
    if (index < 0 || index >= numberOfItems())
        return std::monostate{};
    return fRows[static_cast<size_t>(index)];
}

Size CoolerChannel::sizeAt(std::int64_t index) const
{
    return index == 0 ? Size{200.0, 47.0} : Size{130.0, 35.0};
}

std::string CoolerChannel::itemIdentifierAt(std::int64_t index) const
{
    return index == 0 ? kChannelItemIdentifier : kNameValueItemIdentifier;
}

void CoolerChannel::sample()
{
    fRows = rowsFor(fStatus());
}

} // namespace qarn
