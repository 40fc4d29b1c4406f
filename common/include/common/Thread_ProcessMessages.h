// Message pumping for threads that own windows or timers.
#pragma once

#include <atomic>
#include <cstdint>

namespace qor {

// Takes one message of the calling thread's queue and dispatches it. false when
// there was none, or when it was WM_QUIT (which is posted again, so an outer
// loop still sees it).
bool PumpOne();
// PumpOne until it returns false, yielding after every 10 messages; at most max
// messages (0 = no limit). Returns the count pumped.
std::uint32_t PumpAll(std::uint32_t max = 0);
// A worker's own pump: PumpOne while noPump is false, at most max messages
// (max >= 1). false when max messages were pumped (more may be pending); true
// when the queue ran empty, WM_QUIT arrived or pumping is off. A thread above
// normal priority pauses 1 ms after every 21 messages so it cannot starve the
// others.
// quit, when given, is set to true when WM_QUIT arrived.
bool PumpThread(std::uint32_t max, const std::atomic<bool>& noPump, int priority, bool* quit = nullptr);

} // namespace qor
