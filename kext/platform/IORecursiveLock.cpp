#include "kext/platform/IORecursiveLock.h"

#include <atomic>
#include <mutex>
#include <new>
#include <thread>

namespace vennix {

struct IORecursiveLock {
    std::recursive_mutex mutex;
    // Written only by the holder; read by any thread to answer "do I hold it?", which only
    // the holder can see as its own id.
    std::atomic<std::thread::id> owner{};
    unsigned depth = 0; // guarded by mutex
};

IORecursiveLock* IORecursiveLockAlloc()
{
    return new (std::nothrow) IORecursiveLock;
}

void IORecursiveLockFree(IORecursiveLock* lock)
{
    delete lock;
}

void IORecursiveLockLock(IORecursiveLock* lock)
{
    if (lock == nullptr)
        return;
    lock->mutex.lock();
    if (lock->depth++ == 0)
        lock->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool IORecursiveLockTryLock(IORecursiveLock* lock)
{
    if (lock == nullptr || !lock->mutex.try_lock())
        return false;
    if (lock->depth++ == 0)
        lock->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

void IORecursiveLockUnlock(IORecursiveLock* lock)
{
    // Unlocking a lock this thread does not hold would corrupt it for its holder.
    if (!IORecursiveLockHaveLock(lock))
        return;
    if (--lock->depth == 0)
        lock->owner.store(std::thread::id(), std::memory_order_relaxed);
    lock->mutex.unlock();
}

bool IORecursiveLockHaveLock(const IORecursiveLock* lock)
{
    return lock && lock->owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

} // namespace vennix
