// The tick thread waits the period it was given, on a clock of the test's own.

#include <gtest/gtest.h>

#include "platform/NotificationCenter.h"
#include "shell/AppDelegate.h"

namespace qarn {
namespace {

using Seconds = std::chrono::duration<double>;

TEST(TickIntervalTest, TheTickThreadSleepsTheGivenIntervalAfterEachPost) {
    for (const double interval : {0.5, 0.05, 3600.0}) {
        NotificationCenter center;
        std::vector<double> slept;   // tick thread only, read after it has ended
        AppDelegate delegate(center, [&](Seconds seconds) { slept.push_back(seconds.count()); }, Seconds(interval));
        center.addObserver(AppDelegate::kTickNotification, [&](const Notification&) {
            if (slept.size() == 2)
                delegate.requestStop();
        });
        delegate.applicationDidFinishLaunching();
        delegate.waitUntilStopped();
        EXPECT_EQ(slept, std::vector<double>(3, interval));
    }
}

}  // namespace
}  // namespace qarn
