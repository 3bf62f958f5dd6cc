// The monitor's list: the controller on the text list (this thread as both the main and the tick
// thread, ticks posted by hand, queued reloads run when the test runs the main queue), the items
// that show a row, the real window on Qt's offscreen platform (also when CTest lists the tests,
// without their environment; Qt's event queue is the main queue, reloads run in processEvents()).
// The command line, and when a window can be shown, are checked on the program (CMakeLists.txt).

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <gtest/gtest.h>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include "TestChannels.h"
#include "items/ChannelItem.h"
#include "items/NameValueItem.h"
#include "items/RowGraph.h"
#include "platform/NotificationCenter.h"
#include "platform/QtMainQueue.h"
#include "platform/RunLoop.h"
#include "shell/AppDelegate.h"
#include "shell/QtCollectionView.h"
#include "shell/TextCollectionView.h"
#include "telemetry/CPUChannel.h"
#include "telemetry/MetricsChannel.h"
#include "protocol/MSR.h"
#include "protocol/IOReturn.h"

namespace qarn {
namespace {

using testing::RowsChannel;
using Lines = std::vector<std::string>;

class ViewControllerTest : public ::testing::Test {
protected:
    ViewControllerTest() {
        controller->viewDidLoad();
        mainQueue.runPending();
    }
    void tick() { center.post(AppDelegate::kTickNotification, this); }
    std::shared_ptr<RowsChannel> add(std::string name, int rows) {
        auto channel = std::make_shared<RowsChannel>(std::move(name), rows);
        EXPECT_EQ(controller->addChannel(channel), channel);
        return channel;
    }

