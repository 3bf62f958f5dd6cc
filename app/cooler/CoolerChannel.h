#pragma once
// The cooler in the list: a header row with the cooler's name, then its fan and pump speeds,
// the liquid temperature and what it was last sent. No rows while no cooler is attached, so the
// channel appears when one is plugged in and goes when it is pulled. A cooler that is present
// but cannot be driven shows its header and why.

#include "channels/Channel.h"
#include "cooler/CoolerController.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qarn {

class CoolerChannel : public Channel {
public:
    // status is asked once a sample (CoolerController::status, or a test's own).
    static std::shared_ptr<CoolerChannel> with(std::function<CoolerStatus()> status);

    std::int64_t numberOfItems() const override;
    ItemData dataAt(std::int64_t index) const override;
    Size sizeAt(std::int64_t index) const override;
    std::string itemIdentifierAt(std::int64_t index) const override;
    void sample() override;

    // The rows for a status: the header's title first, then name/value rows.
    static std::vector<ItemData> rowsFor(const CoolerStatus& status);

private:
    explicit CoolerChannel(std::function<CoolerStatus()> status) : fStatus(std::move(status)) {}

    std::function<CoolerStatus()> fStatus;
    std::vector<ItemData> fRows;
};

} // namespace qarn
