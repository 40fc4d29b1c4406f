#include "common/qorTimeout.h"

#include "platform/Clock.h"

namespace qor {

std::uint64_t TTimeout::Now() {
    if (platform::HasTickCount64())
        return platform::GetTickCount64();
    const std::uint32_t tick = platform::GetTickCount();
    if (tick < LastTick)
        ++WrapCount;
    LastTick = tick;
    return (static_cast<std::uint64_t>(WrapCount) << 32) | tick;
}

void TTimeout::Start(std::uint32_t ms) {
    StartTick = Now();
    LastTick = static_cast<std::uint32_t>(StartTick);
    WrapCount = static_cast<std::uint32_t>(StartTick >> 32);
    Duration = ms;
    Deadline = StartTick + ms;
    Active = true;
}

void TTimeout::Reset() {
    Start(Duration);
    Deadline = 0;
    Active = false;
}

void TTimeout::Restart() {
    if (Active)
        Start(Duration);
    else
        Reset();
}

bool TTimeout::Expired() { return Deadline <= Now(); }

bool TTimeout::ExpiredAfter(std::uint32_t ms) { return StartTick == 0 || ExpiredAfter(ms, Now()); }

bool TTimeout::ExpiredAfter(std::uint32_t ms, std::uint64_t now) {
    if (StartTick == 0)
        return true;
    if (!Active) {
        Duration = ms;
        Deadline = StartTick + ms;
    }
    return Deadline <= now;
}

std::uint64_t TTimeout::Remaining() {
    const std::uint64_t now = Now();
    return Deadline > now ? Deadline - now : 0;
}

} // namespace qor
