#pragma once

#include <functional>

namespace qarn {

// The main thread's queue of work: other threads hand it tasks that must run on the main thread
// (everything that touches the list). Tasks run one at a time, in the order they were queued.
class MainQueue {
public:
    using Task = std::function<void()>;

    virtual ~MainQueue();

    // Queues the task and returns at once; never runs it on the caller's thread.
    virtual void dispatchAsync(Task task) = 0;
};

}  // namespace qarn
