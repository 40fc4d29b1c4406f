#include "platform/Locks.h"

#include <cassert>

namespace platform {

void MultiReadExclusiveWriteSync::BeginRead() {
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    if (writer_ == me) {
        // Reading under our own write lock needs no further exclusion; it is
        // counted so EndRead balances.
        ++readers_[me];
        return;
    }
    auto it = readers_.find(me);
    if (it != readers_.end()) {
        ++it->second; // nested read: never wait for a queued writer
        return;
    }
    changed_.wait(lock, [&] { return writeDepth_ == 0 && waitingWriters_ == 0; });
    readers_[me] = 1;
}

void MultiReadExclusiveWriteSync::EndRead() {
    const auto me = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    auto it = readers_.find(me);
    assert(it != readers_.end() && "EndRead without BeginRead");
    if (it == readers_.end())
        return;
    if (--it->second == 0) {
        readers_.erase(it);
        changed_.notify_all();
    }
}

void MultiReadExclusiveWriteSync::BeginWrite() {
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    if (writer_ == me) {
        ++writeDepth_;
        return;
    }
    ++waitingWriters_;
    changed_.wait(lock, [&] {
        if (writeDepth_ != 0)
            return false;
        // Readers other than ourselves must be gone (promotion of our own read).
        for (const auto& [id, count] : readers_)
            if (id != me && count != 0)
                return false;
        return true;
    });
    --waitingWriters_;
    writer_ = me;
    writeDepth_ = 1;
}

void MultiReadExclusiveWriteSync::EndWrite() {
    std::lock_guard lock(mutex_);
    assert(writer_ == std::this_thread::get_id() && writeDepth_ > 0 && "EndWrite without BeginWrite");
    if (writeDepth_ == 0)
        return;
    if (--writeDepth_ == 0) {
        writer_ = std::thread::id{};
        changed_.notify_all();
    }
}

} // namespace platform
