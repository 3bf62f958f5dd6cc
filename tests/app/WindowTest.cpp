#include <QApplication>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include "TestChannels.h"
#include "items/ChannelItem.h"
#include "items/NameValueItem.h"
#include "platform/NotificationCenter.h"
#include "platform/QtMainQueue.h"
#include "shell/AppDelegate.h"
#include "shell/QtCollectionView.h"
#include "shell/ViewController.h"

namespace qarn {
namespace {

using testing::RowsChannel;

const QColor kBlue(0, 0, 255);
const QColor kYellow(255, 255, 0);

// The real window on the offscreen platform: the list widget, its controller, Qt's event queue
// as the main queue. Ticks are posted from this thread; the queued reloads run in
// processEvents().
class WindowTest : public ::testing::Test {
protected:
    WindowTest() {
        window.resize(320, 400);
        controller->viewDidLoad();
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

    void addRows() {
        controller->addChannel(std::make_shared<RowsChannel>("A", 2));
        settle();
    }

    void click(std::int64_t position) {
        QWidget* row = window.rowWidget(position);
        ASSERT_NE(row, nullptr);
        QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(row->width() / 2, row->height() / 2));
        settle();
    }

    QColor painted(std::int64_t position) {
        return window.rowWidget(position)->grab().toImage().pixelColor(1, 1);
    }

    QtCollectionView window;
    QtMainQueue mainQueue{&window};
    NotificationCenter center;
    std::shared_ptr<ViewController> controller = ViewController::create(center, mainQueue, window, testing::listOnly());
};

TEST_F(WindowTest, ShowsTheHeaderRowAt200By47) {
    ASSERT_EQ(window.numberOfRows(), 1);
    auto* header = qobject_cast<ChannelItem*>(window.rowWidget(0));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->titleField()->text(), "Hallo");
    EXPECT_TRUE(header->isVisible());
    EXPECT_EQ(header->geometry(), QRect(0, 0, 200, 47));
    EXPECT_FALSE(header->autoFillBackground());   // default background: nothing selected yet
}

TEST_F(WindowTest, RowsTakeTheirChannelsSizesAndItemsAreReused) {
    controller->addChannel(std::make_shared<RowsChannel>("E", 0));
    controller->addChannel(std::make_shared<RowsChannel>("A", 2, Size{260.0, 20.0}));
    controller->addChannel(std::make_shared<RowsChannel>("B", 1, Size{150.5, 30.0}));
    settle();

    ASSERT_EQ(window.numberOfRows(), 4);
    EXPECT_EQ(window.rowGeometry(1), QRect(0, 47, 260, 20));
    EXPECT_EQ(window.rowGeometry(2), QRect(0, 67, 260, 21));
    EXPECT_EQ(window.rowGeometry(3), QRect(0, 88, 151, 30));   // rounded to whole pixels
    auto* firstOfA = qobject_cast<NameValueItem*>(window.rowWidget(1));
    auto* firstOfB = qobject_cast<NameValueItem*>(window.rowWidget(3));
    ASSERT_NE(firstOfA, nullptr);
    ASSERT_NE(firstOfB, nullptr);
    EXPECT_EQ(firstOfA->titleField()->text(), "A0");
    EXPECT_EQ(firstOfB->titleField()->text(), "B0");
    EXPECT_EQ(firstOfA->geometry(), window.rowGeometry(1));

    const std::vector<QWidget*> before{window.rowWidget(0), window.rowWidget(1), window.rowWidget(2),
                                       window.rowWidget(3)};
    tick();
    EXPECT_EQ(firstOfA->valueField()->text(), "pass 1");
    for (std::int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(window.rowWidget(i), before[static_cast<std::size_t>(i)]) << "row " << i << " was not reused";
}

TEST_F(WindowTest, ClickPaintsTheRowBlueAndThePreviousOneYellow) {
    addRows();
    ASSERT_EQ(window.numberOfRows(), 3);
    const QColor untouched = painted(0);

    click(1);
    EXPECT_EQ(window.selectionIndexPaths(), (IndexPathSet{{0, 1}}));
    EXPECT_EQ(painted(1), kBlue);
    EXPECT_EQ(painted(2), untouched);

    click(2);
    EXPECT_EQ(window.selectionIndexPaths(), (IndexPathSet{{0, 2}}));
    EXPECT_EQ(painted(2), kBlue);
    EXPECT_EQ(painted(1), kYellow);
    EXPECT_EQ(painted(0), untouched);   // never selected: still the default

    // Selecting changes nothing in the list itself.
    EXPECT_EQ(window.numberOfRows(), 3);
    EXPECT_EQ(qobject_cast<NameValueItem*>(window.rowWidget(2))->titleField()->text(), "A1");
}

TEST_F(WindowTest, RefreshKeepsTheSelectionButATickReloadDropsIt) {
    addRows();
    click(1);

    controller->refresh();
    EXPECT_EQ(window.selectionIndexPaths(), (IndexPathSet{{0, 1}}));
    EXPECT_EQ(painted(1), kBlue);

    tick();
    EXPECT_TRUE(window.selectionIndexPaths().empty());
    EXPECT_FALSE(window.itemAt(1)->isSelected());
    EXPECT_EQ(painted(1), kYellow);
}

TEST_F(WindowTest, ClickBesideTheRowsClearsTheSelection) {
    addRows();
    click(2);
    QTest::mouseClick(window.content(), Qt::LeftButton, {}, QPoint(5, window.rowGeometry(2).bottom() + 20));
    settle();
    EXPECT_TRUE(window.selectionIndexPaths().empty());
    EXPECT_EQ(painted(2), kYellow);
}

TEST_F(WindowTest, DescribesWhatItShows) {
    addRows();
    click(1);
    const auto lines = window.describe();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "row 0 ChannelItem \"Hallo\" 200x47 at 0,0 visible default");
    EXPECT_EQ(lines[1], "row 1 NameValueItem \"A0\" \"none\" 240x22 at 0,47 visible blue");
    EXPECT_EQ(lines[2], "row 2 NameValueItem \"A1\" \"none\" 240x23 at 0,69 visible default");
}

}  // namespace
}  // namespace qarn
