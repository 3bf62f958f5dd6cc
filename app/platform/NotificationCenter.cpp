#include "platform/NotificationCenter.h"

namespace qarn {

void NotificationCenter::addObserver(const std::string& name, Observer observer) {
    if (!observer)
        return;
    auto shared = std::make_shared<const Observer>(std::move(observer));
    std::lock_guard guard(_mutex);
    _entries.push_back({name, std::move(shared)});
}

void NotificationCenter::post(const std::string& name, const void* object) {
    // Copy the matching observers first, so that an observer can add observers (or another thread
    // can) without deadlocking on _mutex or invalidating what is being walked.
    std::vector<std::shared_ptr<const Observer>> matching;
    {
        std::lock_guard guard(_mutex);
        for (const auto& entry : _entries) {
            if (entry.name == name)
                matching.push_back(entry.observer);
        }
    }
    const Notification notification{name, object};
    for (const auto& observer : matching)
        (*observer)(notification);
}

std::size_t NotificationCenter::observerCount(const std::string& name) const {
    std::lock_guard guard(_mutex);
    std::size_t count = 0;
    for (const auto& entry : _entries)
        count += entry.name == name ? 1 : 0;
    return count;
}

}  // namespace qarn
