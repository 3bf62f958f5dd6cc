#pragma once
// A lock that the thread holding it may take again; it is free once every lock is matched by
// an unlock. A null lock is ignored (never taken). The structure is opaque: create it with
// IORecursiveLockAlloc.

namespace vennix {

struct IORecursiveLock;

// A new unlocked lock, or null when memory runs out.
IORecursiveLock* IORecursiveLockAlloc();
// Frees an unlocked lock; null is ignored.
void IORecursiveLockFree(IORecursiveLock* lock);

void IORecursiveLockLock(IORecursiveLock* lock);
// Takes the lock if that is possible without waiting; true when taken.
bool IORecursiveLockTryLock(IORecursiveLock* lock);
// Gives back one lock; ignored when the calling thread does not hold the lock.
void IORecursiveLockUnlock(IORecursiveLock* lock);
// Whether the calling thread holds the lock.
bool IORecursiveLockHaveLock(const IORecursiveLock* lock);

} // namespace vennix
