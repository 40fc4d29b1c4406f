// A manual clock that also tells when a given thread has read it, so a test
// can move time only once that thread has taken its deadline from the clock.
#pragma once

#include "platform/Clock.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace testing_support {

class WatchedClock final : public platform::IClock {
public:
    explicit WatchedClock(std::uint64_t start) : now_(start) {}

    std::uint64_t TickCount64() override {
        // The value is taken before the read is reported, so a test that moves
        // the clock once it hears of the read cannot change what was read.
        const std::uint64_t now = now_.load();
        if (static_cast<std::uint32_t>(::syscall(SYS_gettid)) == watched_.load()) {
            std::lock_guard lock(mutex_);
            ++reads_;
            read_.notify_all();
        }
        return now;
    }
    bool HasTickCount64() override { return true; }

    void Watch(std::uint32_t tid) { watched_ = tid; }
    // Waits until the watched thread has read the clock more than `count` times
    // in all; returns the count reached.
    unsigned WaitForReads(unsigned count) {
        std::unique_lock lock(mutex_);
        read_.wait(lock, [&] { return reads_ > count; });
        return reads_;
    }
    unsigned Reads() {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    void Advance(std::uint64_t ms) {
        now_ += ms;
        platform::NotifyClockChanged();
    }

private:
    std::atomic<std::uint64_t> now_;
    std::atomic<std::uint32_t> watched_{0};
    std::mutex mutex_;
    std::condition_variable read_;
    unsigned reads_ = 0;
};

} // namespace testing_support
