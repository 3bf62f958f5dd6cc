#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace qarn {

class NotificationCenter;

// Starts the tick thread once launching has finished. The tick thread posts the tick
// notification, waits the tick interval after the post has returned, and repeats: the period is
// the interval plus whatever the observers take, and two ticks never overlap.
class AppDelegate {
public:
    static constexpr const char* kTickNotification = "QXNSApp";
    static constexpr std::chrono::duration<double> kTickInterval{0.1};

    // How the tick thread waits between ticks; injectable so that tests can run the loop on a
    // clock of their own.
    using SleepFunction = std::function<void(std::chrono::duration<double>)>;

    // The centre must outlive the delegate. An empty sleep function means the real clock; the
    // interval is what it is asked to wait after each tick.
    explicit AppDelegate(NotificationCenter& center, SleepFunction sleep = {},
                         std::chrono::duration<double> interval = kTickInterval);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Ends ticking and waits for the tick thread, so that no tick reaches observers that are
    // being destroyed after the delegate.
    ~AppDelegate();

    // Starts the tick thread. A second call while it runs does nothing: there is one tick thread.
    void applicationDidFinishLaunching();

    // Takes no tick-related action; the thread ends with the delegate.
    void applicationWillTerminate();

    // The body of the tick thread.
    void timerThread();

    // The loop ends after the current post and sleep; from any thread, an observer included.
    void requestStop();

    // requestStop(), then waits for the tick thread to end. From an observer (the tick thread
    // itself) it only requests the stop.
    void stop();

    // Waits for the tick thread to end, which it does once a stop has been requested (for example
    // by an observer). Not from the tick thread.
    void waitUntilStopped();

    bool isTicking() const { return _ticking.load(); }
    std::chrono::duration<double> tickInterval() const { return _interval; }

private:
    NotificationCenter& _center;
    SleepFunction _sleep;
    const std::chrono::duration<double> _interval;
    // The loop runs while this is set. It is set before the thread starts and cleared only to end
    // the thread, so the tick thread never reads a half-written thread object.
    std::atomic<bool> _ticking{false};
    std::atomic<std::thread::id> _tickThreadId{};
    std::thread _thread;   // touched by the main thread only
};

}  // namespace qarn
