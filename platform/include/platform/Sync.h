// Events and waits.
//
// Handles are process-wide integers shared with threads (Thread.h): a wait may
// name events and thread handles together. A thread handle is signalled once
// the thread has ended.
//
// Time-outs are measured on the platform clock (Clock.h). With the system clock
// a wait wakes by real time as usual; with a ManualClock installed, a finite
// time-out expires only when the test moves the clock past it (every move wakes
// the waiting threads, which compare their deadline with the new time). Between
// moves a waiting thread sleeps; it re-reads such a clock only once a second of
// real time, in case a clock moved without telling. INFINITE never expires.
//
// Sleep is not a wait on the platform clock: it pauses for real time, so code
// that yields or paces itself keeps running under a ManualClock.
#pragma once

#include "platform/Errors.h"
#include "platform/Types.h"

namespace platform {

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// 0 on failure.
QOR_PLATFORM_API HANDLE CreateEvent(bool manualReset, bool initialState);
QOR_PLATFORM_API bool SetEvent(HANDLE event);
QOR_PLATFORM_API bool ResetEvent(HANDLE event);
// Events and thread handles. Closing a thread handle does not end the thread.
// A thread already waiting on a handle that is closed keeps the object alive
// until its wait ends.
QOR_PLATFORM_API bool CloseHandle(HANDLE handle);

QOR_PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs);
// waitAll: returns once every object is signalled at the same moment; the
// auto-reset events among them are then reset together. Otherwise the lowest
// index among the signalled objects is returned (WAIT_OBJECT_0 + index) and only
// that object is reset when it is an auto-reset event. 1 to 64 handles; the same
// handle twice with waitAll is ERROR_INVALID_PARAMETER.
QOR_PLATFORM_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs);

// Pauses the calling thread for real time (see above); Sleep(0) yields.
QOR_PLATFORM_API void Sleep(DWORD ms);

// The owner of one event handle.
class QOR_PLATFORM_API Event {
public:
    // Throws std::system_error when the event cannot be made.
    Event(bool manualReset, bool initialState);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // true when signalled within ms (INFINITE waits without limit).
    bool Wait(DWORD ms = INFINITE);
    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace platform
