#include "common/Thread_Queue.h"

#include <mutex>

namespace qor {

TThreadSafeQueue::TThreadSafeQueue() = default;

TThreadSafeQueue::~TThreadSafeQueue() { Clear(); }

void TThreadSafeQueue::Push(std::unique_ptr<TQueueItem> item) {
    if (!item)
        return;
    {
        std::scoped_lock lock(lock_);
        items_.push_back(std::move(item));
    }
    itemEvent_.Set(); // after the lock: see PushAll
}

void TThreadSafeQueue::PushAll(std::vector<std::unique_ptr<TQueueItem>> items) {
    bool any = false;
    {
        std::scoped_lock lock(lock_);
        for (auto& item : items) {
            if (!item)
                continue;
            items_.push_back(std::move(item));
            any = true;
        }
    }
    // The event is set after the lock is released: the consumer it wakes may
    // run at once (a woken thread can preempt its waker), and its first act
    // is to take the lock to pop; under the lock it would block on it again,
    // two more switches per hand-over. A pop that drains the queue between
    // the release and the set leaves the event set on an empty queue: the
    // consumer wakes once for nothing, and never misses an item (an item
    // pushed after a pop's reset is always followed by a set).
    if (any)
        itemEvent_.Set();
}

std::unique_ptr<TQueueItem> TThreadSafeQueue::Pop() {
    std::scoped_lock lock(lock_);
    std::unique_ptr<TQueueItem> item;
    if (head_ < items_.size()) {
        item = std::move(items_[head_]);
        ++head_;
        if (head_ > CompactThreshold) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    if (head_ >= items_.size()) {
        // Drained: the taken slots go at once (nothing is left to move), so a
        // queue that is emptied as fast as it fills keeps as many slots as it
        // ever held at once, not the thousands of pops before a compaction.
        items_.clear();
        head_ = 0;
        itemEvent_.Reset();
    }
    return item;
}

void TThreadSafeQueue::Clear() {
    std::scoped_lock lock(lock_);
    while (items_.size() > head_)
        items_.pop_back();
    items_.clear();
    head_ = 0;
    itemEvent_.Reset();
}

std::size_t TThreadSafeQueue::Count() {
    std::scoped_lock lock(lock_);
    return items_.size() - head_;
}

std::size_t TThreadSafeQueue::Head() {
    std::scoped_lock lock(lock_);
    return head_;
}

std::size_t TThreadSafeQueue::SlotCount() {
    std::scoped_lock lock(lock_);
    return items_.size();
}

} // namespace qor
