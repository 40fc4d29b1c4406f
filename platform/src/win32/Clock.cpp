// The tick counters on Win32: the system's GetTickCount64, the counter window
// messages are stamped with, unless a test installed a clock of its own.
#include "WinApi.h"

#include "platform/Clock.h"

namespace platform {
namespace {

class SystemClock final : public IClock {
public:
    std::uint64_t TickCount64() override { return ::GetTickCount64(); }
    bool HasTickCount64() override { return true; }
};

SystemClock systemClock;
std::atomic<IClock*> current{&systemClock};

} // namespace

IClock& Clock() { return *current.load(std::memory_order_acquire); }

namespace detail {
bool UsingSystemClock() { return current.load(std::memory_order_acquire) == &systemClock; }
} // namespace detail

void SetClock(IClock* clock) {
    current.store(clock ? clock : &systemClock, std::memory_order_release);
    NotifyClockChanged();
}

std::uint64_t GetTickCount64() { return Clock().TickCount64(); }
DWORD GetTickCount() { return static_cast<DWORD>(Clock().TickCount64()); }
bool HasTickCount64() { return Clock().HasTickCount64(); }

void ManualClock::Set(std::uint64_t ms) {
    now_ = ms;
    NotifyClockChanged();
}

void ManualClock::Advance(std::uint64_t ms) {
    now_ += ms;
    NotifyClockChanged();
}

} // namespace platform
