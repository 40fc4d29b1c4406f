// The thread-safe first-in-first-out queue that carries work between threads.
#pragma once

#include "platform/Locks.h"
#include "platform/Sync.h"

#include <cstddef>
#include <memory>
#include <typeinfo>
#include <vector>

namespace qor {

// Base of everything put through a queue: the queue owns its items until they
// are popped, and frees the ones left behind.
class TQueueItem {
public:
    virtual ~TQueueItem() = default;
};

// Casts a popped item to what the consumer expects; an item of another kind is
// freed and null returned.
template <class T>
std::unique_ptr<T> QueueItemCast(std::unique_ptr<TQueueItem> item) {
    if (!item)
        return nullptr;
    // Nearly every item is exactly the expected class: compared by type, it
    // skips the hierarchy walk of a dynamic_cast.
    if (typeid(*item) == typeid(T))
        return std::unique_ptr<T>(static_cast<T*>(item.release()));
    if (auto* typed = dynamic_cast<T*>(item.get())) {
        item.release();
        return std::unique_ptr<T>(typed);
    }
    return nullptr;
}

// Push from any thread, pop from any thread. ItemEvent is a manual-reset event
// signalled while items may be waiting: a consumer woken by it pops until it
// gets null.
//
// Pop is constant time: a taken slot is only cleared and the head index moves
// on; the taken slots are removed in one block move once more than
// CompactThreshold of them have piled up at the front, or as soon as the
// last item is taken.
class TThreadSafeQueue {
public:
    static constexpr std::size_t CompactThreshold = 16383;

    TThreadSafeQueue();
    ~TThreadSafeQueue();
    TThreadSafeQueue(const TThreadSafeQueue&) = delete;
    TThreadSafeQueue& operator=(const TThreadSafeQueue&) = delete;

    // A null item is ignored (and does not signal).
    void Push(std::unique_ptr<TQueueItem> item);
    // Several items in order, with one signal: a consumer woken by the first
    // finds the others there (a wake per item would hand the processor back
    // and forth for each).
    void PushAll(std::vector<std::unique_ptr<TQueueItem>> items);
    // The oldest item, or null when none is left.
    std::unique_ptr<TQueueItem> Pop();
    // Frees every item still queued, newest first.
    void Clear();

    platform::HANDLE ItemEvent() const { return itemEvent_.Handle(); }
    // Items waiting.
    std::size_t Count();
    // The layout behind the constant-time pop: the index of the next item and
    // the number of slots (taken ones included).
    std::size_t Head();
    std::size_t SlotCount();

private:
    platform::CriticalSection lock_;
    std::vector<std::unique_ptr<TQueueItem>> items_;
    std::size_t head_ = 0;
    platform::Event itemEvent_{true, false};
};

} // namespace qor
