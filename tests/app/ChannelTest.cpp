#include <gtest/gtest.h>

#include "channels/Channel.h"
#include "channels/ChannelSnapshot.h"

namespace qarn {
namespace {

TEST(ChannelTest, HeaderIsOneRowHalloOf200By47AtAnyIndex) {
    auto channel = Channel::create();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->numberOfItems(), 1);
    for (std::int64_t index : {0LL, 1LL, -1LL, 1000000LL}) {
        EXPECT_EQ(channel->dataAt(index), ItemData(std::string("Hallo"))) << index;
        EXPECT_EQ(channel->sizeAt(index), (Size{200.0, 47.0})) << index;
        EXPECT_EQ(channel->itemIdentifierAt(index), "ChannelItem") << index;
    }
}

TEST(ChannelTest, SamplingTheHeaderChangesNothing) {
    auto channel = Channel::create();
    const ChannelSnapshot before = ChannelSnapshot::of(*channel);
    channel->sample();
    channel->sample();
    const ChannelSnapshot after = ChannelSnapshot::of(*channel);
    ASSERT_EQ(after.numberOfItems(), before.numberOfItems());
    EXPECT_EQ(after.rowAt(0)->data, before.rowAt(0)->data);
    EXPECT_EQ(after.rowAt(0)->size, before.rowAt(0)->size);
}

TEST(ChannelTest, NameValueRowUsesNameAndValueKeys) {
    const Dictionary row = Channel::row("Cores", "4");
    EXPECT_EQ(row.size(), 2u);
    EXPECT_EQ(row.at("Name"), "Cores");
    EXPECT_EQ(row.at("Value"), "4");
}

// Rows whose count and contents the test sets directly.
class ListedChannel : public Channel {
public:
    std::int64_t count = 0;
    std::int64_t numberOfItems() const override { return count; }
    ItemData dataAt(std::int64_t index) const override { return row("row " + std::to_string(index), "v"); }
    Size sizeAt(std::int64_t index) const override { return {100.0 + index, 20.0}; }
    std::string itemIdentifierAt(std::int64_t) const override { return kNameValueItemIdentifier; }
};

TEST(ChannelSnapshotTest, CopiesEveryRowAndStaysAsTaken) {
    ListedChannel channel;
    channel.count = 3;
    const ChannelSnapshot snapshot = ChannelSnapshot::of(channel);
    channel.count = 1;
    ASSERT_EQ(snapshot.numberOfItems(), 3);
    for (std::int64_t i = 0; i < 3; ++i) {
        const auto* row = snapshot.rowAt(i);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->identifier, "NameValueItem");
        EXPECT_EQ(std::get<Dictionary>(row->data).at("Name"), "row " + std::to_string(i));
        EXPECT_EQ(row->size, (Size{100.0 + i, 20.0}));
    }
}

TEST(ChannelSnapshotTest, OutOfRangeAndNegativeCountsGiveNoRows) {
    ListedChannel channel;
    channel.count = 2;
    const ChannelSnapshot two = ChannelSnapshot::of(channel);
    EXPECT_EQ(two.rowAt(-1), nullptr);
    EXPECT_EQ(two.rowAt(2), nullptr);

    channel.count = -5;
    const ChannelSnapshot negative = ChannelSnapshot::of(channel);
    EXPECT_EQ(negative.numberOfItems(), 0);
    EXPECT_EQ(negative.rowAt(0), nullptr);
}

}  // namespace
}  // namespace qarn
