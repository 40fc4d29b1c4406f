// Waits that follow the platform clock, shared by Sync.cpp and Messages.cpp.
//
// With the system clock installed every wait is the system's own. With a test
// clock, a finite time-out is counted on that clock: the thread waits for its
// objects and for a clock event of its own, which NotifyClockChanged sets, and
// compares its deadline with the clock's time whenever that event fires (and
// once a second of real time, should a clock move without telling).
#pragma once

#include "WinApi.h"

#include "platform/Types.h"

#include <cstdint>

namespace platform {
namespace detail {
bool UsingSystemClock();
} // namespace detail

namespace win32 {

// The system's WaitForMultipleObjects, or MsgWaitForMultipleObjects when
// message is true, counted on the platform clock as said above.
::DWORD ClockWait(::DWORD count, const ::HANDLE* handles, bool waitAll, ::DWORD timeoutMs, bool message,
                  ::DWORD wakeMask);

// The same object twice in one list: a wait for all of them is refused
// (ERROR_INVALID_PARAMETER), as Windows does and Wine does not.
bool HasDuplicates(::DWORD count, const ::HANDLE* handles);

// Threads whose emulated window timers (a test clock is installed) need a
// look when the clock moves: they are sent a message that wakes their wait.
void WakeTimerThreads();

} // namespace win32
} // namespace platform
