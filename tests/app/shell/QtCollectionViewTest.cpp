// The window's list on Qt's offscreen platform: its rows grow with the window and keep their
// heights, it is put back where it was closed, it repaints its items in colours the user
// changed, and its context menu opens the preferences. Stores live in a temporary directory.

#include "shell/QtCollectionView.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "items/ItemBackground.h"
#include "platform/NotificationCenter.h"
#include "platform/QtMainQueue.h"
#include "prefs/PreferencesWindow.h"
#include "prefs/UserDefaults.h"
#include "tests/app/TestChannels.h"
#include "tests/app/prefs/OffscreenApplication.h"

namespace qarn {
namespace {

class ListWindowTest : public ::testing::Test {
protected:
    ListWindowTest() {
        testing::redirectSettings(dir);
        window.resize(320, 400);
        controller->viewDidLoad();
        controller->addChannel(std::make_shared<testing::RowsChannel>("A", 2, Size{260.0, 20.0}));
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        settle();
    }
    ~ListWindowTest() override { ItemBackground::useBuiltInColors(); }
    static void settle() {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    std::vector<QRect> rowWidgets() const {
        std::vector<QRect> rects;
        for (std::int64_t i = 0; i < window.numberOfRows(); ++i)
            rects.push_back(window.rowWidget(i)->geometry());
        return rects;
    }

    QApplication& application = testing::offscreenApplication();
    QTemporaryDir dir;
    QtCollectionView window;
    QtMainQueue mainQueue{&window};
    NotificationCenter center;
    std::shared_ptr<ViewController> controller = ViewController::create(center, mainQueue, window, testing::listOnly);
};

TEST_F(ListWindowTest, RowsGrowWithTheWindowKeepingTheirHeights) {
    ASSERT_EQ(window.numberOfRows(), 3);
    const std::vector<std::string> described = window.describe();
    for (const int width : {600, 320, 150, 900}) {
        window.resize(width, 400);
        settle();
        const int wide = std::max(260, window.viewport()->width()); // the widest row's own width at least
        EXPECT_EQ(rowWidgets(), (std::vector<QRect>{{0, 0, wide, 47}, {0, 47, wide, 20}, {0, 67, wide, 21}}))
            << width;
        EXPECT_EQ(window.horizontalScrollBar()->maximum() > 0, wide > window.viewport()->width()) << width;
        EXPECT_EQ(window.describe(), described) << "rows as their channels size them";
    }
    QTest::mouseClick(window.content(), Qt::LeftButton, {}, QPoint(800, 50));
    EXPECT_EQ(window.selectionIndexPaths(), (IndexPathSet{{0, 1}})) << "far right, on a widened row";
}

TEST_F(ListWindowTest, TheWindowIsPutBackWhereItWasClosed) {
    auto store = std::make_shared<QSettings>(dir.path() + "/geometry.ini", QSettings::IniFormat);
    window.rememberGeometry(store);
    EXPECT_EQ(window.size(), QSize(320, 400)) << "nothing saved: as it was";
    window.setGeometry(40, 60, 500, 300);
    settle();
    const QRect closedAt = window.geometry();
    window.close();
    EXPECT_TRUE(store->contains(QtCollectionView::kGeometryKey));

    QtCollectionView again;
    again.resize(320, 400);
    again.rememberGeometry(std::make_shared<QSettings>(store->fileName(), QSettings::IniFormat));
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(again.geometry(), closedAt);
}

TEST_F(ListWindowTest, ItemsTakeTheColoursTheUserChose) {
    QTest::mouseClick(window.content(), Qt::LeftButton, {}, window.rowGeometry(1).center());
    QTest::mouseClick(window.content(), Qt::LeftButton, {}, window.rowGeometry(2).center());
    EXPECT_EQ(window.describe()[1].substr(window.describe()[1].rfind(' ')), " yellow");
    const QColor selected(20, 200, 120), unselected(90, 10, 10);
    UserDefaults defaults = UserDefaults::standard();
    defaults.setColor(selected, ItemBackground::kSelectedKey);
    defaults.setColor(unselected, ItemBackground::kUnselectedKey);
    ItemBackground::loadStoredColors();
    window.reapplyColors();
    const auto painted = [&](std::int64_t row) { return window.rowWidget(row)->grab().toImage().pixelColor(1, 1); };
    EXPECT_EQ(painted(0), window.palette().color(QPalette::Window)) << "never selected: the default";
    EXPECT_EQ(painted(1), unselected);
    EXPECT_EQ(painted(2), selected);
    EXPECT_EQ(window.describe()[2].substr(window.describe()[2].rfind(' ')), " " + selected.name().toStdString());
}

TEST_F(ListWindowTest, TheContextMenuOnTheRowsOpensThePreferences) {
    int opened = 0;
    PreferencesWindow::addOpenAction(window, [&] { ++opened; });
    QStringList offered;
    QTimer::singleShot(0, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* action : menu->actions())
                offered << action->text();
            menu->actions().front()->trigger();
            menu->close();
        }
    });
    const QPoint at = window.rowGeometry(1).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, window.content()->mapToGlobal(at));
    QApplication::sendEvent(window.content(), &event);
    EXPECT_EQ(offered, QStringList{"Preferences…"});
    EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace qarn

// Fonts loaded by the first widget stay with fontconfig's cache for good: not ours to free.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
