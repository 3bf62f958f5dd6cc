#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qarn {

// What an observer receives: the notification's name and the object that posted it.
struct Notification {
    std::string name;
    const void* object = nullptr;
};

// A small notification centre. Posting is synchronous: every observer of the name runs on the
// poster's thread, one after the other in the order they were added, before post() returns.
// Observers may be added from any thread at any time, also from inside an observer; one added
// during a post is first called by the next post.
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // An empty observer is ignored. Observers are never removed: whoever adds one makes sure that
    // what it refers to outlives the posts (for example by holding only a weak reference).
    void addObserver(const std::string& name, Observer observer);

    void post(const std::string& name, const void* object);

    // Number of observers of the name.
    std::size_t observerCount(const std::string& name) const;

private:
    struct Entry {
        std::string name;
        std::shared_ptr<const Observer> observer;
    };

    mutable std::mutex _mutex;   // guards _entries only; never held while an observer runs
    std::vector<Entry> _entries;
};

}  // namespace qarn
