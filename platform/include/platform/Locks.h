// Locks with the semantics the framework expects of Windows: a critical section
// that its owner may enter again, and a multi-reader/single-writer lock whose
// writer may take the write or the read side again, and whose readers may read
// again while a writer waits (no self-deadlock on nested use).
#pragma once

#include "platform/Types.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {

// Re-entrant mutual exclusion. Satisfies Lockable, so std::scoped_lock works.
class QOR_PLATFORM_API CriticalSection {
public:
    void Enter() { mutex_.lock(); }
    bool TryEnter() { return mutex_.try_lock(); }
    void Leave() { mutex_.unlock(); }

    void lock() { Enter(); }
    bool try_lock() { return TryEnter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex mutex_;
};

// Multi-reader/exclusive-writer lock, re-entrant on both sides:
// - a thread holding the write side may take the write or read side again;
// - a thread holding the read side may take it again even while a writer waits;
// - a reader may ask for the write side (promotion); it gets it once the other
//   readers are gone.
class QOR_PLATFORM_API MultiReadExclusiveWriteSync {
public:
    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread::id writer_{};
    unsigned writeDepth_ = 0;
    unsigned waitingWriters_ = 0;
    std::unordered_map<std::thread::id, unsigned> readers_;
};

} // namespace platform
