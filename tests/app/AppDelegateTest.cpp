#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "shell/AppDelegate.h"

namespace qarn {
namespace {

using Seconds = std::chrono::duration<double>;

TEST(AppDelegateTest, EachTickPostsFromTheDelegateThenSleepsTheInterval) {
    NotificationCenter center;
    std::vector<std::string> events;   // written on the tick thread, read after it has ended
    AppDelegate delegate(center, [&](Seconds interval) {
        events.push_back(interval == AppDelegate::kTickInterval ? "sleep 0.1" : "sleep ?");
    });
    int posts = 0;
    center.addObserver("QXNSApp", [&](const Notification& notification) {
        events.push_back(notification.object == &delegate ? "post" : "post from ?");
        if (++posts == 4)
            delegate.stop();   // from the tick thread itself: ends the loop without waiting for it
    });

    delegate.applicationDidFinishLaunching();
    delegate.waitUntilStopped();

    EXPECT_EQ(events, (std::vector<std::string>{"post", "sleep 0.1", "post", "sleep 0.1", "post", "sleep 0.1",
                                                "post", "sleep 0.1"}));
    EXPECT_FALSE(delegate.isTicking());
}

// The tick loop on a clock of the test's own: sleeping advances it, and so does an observer
// that "takes" time. The period is measured in that clock, never in real time.
TEST(AppDelegateTest, ASlowObserverStretchesThePeriodBecauseTheSleepFollowsThePost) {
    NotificationCenter center;
    double now = 0.0;   // tick thread only
    AppDelegate delegate(center, [&](Seconds interval) { now += interval.count(); });

    std::vector<double> postStarted;
    std::vector<double> postReturned;
    center.addObserver("QXNSApp", [&](const Notification&) { postStarted.push_back(now); });
    center.addObserver("QXNSApp", [&](const Notification&) {
        if (postStarted.size() == 2)
            now += 0.25;   // one slow pass, longer than the interval
    });
    center.addObserver("QXNSApp", [&](const Notification&) {
        postReturned.push_back(now);
        if (postReturned.size() == 4)
            delegate.requestStop();
    });

    delegate.applicationDidFinishLaunching();
    delegate.waitUntilStopped();

    ASSERT_EQ(postStarted.size(), 4u);
    EXPECT_DOUBLE_EQ(postStarted[0], 0.0);
    EXPECT_DOUBLE_EQ(postStarted[1], 0.1);
    EXPECT_DOUBLE_EQ(postStarted[2], 0.45);   // 0.1 + 0.25 in the observer + 0.1 asleep
    EXPECT_DOUBLE_EQ(postStarted[3], 0.55);
    for (std::size_t i = 0; i + 1 < postStarted.size(); ++i)
        EXPECT_DOUBLE_EQ(postStarted[i + 1] - postReturned[i], 0.1) << "after tick " << i;
}

TEST(AppDelegateTest, TicksRunOnOneOtherThreadUntilTheDelegateEnds) {
    NotificationCenter center;
    std::mutex mutex;
    std::condition_variable ticked;
    std::set<std::thread::id> threads;
    int posts = 0;
    center.addObserver("QXNSApp", [&](const Notification&) {
        std::lock_guard guard(mutex);
        threads.insert(std::this_thread::get_id());
        ++posts;
        ticked.notify_all();
    });
    const auto waitForPosts = [&](int count) {
        std::unique_lock lock(mutex);
        ticked.wait(lock, [&] { return posts >= count; });
        return posts;
    };

    {
        AppDelegate delegate(center, [](Seconds) { std::this_thread::yield(); });
        delegate.applicationDidFinishLaunching();
        const int before = waitForPosts(3);
        delegate.applicationWillTerminate();   // takes no tick-related action
        waitForPosts(before + 3);
        EXPECT_TRUE(delegate.isTicking());
    }   // the delegate waits for its thread here

    std::lock_guard guard(mutex);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

}  // namespace
}  // namespace qarn
