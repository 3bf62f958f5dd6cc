#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

namespace qarn {
namespace {

TEST(NotificationCenterTest, PostsRunTheNamesObserversInOrderWithTheSender) {
    NotificationCenter center;
    std::vector<std::string> calls;
    const int sender = 0;
    center.addObserver("tick", [&](const Notification& n) {
        EXPECT_EQ(n.name, "tick");
        EXPECT_EQ(n.object, &sender);
        calls.push_back("first");
    });
    center.addObserver("other", [&](const Notification&) { calls.push_back("other"); });
    center.addObserver("tick", [&](const Notification&) { calls.push_back("second"); });
    center.addObserver("tick", nullptr);   // ignored

    center.post("tick", &sender);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(center.observerCount("tick"), 2u);
}

TEST(NotificationCenterTest, APostBeforeAnyObserverReachesNobodyAndIsNotRepeated) {
    NotificationCenter center;
    center.post("tick", nullptr);
    int calls = 0;
    center.addObserver("tick", [&](const Notification&) { ++calls; });
    EXPECT_EQ(calls, 0);
    center.post("tick", nullptr);
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, AnObserverAddedDuringAPostRunsFromTheNextPost) {
    NotificationCenter center;
    int late = 0;
    bool added = false;
    center.addObserver("tick", [&](const Notification&) {
        if (!added) {
            added = true;
            center.addObserver("tick", [&](const Notification&) { ++late; });
        }
    });
    center.post("tick", nullptr);
    EXPECT_EQ(late, 0);
    center.post("tick", nullptr);
    EXPECT_EQ(late, 1);
}

TEST(NotificationCenterTest, ObserversRunOnThePostersThreadWhileOthersAreAdded) {
    NotificationCenter center;
    const auto poster = std::make_shared<std::thread::id>();
    std::atomic<int> wrongThread{0};
    std::atomic<int> calls{0};
    center.addObserver("tick", [&](const Notification&) {
        if (std::this_thread::get_id() != *poster)
            ++wrongThread;
        ++calls;
    });

    std::atomic<bool> go{false};
    std::thread posting([&] {
        *poster = std::this_thread::get_id();
        go = true;
        for (int i = 0; i < 200; ++i)
            center.post("tick", nullptr);
    });
    std::thread adding([&] {
        while (!go) {
        }
        for (int i = 0; i < 200; ++i)
            center.addObserver("tick", [&](const Notification&) { ++calls; });
    });
    posting.join();
    adding.join();

    EXPECT_EQ(wrongThread, 0);
    EXPECT_GE(calls, 200);
    EXPECT_EQ(center.observerCount("tick"), 201u);
}

}  // namespace
}  // namespace qarn
