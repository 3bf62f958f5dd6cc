// The text list's pieces that need no program: history bars, the in-place redraw of a terminal,
// the wrapping of notices, and where a row's bars go.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "shell/CollectionViewDataSource.h"
#include "shell/TextCollectionView.h"

namespace qarn {
namespace {

using Strings = std::vector<std::string>;

History repeated(std::size_t count, float value) {
    return History(count, value);
}

History joined(std::initializer_list<History> parts) {
    History all;
    for (const History& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string times(std::size_t count, const std::string& text) {
    std::string all;
    for (std::size_t i = 0; i < count; ++i)
        all += text;
    return all;
}

TEST(HistoryBarsTest, SlicesTheLastSamplesAndScalesTheirMeans) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* what;
        History history;
        std::size_t width;
        std::string bars;
    } cases[] = {
        {"no history", {}, 20, ""},
        {"one level per step", {0, 1, 2, 3, 4, 5, 6, 7}, 8, "▁▂▃▄▅▆▇█"},
        {"scaled to its own range", {-40, -30, -20}, 3, "▁▅█"},
        {"flat is the middle", repeated(600, 42), 20, times(20, "▄")},
        {"short: right-aligned", {1, 2}, 5, "   ▁█"},
        {"one sample", {7}, 20, times(19, " ") + "▄"},
        {"means, not peaks", {0, 0, 0, 9, 0, 0, 3, 3, 3}, 3, "▁██"},
        {"only the last 600", joined({repeated(600, 1000), repeated(300, 0), repeated(300, 1)}), 20,
         times(10, "▁") + times(10, "█")},
        {"uneven slices", {0, 2, 4}, 2, "▁█"},
        {"missing samples are skipped", {nan, 0, 4, nan, 8, inf}, 3, "▁▅█"},
        {"a slice with none is blank", {nan, 1, nan, 3}, 4, " ▁ █"},
        {"none at all", {nan, inf, -inf}, 3, ""},
        {"no width", {1, 2, 3}, 0, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TextItem::historyBars(c.history, c.width), c.bars) << c.what;
}

TEST(TextFrameTest, DrawsFromHomeClearsEachLineAndNeverScrolls) {
    const struct {
        const char* what;
        Strings lines;
        TerminalSize size;
        std::string frame;
    } cases[] = {
        {"room to spare", {"a", "b"}, {5, 10}, "\x1b[Ha\x1b[K\nb\x1b[K\n\x1b[J"},
        {"exactly full: no newline after the last", {"a", "b"}, {2, 10}, "\x1b[Ha\x1b[K\nb\x1b[K\x1b[J"},
        {"too many rows", {"a", "b", "c", "d"}, {3, 20}, "\x1b[Ha\x1b[K\nb\x1b[K\n… 2 more rows\x1b[K\x1b[J"},
        {"one row", {"a", "b"}, {1, 20}, "\x1b[H… 2 more rows\x1b[K\x1b[J"},
        {"too wide", {"abcdef", "ab"}, {5, 3}, "\x1b[Habc\x1b[K\nab\x1b[K\n\x1b[J"},
        {"cut between characters", {"°C°C▁▂"}, {5, 3}, "\x1b[H°C°\x1b[K\n\x1b[J"},
        {"nothing", {}, {5, 3}, "\x1b[H\x1b[J"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TextCollectionView::frame(c.lines, c.size), c.frame) << c.what;
}

TEST(TextFrameTest, WrapsNoticesAtSpacesWhereItCan) {
    const struct {
        std::string text;
        std::size_t width;
        Strings lines;
    } cases[] = {
        {"one two three", 7, {"one two", "three"}},
        {"one two three", 8, {"one two", "three"}},
        {"abcdefgh", 3, {"abc", "def", "gh"}},
        {"ab cdefgh", 4, {"ab", "cdef", "gh"}},
        {"°°°° °", 3, {"°°°", "° °"}},
        {"fits", 4, {"fits"}},
        {"", 4, {""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TextCollectionView::wrap(c.text, c.width), c.lines) << c.text << " in " << c.width;
}

// Rows of name, value and history, after a header.
class Rows : public CollectionViewDataSource {
public:
    struct Row {
        std::string name, value;
        History history;
    };
    explicit Rows(std::vector<Row> rows) : _rows(std::move(rows)) {}

    std::int64_t numberOfSections(CollectionView&) override { return 1; }
    std::int64_t numberOfItemsInSection(CollectionView&, std::int64_t) override {
        return static_cast<std::int64_t>(_rows.size()) + 1;
    }
    CollectionViewItem* itemForRepresentedObjectAt(CollectionView& view, IndexPath indexPath) override {
        if (indexPath.item == 0) {
            CollectionViewItem* header = view.makeItemWithIdentifier(kChannelItemIdentifier, indexPath);
            header->setRepresentedObject(std::string("Hallo"));
            return header;
        }
        const Row& row = _rows[static_cast<std::size_t>(indexPath.item - 1)];
        CollectionViewItem* item = view.makeItemWithIdentifier(kNameValueItemIdentifier, indexPath);
        item->setRepresentedObject(Dictionary{{kNameKey, row.name}, {kValueKey, row.value}});
        item->setHistory(std::make_shared<const History>(row.history));
        return item;
    }
    Size sizeForItemAt(CollectionView&, IndexPath) override { return {}; }
    void didSelectItemsAt(CollectionView&, const IndexPathSet&) override {}
    void didDeselectItemsAt(CollectionView&, const IndexPathSet&) override {}

    std::vector<Row> _rows;
};

TEST(TextCollectionViewTest, BarsLineUpAfterTheValuesOfTheRowsThatHaveThem) {
    Rows rows({{"A", "1", {}}, {"Longer", "22 °C", {1, 2}}, {"B", "333333333", {}}, {"C", "4", {3, 3}}});
    TextCollectionView list;
    list.registerNib(kChannelItemIdentifier, kChannelItemIdentifier);
    list.registerNib(kNameValueItemIdentifier, kNameValueItemIdentifier);
    list.setDataSource(&rows);
    list.reloadData();
    const std::string pad(18, ' ');
    EXPECT_EQ(list.lines(), (Strings{"Hallo", "  A       1", "  Longer  22 °C  " + pad + "▁█", "  B       333333333",
                                     "  C       4      " + pad + "▄▄"}));

    // A reused item whose row has lost its history prints as a row without one.
    rows._rows[1].history.clear();
    list.reloadData();
    EXPECT_EQ(list.lines()[2], "  Longer  22 °C");
}

}  // namespace
}  // namespace qarn