    RunLoop mainQueue;
    TextCollectionView list;
    NotificationCenter center;
    std::shared_ptr<ViewController> controller = ViewController::create(center, mainQueue, list, testing::listOnly);
};

TEST_F(ViewControllerTest, MapsPositionsToChannelsSkippingEmptyOnes) {
    EXPECT_EQ(list.lines(), Lines{"Hallo"});
    add("E", 0);
    add("A", 3);
    add("B", 2);
    mainQueue.runPending();
    const std::pair<std::int64_t, ChannelItemIndex> positions[] = {
        {0, {0, 0}}, {1, {2, 0}}, {3, {2, 2}}, {4, {3, 0}}, {5, {3, 1}}, {6, {4, 0}}, {9, {4, 3}}}; // past the end
    for (const auto& [position, index] : positions)
        EXPECT_EQ(controller->channelItemIndexFor({0, position}), index) << "position " << position;
    const std::pair<std::int64_t, std::int64_t> counts[] = {{0, 0}, {2, 1}, {3, 4}, {100, 6}, {-1, 6}}; // unsigned
    for (const auto& [channels, items] : counts)
        EXPECT_EQ(controller->numberOfItemsInChannels(channels), items) << channels << " channels";
    EXPECT_EQ(controller->numberOfItemsInSection(list, 0), 6);
    EXPECT_EQ(list.lines(), (Lines{"Hallo", "  A0  none", "  A1  none", "  A2  none", "  B0  none", "  B1  none"}));
    EXPECT_EQ(controller->sizeForItemAt(list, {0, 0}), (Size{200.0, 47.0}));
    EXPECT_EQ(controller->sizeForItemAt(list, {0, 3}), (Size{240.0, 24.0}));
    EXPECT_EQ(controller->sizeForItemAt(list, {0, 6}), (Size{}));
    EXPECT_EQ(controller->itemForRepresentedObjectAt(list, {0, 6}), nullptr);
    EXPECT_EQ(controller->itemForRepresentedObjectAt(list, {0, -1}), nullptr);
}

TEST_F(ViewControllerTest, ATickSamplesEveryChannelTheMainQueueShowsItAndNoneReachesAControllerGone) {
    add("Package", 1);
    EXPECT_EQ(controller->addChannel(nullptr), nullptr);
    add("X", 1)->identifier = "NoSuchItem"; // a row of a kind the list does not know stays empty
    add("\u00b0C", 1);                      // two characters, three bytes: values align by characters
    mainQueue.runPending();
    const Lines before{"Hallo", "  Package0  none", "", "  \u00b0C0       none"};
    ASSERT_EQ(list.lines(), before);
    tick();
    EXPECT_EQ(list.lines(), before);
    EXPECT_EQ(mainQueue.runPending(), 1u);
    tick();
    tick();
    mainQueue.runPending();
    std::ostringstream out;
    list.print(out);
    EXPECT_EQ(out.str(), "Hallo\n  Package0  pass 3\n\n  \u00b0C0       pass 3\n\n") << "the newest pass, once";
    std::weak_ptr<ViewController> weak = controller;
    controller.reset();
    mainQueue.runPending();
    ASSERT_TRUE(weak.expired());
    tick(); // the observer is still registered; it must not touch the freed controller
    EXPECT_EQ(mainQueue.runPending(), 0u);
}

const QColor kBlue(0, 0, 255), kYellow(255, 255, 0);

TEST(ItemsTest, AnItemTakesItsKindOfDataAndKeepsItsTextForAnyOther) {
    ChannelItem header;
    NameValueItem row;
    const ItemData title(std::string("Hallo")), none(std::monostate{}), cores(Channel::row("Cores", "4"));
    for (const ItemData* data : {&title, &none, &cores})
        header.setRepresentedObject(*data);
    for (const ItemData* data : {&cores, &none, &title})
        row.setRepresentedObject(*data);
    EXPECT_EQ(header.titleField()->text(), "Hallo");
    EXPECT_EQ(row.titleText() + "/" + row.valueText(), "Cores/4");
    row.setRepresentedObject(Dictionary{{"Name", "Threads"}});
    EXPECT_EQ(row.titleText() + "/" + row.valueText(), "Threads/");
}

TEST(ItemsTest, ARowsTooltipIsItsDescriptionWhereItHasOneElseTheWholeRow) {
    NameValueItem row;
    row.setRepresentedObject(Channel::row("Cores", "4"));
    EXPECT_EQ(row.toolTip(), "Cores: 4");
    row.setToolTipText("Physical cores");
    row.setRepresentedObject(Channel::row("Cores", "6"));
    EXPECT_EQ(row.toolTip(), "Physical cores");
    row.setToolTipText("");
    EXPECT_EQ(row.toolTip(), "Cores: 6");
}

// Every CPU answers the same registers; the batches are stamped one second apart.
class ScriptedCPU final : public IntelCPU {
public:
    explicit ScriptedCPU(uint32_t cpus) : IntelCPU(nullptr, record(cpus)) {}
    IOReturn getMSRs(const uint32_t* msrs, MSRBatch& result, uint32_t count, uint32_t cpus) override {
        result.fill(std::max(cpus, 1u), ++time);
        for (uint32_t n = 0; n < result.cpus(); ++n)
            for (uint32_t i = 0; i < count; ++i)
                result.set(n, i, registers[msrs[i]]);
        return vennix::kIOReturnSuccess;
    }
    std::map<uint32_t, uint64_t> registers;
    double time = 0;

private:
    static vennix::i386_cpu_info_t record(uint32_t cpus) {
        vennix::i386_cpu_info_t info{};
        std::snprintf(info.cpuid_vendor, sizeof info.cpuid_vendor, "GenuineIntel");
        info.core_count = info.thread_count = cpus;
        return info;
    }
};

TEST(RowGraphTest, ARowsGraphIsItsLastSixHundredTicksNewestAtTheRightScaledToTheirRange) {
    namespace msr = vennix::msr;
    auto cpu = std::make_shared<ScriptedCPU>(2);
    cpu->registers[msr::kPlatformInfo] = 16 << 8;
    cpu->registers[msr::kTemperatureTarget] = 100 << 16;
    const auto perCPU = CPUChannel::with(cpu);
    const auto metrics = MetricsChannel::with(cpu, perCPU->readings());
    // What tick k shows: the multiplier each CPU ran at, and the package's temperature.
    const std::function<int(int)> multiplier = [](int k) { return 20 + k * 7 % 31; };
    const std::function<int(int)> celsius = [](int k) { return 40 + k * 13 % 37; };
    const int ticks = 700;
    for (int k = 0; k < ticks; ++k) {
        cpu->registers[msr::kAPerf] += 64 * uint64_t(multiplier(k)); // 16 x 64 / 1024 per step of the multiplier
        cpu->registers[msr::kMPerf] += 1024;
        cpu->registers[msr::kPackageThermStatus] = uint64_t{1} << 31 | uint64_t(100 - celsius(k)) << 16;
        perCPU->sample();
        metrics->sample();
    }
    NameValueItem item;
    item.resize(130, 35);
    const QRectF rect = item.graphRect();
    EXPECT_TRUE(QRectF(item.rect()).contains(rect));
    const std::tuple<const Channel*, int64_t, std::function<int(int)>> rows[] = {
        {perCPU.get(), 1, multiplier}, {metrics.get(), MetricsChannel::kPackageTemperature, celsius}};
    for (const auto& [channel, row, script] : rows) {
        item.setHistory(channel->sharedHistoryAt(row));
        const std::vector<QPointF> points = item.graphPoints();
        ASSERT_EQ(points.size(), kHistoryLength);
        const int oldest = ticks - static_cast<int>(kHistoryLength);
        int low = script(oldest), high = low;
        for (int k = oldest; k < ticks; ++k)
            std::tie(low, high) = std::make_pair(std::min(low, script(k)), std::max(high, script(k)));
        for (size_t i = 0; i < points.size(); ++i) {
            const double y = rect.bottom() - double(script(oldest + int(i)) - low) / (high - low) * rect.height();
            EXPECT_NEAR(points[i].x(), rect.left() + rect.width() * double(i) / (kHistoryLength - 1), 1e-9) << i;
            EXPECT_NEAR(points[i].y(), y, 1e-9) << "tick " << oldest + int(i);
        }
    }
    item.setHistory(std::make_shared<const History>(3, 7.0f));
    const std::vector<QPointF> flat = item.graphPoints();
    ASSERT_EQ(flat.size(), 3u);
    EXPECT_EQ(flat.back(), QPointF(rect.right(), rect.center().y())) << "the newest at the right, a constant midway";
    EXPECT_EQ(flat[0].y(), flat[1].y());
    item.setHistory(std::make_shared<const History>(1, 7.0f));
    EXPECT_TRUE(item.graphPoints().empty()) << "one point is no line";
}

TEST(RowGraphTest, TheDrawnLineCoversTheRowsItCrossesInEachColumnAndStaysConnected) {
    const QColor colour(10, 200, 30);
    struct Case {
        const char* why;
        std::vector<QPointF> points;
        std::vector<std::pair<int, int>> spans;   // per column: first and last row drawn, {-1,-1} none
    };
    const Case cases[] = {
        {"a diagonal covers the rows it crosses", {{0.5, 0.25}, {3.5, 3.25}}, {{0, 0}, {0, 1}, {1, 2}, {2, 3}, {-1, -1}}},
        {"a steep step fills its columns", {{0.5, 0.5}, {1.5, 3.5}, {2.5, 3.5}}, {{0, 2}, {2, 3}, {3, 3}, {-1, -1}, {-1, -1}}},
        {"points outside clamp to the edges", {{-3.0, -9.0}, {9.0, 99.0}}, {{0, 3}, {3, 3}, {3, 3}, {3, 3}, {3, 3}}},
    };
    for (Case c : cases) {
        for (QPointF& point : c.points)
            point += QPointF(10, 20);   // the area's corner
        const QImage image = RowGraph::draw(c.points, QRect(10, 20, 5, 4), colour);
        ASSERT_EQ(image.size(), QSize(5, 4));
        for (int x = 0; x < 5; ++x) {
            std::pair<int, int> span{-1, -1};
            for (int y = 0; y < 4; ++y) {
                if (image.pixel(x, y) == colour.rgba())
                    span = {span.first < 0 ? y : span.first, y};
                else
                    EXPECT_EQ(qAlpha(image.pixel(x, y)), 0) << c.why;
            }
            EXPECT_EQ(span, c.spans[size_t(x)]) << c.why << ", column " << x;
        }
    }
}

class WindowTest : public ::testing::Test {
protected:
    WindowTest() {
        window.resize(320, 400);
        controller->viewDidLoad();
        controller->addChannel(std::make_shared<RowsChannel>("E", 0));
        controller->addChannel(std::make_shared<RowsChannel>("A", 2, Size{260.0, 20.0}));
        controller->addChannel(std::make_shared<RowsChannel>("B", 1, Size{150.5, 30.0}));
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        settle();
    }
    void settle() {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    void tick() {
        center.post(AppDelegate::kTickNotification, this);
        settle();
    }
    void click(QPoint at) {
        QTest::mouseClick(window.content(), Qt::LeftButton, {}, at);
        settle();
    }
    void click(std::int64_t position) { click(window.rowGeometry(position).center()); }
    // The colour each row paints near its top-left corner, clear of the text.
    std::vector<QColor> painted() {
        std::vector<QColor> colours;
        for (std::int64_t i = 0; i < window.numberOfRows(); ++i)
            colours.push_back(window.rowWidget(i)->grab().toImage().pixelColor(1, 1));
        return colours;
    }

    QtCollectionView window;
    QtMainQueue mainQueue{&window};
    NotificationCenter center;
    std::shared_ptr<ViewController> controller = ViewController::create(center, mainQueue, window, testing::listOnly);
};

TEST_F(WindowTest, RowsTakeTheirChannelsSizesTopToBottomAndItemsAreReused) {
    ASSERT_EQ(window.numberOfRows(), 4);
    EXPECT_EQ(window.describe(), (std::vector<std::string>{
                                     "row 0 ChannelItem \"Hallo\" 200x47 at 0,0 visible default",
                                     "row 1 NameValueItem \"A0\" \"none\" 260x20 at 0,47 visible default",
                                     "row 2 NameValueItem \"A1\" \"none\" 260x21 at 0,67 visible default",
                                     "row 3 NameValueItem \"B0\" \"none\" 151x30 at 0,88 visible default"}));
    EXPECT_EQ(window.rowWidget(3)->geometry(), QRect(0, 88, window.viewport()->width(), 30)) << "as wide as the list";
    QWidget* const first = window.rowWidget(1);
    tick();
    EXPECT_EQ(window.rowWidget(1), first) << "items are reused";
    EXPECT_EQ(qobject_cast<NameValueItem*>(first)->valueText(), "pass 1");
}

TEST_F(WindowTest, ClicksPaintTheRowBlueAndThePreviousYellowARefreshKeepsTheSelectionATickDropsIt) {
    const QColor untouched = painted()[0]; // "default" in describe()
    click(1);
    EXPECT_EQ(window.selectionIndexPaths(), (IndexPathSet{{0, 1}}));
    EXPECT_EQ(painted(), (std::vector<QColor>{untouched, kBlue, untouched, untouched}));
    click(0);
    EXPECT_EQ(window.selectionIndexPaths(), (IndexPathSet{{0, 0}}));
    EXPECT_EQ(painted(), (std::vector<QColor>{kBlue, kYellow, untouched, untouched}));
    click(2);
    controller->refresh();
    EXPECT_EQ(window.selectionIndexPaths(), (IndexPathSet{{0, 2}}));
    EXPECT_EQ(painted()[2], kBlue);
    tick();
    EXPECT_TRUE(window.selectionIndexPaths().empty());
    EXPECT_FALSE(window.itemAt(2)->isSelected());
    EXPECT_EQ(painted()[2], kYellow);
    click(1);
    click(QPoint(5, window.rowGeometry(3).bottom() + 20));
    EXPECT_TRUE(window.selectionIndexPaths().empty()) << "a click beside the rows";
    EXPECT_EQ(painted()[1], kYellow);
}

}  // namespace
}  // namespace qarn

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
