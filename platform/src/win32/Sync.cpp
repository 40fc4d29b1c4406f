// Events and waits on Win32: the system's objects, with time-outs counted on
// the platform clock (Waits.h).
#include "Waits.h"

#include "platform/Clock.h"
#include "platform/Sync.h"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <vector>

namespace platform {

namespace win32 {
namespace {

// The clock events of the threads waiting on a test clock.
std::mutex clockMutex;
std::vector<::HANDLE> clockWaiters;

// One auto-reset event per thread, made on first need and closed when the
// thread ends.
struct ThreadClockEvent {
    ::HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~ThreadClockEvent() {
        if (event)
            ::CloseHandle(event);
    }
};

::HANDLE ClockEventOfThread() {
    thread_local ThreadClockEvent e;
    return e.event;
}

class ClockRegistration {
public:
    explicit ClockRegistration(::HANDLE event) : event_(event) {
        std::scoped_lock hold(clockMutex);
        clockWaiters.push_back(event_);
    }
    ~ClockRegistration() {
        std::scoped_lock hold(clockMutex);
        clockWaiters.erase(std::find(clockWaiters.begin(), clockWaiters.end(), event_));
    }
    ClockRegistration(const ClockRegistration&) = delete;
    ClockRegistration& operator=(const ClockRegistration&) = delete;

private:
    ::HANDLE event_;
};

::DWORD SystemWait(::DWORD count, const ::HANDLE* handles, bool waitAll, ::DWORD timeoutMs, bool message,
                   ::DWORD wakeMask) {
    if (message)
        return ::MsgWaitForMultipleObjects(count, handles, waitAll, timeoutMs, wakeMask);
    return ::WaitForMultipleObjects(count, handles, waitAll, timeoutMs);
}

} // namespace

::DWORD ClockWait(::DWORD count, const ::HANDLE* handles, bool waitAll, ::DWORD timeoutMs, bool message,
                  ::DWORD wakeMask) {
    if (timeoutMs == 0 || timeoutMs == kInfinite || detail::UsingSystemClock())
        return SystemWait(count, handles, waitAll, timeoutMs, message, wakeMask);

    const std::uint64_t deadline = Clock().TickCount64() + timeoutMs;
    const ::HANDLE clockEvent = ClockEventOfThread();
    // The clock event joins the objects unless that would make too many, or
    // waitAll would then wait for the clock too: such a wait looks at the
    // clock every 50 ms of real time instead.
    const bool joined = clockEvent && !waitAll && count < MAXIMUM_WAIT_OBJECTS - (message ? 1 : 0);
    std::vector<::HANDLE> set(handles, handles + count);
    if (joined)
        set.push_back(clockEvent);
    ClockRegistration registration(clockEvent);
    for (;;) {
        if (Clock().TickCount64() >= deadline) {
            const ::DWORD r = SystemWait(count, handles, waitAll, 0, message, wakeMask);
            return r == WAIT_TIMEOUT ? WAIT_TIMEOUT : r;
        }
        const ::DWORD slice = joined ? 1000 : 50;
        const ::DWORD r =
            SystemWait(static_cast<::DWORD>(set.size()), set.data(), waitAll, slice, message, wakeMask);
        if (r == WAIT_TIMEOUT)
            continue;
        if (joined && r == WAIT_OBJECT_0 + count)
            continue; // the clock moved: look at the deadline again
        if (joined && message && r == WAIT_OBJECT_0 + count + 1)
            return WAIT_OBJECT_0 + count; // input
        return r;
    }
}

bool HasDuplicates(::DWORD count, const ::HANDLE* handles) {
    for (::DWORD i = 0; i < count; ++i)
        for (::DWORD j = i + 1; j < count; ++j)
            if (handles[i] == handles[j])
                return true;
    return false;
}

} // namespace win32

void NotifyClockChanged() {
    {
        std::scoped_lock hold(win32::clockMutex);
        for (::HANDLE e : win32::clockWaiters)
            ::SetEvent(e);
    }
    win32::WakeTimerThreads();
}

HANDLE CreateEvent(bool manualReset, bool initialState) {
    return reinterpret_cast<HANDLE>(::CreateEventW(nullptr, manualReset, initialState, nullptr));
}

bool SetEvent(HANDLE event) { return ::SetEvent(reinterpret_cast<::HANDLE>(event)) != 0; }
bool ResetEvent(HANDLE event) { return ::ResetEvent(reinterpret_cast<::HANDLE>(event)) != 0; }
bool CloseHandle(HANDLE handle) { return ::CloseHandle(reinterpret_cast<::HANDLE>(handle)) != 0; }

DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs) {
    const ::HANDLE h = reinterpret_cast<::HANDLE>(handle);
    return win32::ClockWait(1, &h, false, timeoutMs, false, 0);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr ||
        (waitAll && win32::HasDuplicates(count, reinterpret_cast<const ::HANDLE*>(handles)))) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return win32::ClockWait(count, reinterpret_cast<const ::HANDLE*>(handles), waitAll, timeoutMs, false, 0);
}

void Sleep(DWORD ms) { ::Sleep(ms); }

Event::Event(bool manualReset, bool initialState) : handle_(CreateEvent(manualReset, initialState)) {
    if (!handle_)
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEvent");
}

Event::~Event() { CloseHandle(handle_); }
void Event::Set() { SetEvent(handle_); }
void Event::Reset() { ResetEvent(handle_); }
bool Event::Wait(DWORD ms) { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }

} // namespace platform
