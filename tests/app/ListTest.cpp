// The monitor's list: the controller on the text list (this thread as both the main and the tick
// thread, ticks posted by hand, queued reloads run when the test runs the main queue), the items
// that show a row, the real window on Qt's offscreen platform (also when CTest lists the tests,
// without their environment; Qt's event queue is the main queue, reloads run in processEvents()).
// The command line, and when a window can be shown, are checked on the program (CMakeLists.txt).

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <gtest/gtest.h>
#include <sstream>
#include "TestChannels.h"
#include "items/ChannelItem.h"
#include "items/NameValueItem.h"
#include "platform/NotificationCenter.h"
#include "platform/QtMainQueue.h"
#include "platform/RunLoop.h"
#include "shell/AppDelegate.h"
#include "shell/QtCollectionView.h"
#include "shell/TextCollectionView.h"

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
    EXPECT_EQ(row.titleField()->text() + "/" + row.valueField()->text(), "Cores/4");
    row.setRepresentedObject(Dictionary{{"Name", "Threads"}});
    EXPECT_EQ(row.titleField()->text() + "/" + row.valueField()->text(), "Threads/");
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
    EXPECT_EQ(window.rowWidget(3)->geometry(), QRect(0, 88, 151, 30));
    QWidget* const first = window.rowWidget(1);
    tick();
    EXPECT_EQ(window.rowWidget(1), first) << "items are reused";
    EXPECT_EQ(qobject_cast<NameValueItem*>(first)->valueField()->text(), "pass 1");
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
