#include <gtest/gtest.h>

#include <sstream>

#include "TestChannels.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "shell/AppDelegate.h"
#include "shell/TextCollectionView.h"
#include "shell/ViewController.h"

namespace qarn {
namespace {

using testing::RowsChannel;
using Lines = std::vector<std::string>;

// The controller on the text list, with this thread as both the main and the tick thread: ticks
// are posted by hand, and queued reloads run when the test runs the main queue.
class ViewControllerTest : public ::testing::Test {
protected:
    ViewControllerTest() {
        controller->viewDidLoad();
        mainQueue.runPending();
    }

    void tick() { center.post(AppDelegate::kTickNotification, this); }

    ChannelItemIndex map(std::int64_t position) const { return controller->channelItemIndexFor({0, position}); }

    RunLoop mainQueue;
    TextCollectionView list;
    NotificationCenter center;
    std::shared_ptr<ViewController> controller = ViewController::create(center, mainQueue, list, testing::listOnly());
};

TEST_F(ViewControllerTest, StartsWithTheHeaderRowAndObservesTicks) {
    EXPECT_EQ(list.lines(), Lines{"Hallo"});
    EXPECT_EQ(center.observerCount("QXNSApp"), 1u);
    EXPECT_EQ(controller->numberOfSections(list), 1);
    EXPECT_EQ(controller->sizeForItemAt(list, {0, 0}), (Size{200.0, 47.0}));
}

TEST_F(ViewControllerTest, MappingSkipsEmptyChannelsAndStartsEachChannelAtItsFirstRow) {
    controller->addChannel(std::make_shared<RowsChannel>("E", 0));
    controller->addChannel(std::make_shared<RowsChannel>("A", 3));
    controller->addChannel(std::make_shared<RowsChannel>("B", 2));
    mainQueue.runPending();

    EXPECT_EQ(map(0), (ChannelItemIndex{0, 0}));
    EXPECT_EQ(map(1), (ChannelItemIndex{2, 0}));   // channel 1 has no rows
    EXPECT_EQ(map(3), (ChannelItemIndex{2, 2}));
    EXPECT_EQ(map(4), (ChannelItemIndex{3, 0}));
    EXPECT_EQ(map(5), (ChannelItemIndex{3, 1}));
    EXPECT_EQ(map(6), (ChannelItemIndex{4, 0}));   // past the end: channel count, remainder
    EXPECT_EQ(map(9), (ChannelItemIndex{4, 3}));

    EXPECT_EQ(controller->numberOfItemsInChannels(0), 0);
    EXPECT_EQ(controller->numberOfItemsInChannels(2), 1);
    EXPECT_EQ(controller->numberOfItemsInChannels(3), 4);
    EXPECT_EQ(controller->numberOfItemsInChannels(100), 6);
    EXPECT_EQ(controller->numberOfItemsInChannels(-1), 6);   // compared as unsigned
    EXPECT_EQ(controller->numberOfItemsInSection(list, 0), 6);

    EXPECT_EQ(list.lines(), (Lines{"Hallo", "  A0  none", "  A1  none", "  A2  none", "  B0  none", "  B1  none"}));
    EXPECT_EQ(controller->sizeForItemAt(list, {0, 3}), (Size{240.0, 24.0}));
    EXPECT_EQ(controller->sizeForItemAt(list, {0, 4}), (Size{240.0, 22.0}));
}

TEST_F(ViewControllerTest, PositionsPastTheEndHaveNoItemAndNoSize) {
    EXPECT_EQ(controller->itemForRepresentedObjectAt(list, {0, 1}), nullptr);
    EXPECT_EQ(controller->itemForRepresentedObjectAt(list, {0, -1}), nullptr);
    EXPECT_EQ(controller->sizeForItemAt(list, {0, 1}), (Size{}));
}

TEST_F(ViewControllerTest, TickSamplesInListOrderAndTheListChangesOnlyWhenTheMainQueueRuns) {
    std::vector<std::string> journal;
    controller->addChannel(std::make_shared<RowsChannel>("A", 1, Size{240.0, 22.0}, &journal));
    controller->addChannel(std::make_shared<RowsChannel>("B", 1, Size{240.0, 22.0}, &journal));
    mainQueue.runPending();
    const Lines before{"Hallo", "  A0  none", "  B0  none"};
    ASSERT_EQ(list.lines(), before);

    tick();
    EXPECT_EQ(journal, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(list.lines(), before);   // the tick only queued the reload
    EXPECT_EQ(mainQueue.runPending(), 1u);
    EXPECT_EQ(list.lines(), (Lines{"Hallo", "  A0  pass 1", "  B0  pass 1"}));

    // Two ticks before the main thread gets round: both reloads show the newest pass.
    tick();
    tick();
    mainQueue.runPending();
    EXPECT_EQ(list.lines(), (Lines{"Hallo", "  A0  pass 3", "  B0  pass 3"}));
}

TEST_F(ViewControllerTest, AddChannelAnswersTheChannelAndRefusesNull) {
    auto channel = std::make_shared<RowsChannel>("A", 1);
    EXPECT_EQ(controller->addChannel(channel), channel);
    EXPECT_EQ(controller->addChannel(nullptr), nullptr);
    mainQueue.runPending();
    EXPECT_EQ(controller->numberOfItemsInChannels(ViewController::kMaxChannels), 2);
}

TEST_F(ViewControllerTest, RowOfAnUnknownItemKindStaysEmpty) {
    auto odd = std::make_shared<RowsChannel>("X", 1);
    odd->identifier = "NoSuchItem";
    controller->addChannel(odd);
    controller->addChannel(std::make_shared<RowsChannel>("B", 1));
    mainQueue.runPending();
    EXPECT_EQ(list.lines(), (Lines{"Hallo", "", "  B0  none"}));
}

TEST_F(ViewControllerTest, TextListAlignsValuesAfterTheLongestNameCountingCharactersNotBytes) {
    controller->addChannel(std::make_shared<RowsChannel>("Package", 1));
    controller->addChannel(std::make_shared<RowsChannel>("C", 1));
    controller->addChannel(std::make_shared<RowsChannel>("\u00b0C", 1));   // two characters, three bytes
    mainQueue.runPending();
    std::ostringstream out;
    list.print(out);
    EXPECT_EQ(out.str(), "Hallo\n  Package0  none\n  C0        none\n  \u00b0C0       none\n\n");
}

TEST_F(ViewControllerTest, TicksAfterTheControllerIsGoneReachNothing) {
    std::weak_ptr<ViewController> weak = controller;
    controller.reset();
    mainQueue.runPending();
    ASSERT_TRUE(weak.expired());
    tick();   // the observer is still registered; it must not touch the freed controller
    EXPECT_EQ(mainQueue.runPending(), 0u);
}

}  // namespace
}  // namespace qarn
