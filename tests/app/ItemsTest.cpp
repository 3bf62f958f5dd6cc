#include <QImage>
#include <QLabel>

#include <gtest/gtest.h>

#include "items/ChannelItem.h"
#include "items/NameValueItem.h"
#include "items/TextItem.h"

namespace qarn {
namespace {

// The colour the item actually paints near its top-left corner, clear of the text.
QColor painted(QWidget& item) {
    return item.grab().toImage().pixelColor(1, 1);
}

const QColor kBlue(0, 0, 255);
const QColor kYellow(255, 255, 0);

TEST(ChannelItemTest, ShowsATitleAndIgnoresNullOrOtherData) {
    ChannelItem item;
    item.setRepresentedObject(std::string("Hallo"));
    EXPECT_EQ(item.titleField()->text(), "Hallo");

    item.setRepresentedObject(std::monostate{});
    EXPECT_EQ(item.titleField()->text(), "Hallo");
    item.setRepresentedObject(Channel::row("Cores", "4"));
    EXPECT_EQ(item.titleField()->text(), "Hallo");
}

TEST(NameValueItemTest, ShowsNameAndValueAndIgnoresNullOrOtherData) {
    NameValueItem item;
    item.setRepresentedObject(Channel::row("Cores", "4"));
    EXPECT_EQ(item.titleField()->text(), "Cores");
    EXPECT_EQ(item.valueField()->text(), "4");

    item.setRepresentedObject(std::monostate{});
    item.setRepresentedObject(std::string("Hallo"));
    EXPECT_EQ(item.titleField()->text(), "Cores");
    EXPECT_EQ(item.valueField()->text(), "4");

    item.setRepresentedObject(Dictionary{{"Name", "Threads"}});
    EXPECT_EQ(item.titleField()->text(), "Threads");
    EXPECT_EQ(item.valueField()->text(), "");
}

template <typename Item>
class ItemSelectionTest : public ::testing::Test {};
using ItemKinds = ::testing::Types<ChannelItem, NameValueItem>;
TYPED_TEST_SUITE(ItemSelectionTest, ItemKinds);

TYPED_TEST(ItemSelectionTest, DefaultUntilFirstChangeThenBlueOrYellow) {
    TypeParam item;
    item.resize(200, 47);
    const QColor initial = painted(item);
    EXPECT_NE(initial, kBlue);
    EXPECT_NE(initial, kYellow);

    item.setSelected(true);
    EXPECT_TRUE(item.isSelected());
    EXPECT_EQ(painted(item), kBlue);

    // Deselected is yellow, not back to the default.
    item.setSelected(false);
    EXPECT_FALSE(item.isSelected());
    EXPECT_EQ(painted(item), kYellow);

    item.setSelected(false);
    EXPECT_EQ(painted(item), kYellow);
    item.setSelected(true);
    EXPECT_EQ(painted(item), kBlue);
}

TEST(TextItemTest, FollowsTheSameRulesAsTheWindowItems) {
    TextItem header(TextItem::Kind::Header);
    header.setRepresentedObject(std::string("Hallo"));
    header.setRepresentedObject(std::monostate{});
    header.setRepresentedObject(Channel::row("Cores", "4"));
    EXPECT_EQ(header.title(), "Hallo");

    TextItem row(TextItem::Kind::NameValue);
    row.setRepresentedObject(Channel::row("Cores", "4"));
    row.setRepresentedObject(std::monostate{});
    row.setRepresentedObject(std::string("Hallo"));
    EXPECT_EQ(row.title(), "Cores");
    EXPECT_EQ(row.value(), "4");
}

}  // namespace
}  // namespace qarn
