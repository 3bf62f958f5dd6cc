// The cooler curve editor: its model keeps every edit a curve the cooler takes, and the widget
// maps drags, double-clicks and right-clicks onto it (offscreen, QTest mouse events).

#include "prefs/CurveEditor.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <random>

#include "OffscreenApplication.h"

namespace qarn {
namespace {

using Points = std::vector<CurvePoint>;

bool takenByTheCooler(const CoolerCurve& curve) {
    std::string error;
    return CoolerSettings::parseCurve(CoolerSettings::formatCurve(curve), error) && curve.size() % 2 == 0;
}

TEST(CurveModel, TakesOnlyCurvesTheCoolerTakesAndGivesThemBack) {
    CurveModel model;
    const CoolerCurve valid{20, 40, 60, 30, 50, 100};
    ASSERT_TRUE(model.setCurve(valid));
    EXPECT_EQ(model.points(), (Points{{20, 30}, {40, 50}, {60, 100}}));
    EXPECT_EQ(model.curve(), valid);
    CoolerCurve seventeen;
    for (int i = 0; i < 17; ++i)
        seventeen.insert(seventeen.begin() + i, i);
    seventeen.insert(seventeen.end(), 17, 50);
    for (const CoolerCurve& invalid : {CoolerCurve{}, CoolerCurve{30}, CoolerCurve{40, 30, 1, 2},
                                       CoolerCurve{30, 101}, CoolerCurve{151, 10}, CoolerCurve{-1, 10}, seventeen})
        EXPECT_FALSE(model.setCurve(invalid)) << CoolerSettings::formatCurve(invalid);
    EXPECT_EQ(model.curve(), valid) << "unchanged";
}

TEST(CurveModel, APointMovesOnlyBetweenItsNeighboursAndWithinTheRanges) {
    struct Case {
        std::size_t index;
        CurvePoint wanted, got;
    };
    const Case cases[] = {{1, {50, 70}, {50, 70}},  {1, {10, 50}, {21, 50}},   {1, {80, 50}, {59, 50}},
                          {0, {-5, 120}, {0, 100}}, {2, {200, -3}, {150, 0}}, {0, {20, 30}, {20, 30}}};
    for (const Case& c : cases) {
        CurveModel model;
        model.setCurve({20, 40, 60, 30, 50, 100});
        QSignalSpy edited(&model, &CurveModel::edited);
        EXPECT_EQ(model.movePoint(c.index, c.wanted.temperature, c.wanted.setting), c.got) << c.index;
        EXPECT_EQ(model.points()[c.index], c.got) << c.index;
        EXPECT_EQ(edited.count(), (c.got == CurvePoint{20, 30} ? 0 : 1)) << "an edit only when something moved";
    }
}

TEST(CurveModel, PointsAreAddedInOrderWhereThereIsRoomAndTheLastOneStays) {
    CurveModel model;
    model.setCurve({20, 60, 30, 100});
    EXPECT_EQ(model.addPoint(40, 120), 1u);
    EXPECT_EQ(model.addPoint(0, 10), 0u);
    EXPECT_EQ(model.points(), (Points{{0, 10}, {20, 30}, {40, 100}, {60, 100}}));
    for (const CurvePoint refused : {CurvePoint{40, 5}, CurvePoint{151, 5}, CurvePoint{-1, 5}})
        EXPECT_FALSE(model.addPoint(refused.temperature, refused.setting)) << refused.temperature;
    for (int t = 61; model.points().size() < CoolerSettings::kMaxPoints; ++t)
        ASSERT_TRUE(model.addPoint(t, 50));
    EXPECT_FALSE(model.addPoint(150, 50)) << "full";
    while (model.removePoint(0)) {
    }
    EXPECT_EQ(model.points(), (Points{{72, 50}}));
    EXPECT_FALSE(model.removePoint(5));
}

TEST(CurveModel, AnySequenceOfEditsLeavesACurveTheCoolerTakes) {
    std::mt19937 random(1602);
    std::uniform_int_distribution<int> action(0, 2), temperature(-20, 170), setting(-20, 120), index(0, 17);
    CurveModel model;
    for (int step = 0; step < 3000; ++step) {
        switch (action(random)) {
        case 0:
            model.movePoint(static_cast<std::size_t>(index(random)), temperature(random), setting(random));
            break;
        case 1:
            model.addPoint(temperature(random), setting(random));
            break;
        default:
            model.removePoint(static_cast<std::size_t>(index(random)));
        }
        ASSERT_TRUE(takenByTheCooler(model.curve())) << "step " << step << ": " << CoolerSettings::formatCurve(model.curve());
    }
}

class CurveEditorTest : public ::testing::Test {
protected:
    CurveEditorTest() {
        editor.resize(420, 220);
        editor.model().setCurve({30, 60, 20, 80});
        editor.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&editor));
    }
    QPoint at(CurvePoint point) const { return editor.pixelFor(point); }

