// The millisecond tick counters behind every time-out and timer.
//
// Production code reads the monotonic clock. Tests install a ManualClock and
// move time forward themselves, so time-outs, timer periods and the 32-bit
// wrap-around can be checked without waiting for them.
#pragma once

#include "platform/Types.h"

#include <atomic>
#include <cstdint>
#include <ctime>

namespace platform {

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds since an arbitrary start, never decreasing.
    virtual std::uint64_t TickCount64() = 0;
    // Whether the 64-bit counter is offered; when not, callers extend the
    // 32-bit counter themselves (GetTickCount and its wrap every 49.7 days).
    virtual bool HasTickCount64() = 0;
};

// The clock in use: the system's monotonic clock unless a test installed another.
QOR_PLATFORM_API IClock& Clock();
// Installs a clock (nullptr restores the system clock). The caller keeps
// ownership and must restore the system clock before destroying its clock.
QOR_PLATFORM_API void SetClock(IClock* clock);
// Called by a clock whose time jumped (a test advancing a ManualClock): wakes
// every wait that depends on the tick so timers and time-outs re-evaluate.
QOR_PLATFORM_API void NotifyClockChanged();

QOR_PLATFORM_API std::uint64_t GetTickCount64();
// The low 32 bits of the tick, wrapping every 2^32 ms.
QOR_PLATFORM_API DWORD GetTickCount();
QOR_PLATFORM_API bool HasTickCount64();

// The calendar time of a moment (seconds since 1970-01-01 UTC) in the local
// time zone, or in UTC. false when the system cannot convert it.
QOR_PLATFORM_API bool LocalTime(std::int64_t seconds, std::tm* out);
QOR_PLATFORM_API bool UtcTime(std::int64_t seconds, std::tm* out);

// A clock that only moves when told to.
class QOR_PLATFORM_API ManualClock final : public IClock {
public:
    explicit ManualClock(std::uint64_t start = 0, bool hasTickCount64 = true)
        : now_(start), has64_(hasTickCount64) {}

    std::uint64_t TickCount64() override { return now_.load(); }
    bool HasTickCount64() override { return has64_.load(); }

    void Set(std::uint64_t ms);
    void Advance(std::uint64_t ms);
    void SetHasTickCount64(bool value) { has64_ = value; }

private:
    std::atomic<std::uint64_t> now_;
    std::atomic<bool> has64_;
};

// Installs a clock for the lifetime of the object (tests).
class ScopedClock {
public:
    explicit ScopedClock(IClock& clock) { SetClock(&clock); }
    ~ScopedClock() { SetClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

} // namespace platform
