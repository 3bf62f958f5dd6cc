#include "platform/RunLoop.h"

#include <utility>

namespace qarn {

void RunLoop::dispatchAsync(Task task) {
    if (!task)
        return;
    {
        std::lock_guard guard(_mutex);
        _tasks.push_back(std::move(task));
    }
    _wake.notify_all();
}

bool RunLoop::runOne(std::unique_lock<std::mutex>& lock) {
    if (_tasks.empty())
        return false;
    Task task = std::move(_tasks.front());
    _tasks.pop_front();
    lock.unlock();   // a task may queue more tasks
    task();
    lock.lock();
    return true;
}

void RunLoop::run() {
    std::unique_lock lock(_mutex);
    _stopped = false;
    while (!_stopped) {
        _wake.wait(lock, [this] { return _stopped || !_tasks.empty(); });
        while (!_stopped && runOne(lock)) {
        }
    }
}

std::size_t RunLoop::runPending() {
    std::unique_lock lock(_mutex);
    std::size_t count = 0;
    while (runOne(lock))
        ++count;
    return count;
}

std::size_t RunLoop::runNext() {
    {
        std::unique_lock lock(_mutex);
        _wake.wait(lock, [this] { return _stopped || !_tasks.empty(); });
    }
    return runPending();
}

void RunLoop::stop() {
    {
        std::lock_guard guard(_mutex);
        _stopped = true;
    }
    _wake.notify_all();
}

}  // namespace qarn