    QApplication& application = testing::offscreenApplication();
    CurveEditor editor;
    QSignalSpy edits{&editor, &CurveEditor::curveEdited};
};

TEST_F(CurveEditorTest, PixelsAndPointsMapBothWays) {
    for (const CurvePoint point : {CurvePoint{0, 0}, CurvePoint{37, 64}, CurvePoint{100, 100}})
        EXPECT_EQ(editor.pointAt(at(point)), point);
    EXPECT_EQ(editor.pointAt({-50, -50}), (CurvePoint{0, 100})) << "outside the axes: their edge";
    EXPECT_EQ(editor.pointNear(at({31, 21})), 0u);
    EXPECT_FALSE(editor.pointNear(at({45, 50})));
}

TEST_F(CurveEditorTest, ADraggedPointFollowsThePointerAndTheCurveIsEditedOnceOnRelease) {
    QTest::mousePress(&editor, Qt::LeftButton, {}, at({60, 80}));
    QTest::mouseMove(&editor, at({52, 90}));
    QTest::mouseMove(&editor, at({50, 95}));
    EXPECT_EQ(editor.model().points().back(), (CurvePoint{50, 95}));
    EXPECT_EQ(edits.count(), 0) << "not while dragging";
    QTest::mouseRelease(&editor, Qt::LeftButton, {}, at({50, 95}));
    ASSERT_EQ(edits.count(), 1);
    EXPECT_EQ(edits.at(0).at(0).value<CoolerCurve>(), (CoolerCurve{30, 50, 20, 95}));

    QTest::mousePress(&editor, Qt::LeftButton, {}, at({30, 20}));
    QTest::mouseMove(&editor, at({90, 20}));
    QTest::mouseRelease(&editor, Qt::LeftButton, {}, at({90, 20}));
    EXPECT_EQ(editor.model().points().front(), (CurvePoint{49, 20})) << "stops before its neighbour";
    QTest::mouseClick(&editor, Qt::LeftButton, {}, at({49, 20}));
    EXPECT_EQ(edits.count(), 2) << "a click without a move edits nothing";
}

TEST_F(CurveEditorTest, DoubleClicksAddAndRemovePointsRightClicksRemoveThemAndOneStays) {
    QTest::mouseDClick(&editor, Qt::LeftButton, {}, at({80, 40}));
    EXPECT_EQ(editor.model().points(), (Points{{30, 20}, {60, 80}, {80, 40}}));
    QTest::mouseDClick(&editor, Qt::LeftButton, {}, at({60, 80}));
    EXPECT_EQ(editor.model().points(), (Points{{30, 20}, {80, 40}}));
    QTest::mouseClick(&editor, Qt::RightButton, {}, at({30, 20}));
    EXPECT_EQ(editor.model().points(), (Points{{80, 40}}));
    ASSERT_EQ(edits.count(), 3);
    EXPECT_EQ(edits.back().at(0).value<CoolerCurve>(), (CoolerCurve{80, 40}));
    QTest::mouseClick(&editor, Qt::RightButton, {}, at({80, 40}));
    QTest::mouseDClick(&editor, Qt::LeftButton, {}, at({80, 40}));
    EXPECT_EQ(editor.model().points(), (Points{{80, 40}})) << "the last point stays";
    EXPECT_EQ(edits.count(), 3);
}

}  // namespace
}  // namespace qarn

// Fonts loaded by the first widget stay with fontconfig's cache for good: not ours to free.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
