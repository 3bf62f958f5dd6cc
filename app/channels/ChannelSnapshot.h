#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channels/Channel.h"

namespace qarn {

// A complete copy of one channel's rows, taken while no sampling pass runs. The main thread reads
// these instead of the live channels, so it never sees a channel half-way through sample().
class ChannelSnapshot {
public:
    struct Row {
        std::string identifier;
        ItemData data;
        Size size;
        SharedHistory history;
        std::string toolTip;
    };

    ChannelSnapshot() = default;

    // Copies every row of the channel. A negative item count is taken as no rows.
    static ChannelSnapshot of(const Channel& channel);

    std::int64_t numberOfItems() const { return static_cast<std::int64_t>(_rows.size()); }

    // Null for an index outside 0..numberOfItems()-1.
    const Row* rowAt(std::int64_t index) const;

private:
    std::vector<Row> _rows;
};

}  // namespace qarn
