// The millisecond time-out record used for every wait and interval.
#pragma once

#include <cstdint>

namespace qor {

// A plain record. Time comes from the platform clock: its 64-bit tick when it
// offers one, otherwise the 32-bit tick extended to 64 bits here, counting a
// wrap whenever a reading is smaller than the previous one.
struct TTimeout {
    std::uint64_t StartTick = 0; // when the time-out was started; 0 = never
    std::uint64_t Deadline = 0;
    std::uint32_t LastTick = 0;  // 32-bit fallback: last reading ...
    std::uint32_t WrapCount = 0; // ... and the wraps seen so far
    std::uint32_t Duration = 0;
    bool Active = false;

    // Current time in milliseconds (updates the fallback's wrap tracking).
    std::uint64_t Now();

    void Start(std::uint32_t ms);
    void Clear() { *this = TTimeout{}; }
    // As Start, but inactive and without a deadline.
    void Reset();
    // Start again with the same duration when active, else Reset.
    void Restart();
    bool Expired();
    // True when never started. When not active, arms the duration ms from the
    // original start first.
    bool ExpiredAfter(std::uint32_t ms);
    // The same at the time now (a reading of Now), for callers that judge
    // many time-outs at one moment.
    bool ExpiredAfter(std::uint32_t ms, std::uint64_t now);
    // Milliseconds left until the deadline (0 once expired).
    std::uint64_t Remaining();
};

} // namespace qor
