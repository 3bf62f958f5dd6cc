#include "channels/ChannelSnapshot.h"

namespace qarn {

ChannelSnapshot ChannelSnapshot::of(const Channel& channel) {
    ChannelSnapshot snapshot;
    const std::int64_t count = channel.numberOfItems();
    if (count <= 0)
        return snapshot;
    snapshot._rows.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i)
        snapshot._rows.push_back({channel.itemIdentifierAt(i), channel.dataAt(i), channel.sizeAt(i),
                                  channel.sharedHistoryAt(i), channel.toolTipAt(i)});
    return snapshot;
}

const ChannelSnapshot::Row* ChannelSnapshot::rowAt(std::int64_t index) const {
    if (index < 0 || index >= numberOfItems())
        return nullptr;
    return &_rows[static_cast<std::size_t>(index)];
}

}  // namespace qarn
