#include "shell/AppDelegate.h"

#include "platform/NotificationCenter.h"

namespace qarn {

AppDelegate::AppDelegate(NotificationCenter& center, SleepFunction sleep, std::chrono::duration<double> interval)
    : _center(center), _sleep(std::move(sleep)), _interval(interval) {
    if (!_sleep) {
        _sleep = [](std::chrono::duration<double> interval) { std::this_thread::sleep_for(interval); };
    }
}

AppDelegate::~AppDelegate() {
    stop();
}

void AppDelegate::applicationDidFinishLaunching() {
    if (_thread.joinable())
        return;
    _ticking.store(true);
    _thread = std::thread([this] { timerThread(); });
}

void AppDelegate::applicationWillTerminate() {}

void AppDelegate::timerThread() {
    // The platform's background-activity token has no counterpart here: nothing throttles a
    // sleeping thread, so there is nothing to begin or end around the loop.
    _tickThreadId.store(std::this_thread::get_id());
    while (_ticking.load()) {
        _center.post(kTickNotification, this);
        _sleep(_interval);
    }
}

void AppDelegate::requestStop() {
    _ticking.store(false);
}

void AppDelegate::stop() {
    requestStop();
    waitUntilStopped();
}

void AppDelegate::waitUntilStopped() {
    if (_tickThreadId.load() == std::this_thread::get_id())
        return;   // an observer cannot wait for the thread it runs on
    if (_thread.joinable()) {
        _thread.join();
        _tickThreadId.store({});
    }
}

}  // namespace qarn
