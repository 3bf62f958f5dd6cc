#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "platform/MainQueue.h"

namespace qarn {

// A main queue without a GUI toolkit: the thread that calls run() (or runPending()) runs the
// queued tasks. Used by the text mode and by tests that want real threads but no Qt event loop.
class RunLoop : public MainQueue {
public:
    void dispatchAsync(Task task) override;

    // Runs tasks as they arrive until stop() is called (from a task or any thread). Tasks queued
    // before the stop that have not run yet stay queued.
    void run();

    // Runs the tasks queued so far, and those they queue, then returns; answers how many ran.
    std::size_t runPending();

    // Waits until a task is queued (or stop() is called), then runs the queued ones.
    std::size_t runNext();

    void stop();

private:
    bool runOne(std::unique_lock<std::mutex>& lock);

    std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<Task> _tasks;
    bool _stopped = false;
};

}  // namespace qarn
