// The preferences window (offscreen) against a simulated Kraken X31 behind a real cooler
// controller: edits reach the cooler and the store at once, the store is what a cooler gets when
// it appears, and the colours chosen survive a restart. Stores live in a temporary directory.

#include "prefs/PreferencesWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>

#include "OffscreenApplication.h"
#include "cooler/CoolerController.h"
#include "items/ItemBackground.h"
#include "platform/RunLoop.h"
#include "prefs/CurveEditor.h"
#include "prefs/UserDefaults.h"
#include "sim/SimulatedKrakenX31.h"
#include "sim/SimulatedUSBBus.h"

namespace qarn {
namespace {

class PreferencesWindowTest : public ::testing::Test {
protected:
    PreferencesWindowTest() {
        testing::offscreenApplication();
        testing::redirectSettings(dir);
    }
    ~PreferencesWindowTest() override {
        window.reset();
        controller.reset();
        ItemBackground::useBuiltInColors();
    }
    void start() {
        CoolerController::Options options;
        options.interval = std::chrono::hours(1); // cycles run when the test says
        options.cpuTemperature = [this] { return std::optional<int64_t>(cpu.load()); };
        options.storedSetup = [this] { return settings.load(); };
        options.fullPower = [this] { return settings.fullPower(); };
        options.now = [this] { return clock.monotonicNanoseconds() / 1e9; };
        controller = std::make_unique<CoolerController>(bus, loop, options);
        loop.runPending();
        controller->cycleNow();
    }
    void open() {
        window = std::make_unique<PreferencesWindow>(controller.get(), settings);
        window->resize(480, 640);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    static std::optional<int> degrees(int64_t value) { return static_cast<int>(value); }

    QTemporaryDir dir;
    CoolerSettings settings{dir.path() + "/cooler.ini"};
    vennix::ManualClock clock;
    sim::SimulatedUSBBus bus;
    RunLoop loop;
    std::atomic<int64_t> cpu{45};
    std::unique_ptr<CoolerController> controller;
    std::unique_ptr<PreferencesWindow> window;
};

TEST_F(PreferencesWindowTest, EditsReachTheCoolerAtOnceAndAreStored) {
    const CoolerCurve fanCurve{30, 60, 20, 80}, pumpCurve{30, 50, 30, 90};
    settings.setFanCurve(fanCurve);
    settings.setPumpCurve(pumpCurve);
    settings.setFanFollowsCPU(true);
    auto kraken = std::make_shared<sim::SimulatedKrakenX31>(clock);
    bus.plug(kraken);
    start();
    const CoolerStatus before = controller->status();
    ASSERT_TRUE(before.attached);
    ASSERT_EQ(kraken->fanSetting(), Asetek::valueForArray(&fanCurve, 45));
    open();
    ASSERT_TRUE(window->coolerGroup()->isVisible());
    CurveEditor& fan = *window->fanEditor();
    EXPECT_EQ(fan.model().curve(), fanCurve);
    EXPECT_EQ(window->pumpEditor()->model().curve(), pumpCurve);
    EXPECT_EQ(fan.model().currentTemperature(), 45) << "the fan follows the CPU";
    EXPECT_EQ(window->pumpEditor()->model().currentTemperature(), degrees(before.liquidTemperature));

    QTest::mousePress(&fan, Qt::LeftButton, {}, fan.pixelFor({60, 80}));
    QTest::mouseMove(&fan, fan.pixelFor({50, 100}));
    QTest::mouseRelease(&fan, Qt::LeftButton, {}, fan.pixelFor({50, 100}));
    controller->cycleNow();
    const CoolerCurve dragged{30, 50, 20, 100};
    EXPECT_EQ(settings.load().fanCurve, dragged);
    EXPECT_EQ(controller->status().setup.fanCurve, dragged);
    EXPECT_EQ(kraken->fanSetting(), Asetek::valueForArray(&dragged, 45));
    EXPECT_NE(kraken->fanSetting(), before.fanSetting);

    const int pumpOnLiquid = kraken->pumpSetting();
    window->pumpFollowsBox()->click();
    controller->cycleNow();
    EXPECT_TRUE(settings.load().pumpFollowsCPU && controller->status().setup.pumpFollowsCPU);
    EXPECT_EQ(kraken->pumpSetting(), Asetek::valueForArray(&pumpCurve, 45));
    EXPECT_NE(kraken->pumpSetting(), pumpOnLiquid);
    EXPECT_EQ(window->pumpEditor()->model().currentTemperature(), 45) << "the pump's marker moves to the CPU";

    window->fullPowerBox()->click();
    EXPECT_TRUE(settings.fullPower());
    controller->cycleNow();
    window->refreshCooler();
    EXPECT_EQ(kraken->fanSetting(), 100) << "as if the CPU were at 90 °C";
    EXPECT_EQ(fan.model().currentTemperature(), 90);
    EXPECT_TRUE(window->coolerState()->text().contains("CPU 90 °C")) << window->coolerState()->text().toStdString();
}

TEST_F(PreferencesWindowTest, WithoutACoolerTheCurvesAreStoredAndSentToOneThatAppears) {
    start();
    open();
    EXPECT_FALSE(window->coolerGroup()->isVisible()) << "no cooler known yet";
    auto first = std::make_shared<sim::SimulatedKrakenX31>(clock);
    const USBDeviceId id = bus.plug(first);
    loop.runPending();
    controller->cycleNow();
    window->refreshCooler();
    ASSERT_TRUE(window->coolerGroup()->isVisible());
    EXPECT_EQ(window->fanEditor()->model().curve(), CoolerSetup{}.fanCurve);
    window->fanFollowsBox()->click();

    ASSERT_EQ(window->fanEditor()->model().addPoint(60, 100), 1u);
    controller->cycleNow();
    const CoolerCurve added{30, 60, 25, 100};
    EXPECT_EQ(first->fanSetting(), Asetek::valueForArray(&added, 45));
    bus.pull(id);
    loop.runPending();
    controller->cycleNow();
    window->refreshCooler();
    EXPECT_TRUE(window->coolerGroup()->isVisible()) << "its setup is stored";
    EXPECT_FALSE(window->fanEditor()->model().currentTemperature());

    window->fanEditor()->model().movePoint(1, 40, 100);
    const CoolerCurve moved{30, 40, 25, 100};
    EXPECT_EQ(settings.load().fanCurve, moved);
    window.reset();
    open();
    EXPECT_TRUE(window->coolerGroup()->isVisible()) << "a stored setup makes the cooler known";
    EXPECT_EQ(window->fanEditor()->model().curve(), moved);
    auto second = std::make_shared<sim::SimulatedKrakenX31>(clock);
    bus.plug(second);
    loop.runPending();
    controller->cycleNow();
    EXPECT_EQ(second->fanSetting(), Asetek::valueForArray(&moved, 45));
}

TEST_F(PreferencesWindowTest, ColoursChosenInTheWindowSurviveARestart) {
    PreferencesWindow preferences(nullptr, settings);
    QSignalSpy changed(&preferences, &PreferencesWindow::coloursChanged);
    struct Case {
        PreferencesWindow::Colour which;
        const char* key;
        QColor colour;
        QColor (*used)();
    };
    const Case cases[] = {
        {PreferencesWindow::Colour::Selected, "SelectedColor", QColor(10, 20, 30), &ItemBackground::selected},
        {PreferencesWindow::Colour::Unselected, "UnselectedColor", QColor(200, 100, 0), &ItemBackground::deselected},
        {PreferencesWindow::Colour::Graph, "GraphColor", QColor(0, 128, 64), &ItemBackground::graph}};
    for (const Case& c : cases) {
        preferences.setColour(c.which, c.colour);
        EXPECT_EQ(c.used(), c.colour) << c.key << " at once";
        EXPECT_EQ(preferences.colourButton(c.which)->text(), c.colour.name());
    }
    EXPECT_EQ(changed.count(), 3);

    ItemBackground::useBuiltInColors(); // the monitor quits and starts again
    QSettings store(UserDefaults::kOrganization, UserDefaults::kApplication);
    const UserDefaults fresh(store);
    ItemBackground::loadStoredColors();
    for (const Case& c : cases) {
        EXPECT_EQ(fresh.colorForKey(c.key), c.colour) << c.key;
        EXPECT_EQ(c.used(), c.colour) << c.key;
    }

    preferences.restoreDefaultColours();
    EXPECT_EQ(changed.count(), 4);
    EXPECT_EQ(ItemBackground::selected(), ItemBackground::builtInSelected());
    EXPECT_EQ(ItemBackground::graph(), ItemBackground::builtInGraph());
    EXPECT_FALSE(UserDefaults(store).colorForKey("SelectedColor"));
}

TEST_F(PreferencesWindowTest, TheShortcutOpensThePreferences) {
    QWidget main;
    int opened = 0;
    QAction* action = PreferencesWindow::addOpenAction(main, [&] { ++opened; });
    ASSERT_FALSE(action->shortcuts().isEmpty());
    EXPECT_TRUE(main.actions().contains(action) && main.contextMenuPolicy() == Qt::ActionsContextMenu)
        << "also in the window's context menu";
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    QTest::keySequence(&main, action->shortcuts().front());
    EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace qarn
