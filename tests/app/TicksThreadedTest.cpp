// The tick thread on a clock of the test's own, the notification centre it posts through, and the
// controller with a real tick thread and on the embedded CPU service.

#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include "TestChannels.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "shell/AppDelegate.h"
#include "shell/TextCollectionView.h"

namespace qarn {
namespace {

using Seconds = std::chrono::duration<double>;
using Strings = std::vector<std::string>;

// Sleeping advances the clock, and so does an observer that "takes" time.
TEST(AppDelegateTest, EachTickPostsFromTheDelegatesOneThreadAndThenSleepsTheInterval) {
    NotificationCenter center;
    double now = 0.0; // tick thread only, read after it has ended
    std::vector<double> started;
    std::thread::id tickThread;
    AppDelegate delegate(center, [&](Seconds interval) { now += interval.count(); });
    center.addObserver("QXNSApp", [&](const Notification& notification) {
        EXPECT_EQ(notification.object, &delegate);
        tickThread = std::this_thread::get_id();
        started.push_back(now);
        now += started.size() == 2 ? 0.25 : 0.0; // one pass slower than the interval
        if (started.size() == 3)
            delegate.stop(); // from the tick thread itself: ends the loop without waiting for it
    });
    delegate.applicationDidFinishLaunching();
    delegate.applicationDidFinishLaunching(); // one tick thread
    delegate.applicationWillTerminate();      // takes no tick-related action
    delegate.waitUntilStopped();
    EXPECT_FALSE(delegate.isTicking());
    EXPECT_NE(tickThread, std::this_thread::get_id());
    EXPECT_EQ(started, (std::vector<double>{0.0, 0.1, 0.1 + 0.25 + 0.1})) << "the interval follows the post";
    EXPECT_DOUBLE_EQ(now, 0.55) << "and follows the last post too";
}

TEST(NotificationCenterTest, APostRunsTheNamesObserversInOrderAndOnesAddedMeanwhileFromTheNext) {
    NotificationCenter center;
    Strings calls;
    const int sender = 0;
    center.post("tick", nullptr); // reaches nobody, and is not kept for later observers
    center.addObserver("tick", [&](const Notification& n) {
        calls.push_back(n.name == "tick" && n.object == &sender ? "first" : "first ?");
        if (calls.size() == 1)
            center.addObserver("tick", [&](const Notification&) { calls.push_back("added"); });
    });
    center.addObserver("other", [&](const Notification&) { calls.push_back("other"); });
    center.addObserver("tick", [&](const Notification&) { calls.push_back("second"); });
    center.addObserver("tick", nullptr); // ignored
    center.post("tick", &sender);
    center.post("tick", &sender);
    EXPECT_EQ(calls, (Strings{"first", "second", "first", "second", "added"}));
    EXPECT_EQ(center.observerCount("tick"), 3u);
}

// Writes its rows one at a time, pausing between them: a reader that looked at the channel during
// sample() would see rows of two passes, and ThreadSanitizer would report the unsynchronised reads.
struct SlowChannel : testing::RowsChannel {
    SlowChannel() : RowsChannel("S", 4) { _rows.assign(4, "0"); }
    void sample() override {
        const std::string pass = std::to_string(++passes);
        for (std::string& value : _rows) {
            value = pass;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    int passes = 0;
};

TEST(ViewControllerThreadedTest, TheListNeverShowsAChannelInTheMiddleOfASamplingPass) {
    RunLoop mainQueue; // this thread is the main thread
    TextCollectionView list;
    NotificationCenter center;
    auto controller = ViewController::create(center, mainQueue, list, testing::listOnly);
    controller->viewDidLoad();
    controller->addChannel(std::make_shared<SlowChannel>());
    std::atomic<int> observed{0};
    AppDelegate delegate(center, [](Seconds) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    delegate.applicationDidFinishLaunching(); // stopped when it goes, before what it ticks for
    for (int reloads = 1, lastPass = 0; lastPass < 40; ++reloads) {
        mainQueue.runNext();
        const Strings lines = list.lines();
        ASSERT_EQ(lines.size(), reloads > 5 ? 7u : 5u);
        const std::string pass = lines[1].substr(lines[1].rfind(' ') + 1);
        for (int i = 1; i <= 4; ++i)
            ASSERT_EQ(lines[i], "  S" + std::to_string(i - 1) + "  " + pass) << "rows of two passes shown together";
        ASSERT_GE(std::stoi(pass), lastPass) << "an older pass replaced a newer one";
        lastPass = std::stoi(pass);
        if (reloads == 5) // the main thread adds to the list while the tick thread samples and posts
            controller->addChannel(std::make_shared<testing::RowsChannel>("A", 2));
        if (reloads % 3 == 0)
            controller->refresh();
        center.addObserver("QXNSApp", [&](const Notification&) { ++observed; });
    }
    EXPECT_GT(observed, 0);
}

TEST(ViewControllerStartTest, ChecksTheServiceBeforeItOpensOrListsAnything) {
    RunLoop mainQueue;
    TextCollectionView list;
    NotificationCenter center;
    Strings journal;
    std::shared_ptr<ViewController> controller;
    const auto check = [&] {
        journal.push_back(controller->cpu() ? "opened" : "check");
        journal.push_back(list.lines().empty() && center.observerCount("QXNSApp") == 0 ? "nothing listed" : "listed");
    };
    controller = ViewController::create(center, mainQueue, list, {check, EmbeddedServiceDirectory::simulated()});
    controller->viewDidLoad();
    mainQueue.runPending();
    EXPECT_EQ(journal, (Strings{"check", "nothing listed"}));
    EXPECT_TRUE(controller->cpu()); // what it lists then is checked on the program (qarn_text_simulated)
}

}  // namespace
}  // namespace qarn
