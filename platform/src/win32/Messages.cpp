// Windows, messages and timers on Win32: the system's own, behind
// trampolines.
//
// The platform's window and timer procedures use the platform's types and
// calling convention, while the system calls standard-call procedures with its
// own: every class this module registers gets one system procedure
// (WindowTrampoline) that finds the platform procedure by the class atom and
// calls it; timers with a procedure get TimerTrampoline. Both catch every
// exception: none may unwind through the system's frames (the 32-bit unwinder
// cannot cross them). An exception of a procedure that the calling thread
// reached through the platform (DispatchMessage, SendMessage on the owner
// thread, CreateHiddenWindow, DestroyWindow) is thrown again there, after the
// system call returned; one of a message sent from another thread goes to the
// debugger output, and the sender gets 0.
//
// With a test clock installed (ManualClock), the window timers of this
// module are kept here instead of by the system, and made into WM_TIMER when
// their owner looks for a message, as the system would make them, counted on
// that clock.
#include "Waits.h"

#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

namespace win32 {
bool RunSyncCalls();
} // namespace win32

namespace {

::HWND H(HWND h) { return reinterpret_cast<::HWND>(h); }
HWND P(::HWND h) { return reinterpret_cast<HWND>(h); }

struct ClassEntry {
    std::string name; // the spelling registered, kept for GetClassInfo
    WNDPROC proc;
    int extra;
    HMODULE instance;
};

// Classes of one name registered by two modules share the atom of the name:
// a class is its atom and its module.
using ClassKey = std::pair<::ATOM, HMODULE>;
std::shared_mutex classMutex;
std::map<ClassKey, std::unique_ptr<ClassEntry>> classes;

WNDPROC ProcOf(::HWND hwnd) {
    const ClassKey key{static_cast<::ATOM>(::GetClassWord(hwnd, GCW_ATOM)),
                       static_cast<HMODULE>(::GetClassLongPtrW(hwnd, GCLP_HMODULE))};
    std::shared_lock hold(classMutex);
    auto it = classes.find(key);
    return it == classes.end() ? nullptr : it->second->proc;
}

::HINSTANCE Instance(HMODULE module) {
    return module ? reinterpret_cast<::HINSTANCE>(module) : ::GetModuleHandleW(nullptr);
}

// Exceptions of procedures reached through the platform on this thread.
thread_local int platformCallDepth = 0;
thread_local std::exception_ptr pendingException;

void KeepException(const char* where) {
    // A message sent from another thread: the sender cannot receive it.
    const bool fromOtherThread = (::InSendMessageEx(nullptr) & (ISMEX_SEND | ISMEX_NOTIFY)) != 0;
    if (platformCallDepth > 0 && !fromOtherThread && !pendingException) {
        pendingException = std::current_exception();
        return;
    }
    try {
        throw;
    } catch (const std::exception& e) {
        OutputDebugString(std::string(where) + " ended by an exception: " + e.what());
    } catch (...) {
        OutputDebugString(std::string(where) + " ended by an exception");
    }
}

// Runs a system call that may call procedures of this module, and throws what
// they threw.
template <typename F>
auto Guarded(F call) {
    ++platformCallDepth;
    struct Leave {
        ~Leave() { --platformCallDepth; }
    } leave;
    auto result = call();
    if (pendingException) {
        std::exception_ptr e = std::exchange(pendingException, nullptr);
        std::rethrow_exception(e);
    }
    return result;
}

::LRESULT CALLBACK WindowTrampoline(::HWND hwnd, ::UINT msg, ::WPARAM wParam, ::LPARAM lParam) {
    switch (msg) {
    // The system's own steps of making and ending a window, which the
    // platform's procedures do not know: the system answers them.
    case 0x0081: // WM_NCCREATE
    case 0x0083: // WM_NCCALCSIZE
    case 0x0082: // WM_NCDESTROY
    case 0x0024: // WM_GETMINMAXINFO
        return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    default:
        break;
    }
    const WNDPROC proc = ProcOf(hwnd);
    if (!proc)
        return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    try {
        // WM_CREATE carries no creation record for the platform's procedures.
        return proc(P(hwnd), msg, wParam, msg == WM_CREATE ? 0 : lParam);
    } catch (...) {
        KeepException("A window procedure");
        return 0;
    }
}

// Timer procedures of timers set with one: (window, id) -> procedure.
std::mutex timerProcMutex;
std::map<std::pair<HWND, UINT_PTR>, TIMERPROC> timerProcs;

TIMERPROC TimerProcOf(HWND hwnd, UINT_PTR id) {
    std::scoped_lock hold(timerProcMutex);
    auto it = timerProcs.find({hwnd, id});
    return it == timerProcs.end() ? nullptr : it->second;
}

void CALLBACK TimerTrampoline(::HWND hwnd, ::UINT msg, ::UINT_PTR id, ::DWORD time) {
    const TIMERPROC proc = TimerProcOf(P(hwnd), id);
    if (!proc)
        return;
    try {
        proc(P(hwnd), msg, id, time);
    } catch (...) {
        KeepException("A timer procedure");
    }
}

// Window timers kept here while a test clock is installed.
struct EmulatedTimer {
    HWND hwnd;
    UINT_PTR id;
    DWORD thread;
    UINT period;
    std::uint64_t due;
    TIMERPROC proc;
};
std::mutex emulatedMutex;
std::vector<EmulatedTimer> emulated;
UINT_PTR nextThreadTimerId = 0x7000;
// The message that wakes a thread for its emulated timers; never returned.
const ::UINT kTimerWake = ::RegisterWindowMessageW(L"QorPlatformTimerWake");

// The due emulated timer of this thread matching the filter, as a WM_TIMER.
bool TakeDueTimer(HWND filter, bool remove, MSG* out) {
    const DWORD self = ::GetCurrentThreadId();
    const std::uint64_t now = Clock().TickCount64();
    std::scoped_lock hold(emulatedMutex);
    for (EmulatedTimer& t : emulated) {
        if (t.thread != self || t.due > now)
            continue;
        if (filter != 0 && filter != t.hwnd && !(filter == static_cast<HWND>(-1) && t.hwnd == 0))
            continue;
        *out = MSG{t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), static_cast<DWORD>(now)};
        if (remove)
            t.due = now + t.period;
        return true;
    }
    return false;
}

// When this thread's next emulated timer falls due (~0: none).
std::uint64_t NextDue() {
    const DWORD self = ::GetCurrentThreadId();
    std::uint64_t next = ~std::uint64_t{0};
    std::scoped_lock hold(emulatedMutex);
    for (const EmulatedTimer& t : emulated)
        if (t.thread == self)
            next = std::min(next, t.due);
    return next;
}

bool OnMainThread() { return ::GetCurrentThreadId() == MainThreadId(); }

MSG FromSystem(const ::MSG& m) {
    MSG out{P(m.hwnd), m.message, m.wParam, m.lParam, m.time};
    if (m.message == WM_TIMER && m.lParam == reinterpret_cast<::LPARAM>(&TimerTrampoline))
        out.lParam = reinterpret_cast<LPARAM>(TimerProcOf(out.hwnd, out.wParam));
    return out;
}

bool InFilter(UINT msg, UINT filterMin, UINT filterMax) {
    return (filterMin == 0 && filterMax == 0) || (msg >= filterMin && msg <= filterMax);
}

// One look at the queue: sent messages run, then a posted message or a due
// timer is taken. The emulated timers come after the posted messages, as
// the system's do.
bool PeekOnce(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    if (OnMainThread())
        win32::RunSyncCalls();
    for (;;) {
        ::MSG m{};
        if (::PeekMessageW(&m, H(hwnd), filterMin, filterMax, removeMsg)) {
            if (m.message == kTimerWake && m.hwnd == nullptr) {
                if (removeMsg & PM_REMOVE)
                    continue;
                // Not removed: take it away now, it is no message of the caller.
                ::MSG drop{};
                ::PeekMessageW(&drop, nullptr, kTimerWake, kTimerWake, PM_REMOVE);
                continue;
            }
            *msg = FromSystem(m);
            return true;
        }
        break;
    }
    if (!detail::UsingSystemClock() && InFilter(WM_TIMER, filterMin, filterMax))
        return TakeDueTimer(hwnd, (removeMsg & PM_REMOVE) != 0, msg);
    return false;
}

} // namespace

namespace win32 {

void WakeTimerThreads() {
    std::set<DWORD> threads;
    {
        std::scoped_lock hold(emulatedMutex);
        for (const EmulatedTimer& t : emulated)
            threads.insert(t.thread);
    }
    for (const DWORD t : threads)
        ::PostThreadMessageW(t, kTimerWake, 0, 0);
}

} // namespace win32

bool RegisterClass(const WNDCLASS& wc) {
    if (!wc.lpszClassName || !wc.lpfnWndProc || wc.cbWndExtra < 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::wstring name = win32::Widen(wc.lpszClassName);
    ::WNDCLASSEXW system{};
    system.cbSize = sizeof system;
    system.lpfnWndProc = &WindowTrampoline;
    system.cbWndExtra = wc.cbWndExtra;
    system.hInstance = Instance(wc.hInstance);
    system.lpszClassName = name.c_str();
    std::unique_lock hold(classMutex);
    const ::ATOM atom = ::RegisterClassExW(&system);
    if (atom == 0)
        return false;
    classes[{atom, reinterpret_cast<HMODULE>(system.hInstance)}] = std::make_unique<ClassEntry>(
        ClassEntry{wc.lpszClassName, wc.lpfnWndProc, wc.cbWndExtra, reinterpret_cast<HMODULE>(system.hInstance)});
    return true;
}

bool UnregisterClass(std::string_view className, HMODULE instance) {
    const std::wstring name = win32::Widen(className);
    ::WNDCLASSEXW info{};
    info.cbSize = sizeof info;
    std::unique_lock hold(classMutex);
    const auto atom = static_cast<::ATOM>(::GetClassInfoExW(Instance(instance), name.c_str(), &info));
    if (!::UnregisterClassW(name.c_str(), Instance(instance)))
        return false;
    classes.erase({atom, reinterpret_cast<HMODULE>(Instance(instance))});
    return true;
}

bool GetClassInfo(std::string_view className, WNDCLASS* out, HMODULE instance) {
    const std::wstring name = win32::Widen(className);
    ::WNDCLASSEXW info{};
    info.cbSize = sizeof info;
    const auto atom = static_cast<::ATOM>(::GetClassInfoExW(Instance(instance), name.c_str(), &info));
    if (atom == 0)
        return false;
    std::shared_lock hold(classMutex);
    auto it = classes.find({atom, reinterpret_cast<HMODULE>(Instance(instance))});
    if (it == classes.end() || info.lpfnWndProc != &WindowTrampoline) {
        // A class of another module (or of the system) that the platform of
        // this module did not register.
        ::SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return false;
    }
    if (out)
        *out = WNDCLASS{it->second->name.c_str(), it->second->proc, it->second->extra, it->second->instance};
    return true;
}

HWND CreateHiddenWindow(std::string_view className, std::string_view windowName, HMODULE instance) {
    const std::wstring cls = win32::Widen(className);
    const std::wstring name = win32::Widen(windowName);
    return Guarded([&] {
        return P(::CreateWindowExW(0, cls.c_str(), name.c_str(), 0, 0, 0, 0, 0, win32::kHwndMessage, nullptr,
                                   Instance(instance), nullptr));
    });
}

bool DestroyWindow(HWND hwnd) {
    const bool ok = Guarded([&] { return ::DestroyWindow(H(hwnd)) != 0; });
    if (ok) {
        std::scoped_lock hold(emulatedMutex);
        std::erase_if(emulated, [&](const EmulatedTimer& t) { return t.hwnd == hwnd; });
    }
    return ok;
}

bool IsWindow(HWND hwnd) { return hwnd != 0 && ::IsWindow(H(hwnd)) != 0; }

DWORD GetWindowThreadProcessId(HWND hwnd) { return ::GetWindowThreadProcessId(H(hwnd), nullptr); }

std::intptr_t SetWindowLongPtr(HWND hwnd, int byteIndex, std::intptr_t value) {
    ::SetLastError(0);
    return ::SetWindowLongPtrW(H(hwnd), byteIndex, value);
}

std::intptr_t GetWindowLongPtr(HWND hwnd, int byteIndex) {
    ::SetLastError(0);
    return ::GetWindowLongPtrW(H(hwnd), byteIndex);
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(H(hwnd), msg, wParam, lParam) != 0;
}

bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::PostThreadMessageW(threadId, msg, wParam, lParam) != 0;
}

// A send that failed because its window went away (destroyed, or its thread
// ended, before the message ran) reports that, whatever the system's own
// code for it (Wine gives ERROR_ACCESS_DENIED for a window destroyed while
// the message waited).
static void WindowGoneIsInvalidWindow(HWND hwnd) {
    if (!IsWindow(hwnd))
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    ::SetLastError(0);
    const LRESULT r = Guarded([&] { return ::SendMessageW(H(hwnd), msg, wParam, lParam); });
    if (r == 0 && ::GetLastError() != 0)
        WindowGoneIsInvalidWindow(hwnd);
    return r;
}

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                        LRESULT* result) {
    ::DWORD_PTR r = 0;
    const bool ok = Guarded([&] {
        return ::SendMessageTimeoutW(H(hwnd), msg, wParam, lParam, flags, timeoutMs, &r) != 0;
    });
    if (ok && result)
        *result = static_cast<LRESULT>(r);
    if (!ok && ::GetLastError() == 0)
        ::SetLastError(ERROR_TIMEOUT);
    if (!ok)
        WindowGoneIsInvalidWindow(hwnd);
    return ok;
}

bool PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    MSG m{};
    if (!Guarded([&] { return PeekOnce(&m, hwnd, filterMin, filterMax, removeMsg); }))
        return false;
    if (msg)
        *msg = m;
    return true;
}

int GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    const bool mainThread = OnMainThread();
    if (!mainThread && detail::UsingSystemClock()) {
        ::MSG m{};
        const ::BOOL r = Guarded([&] { return ::GetMessageW(&m, H(hwnd), filterMin, filterMax); });
        if (r == -1)
            return -1;
        if (msg)
            *msg = FromSystem(m);
        return r ? 1 : 0;
    }
    // The main thread also runs the calls queued for it, and any thread with
    // a test clock makes its timers from that clock: look, then wait for new
    // input, the queued calls, or the next timer.
    for (;;) {
        MSG m{};
        if (Guarded([&] { return PeekOnce(&m, hwnd, filterMin, filterMax, PM_REMOVE); })) {
            if (msg)
                *msg = m;
            return m.message == WM_QUIT ? 0 : 1;
        }
        ::DWORD timeout = win32::kInfinite;
        if (!detail::UsingSystemClock()) {
            const std::uint64_t due = NextDue();
            if (due != ~std::uint64_t{0}) {
                const std::uint64_t now = Clock().TickCount64();
                timeout = due <= now ? 0 : static_cast<::DWORD>(std::min<std::uint64_t>(due - now, 0x7FFFFFFF));
            }
        }
        const ::HANDLE sync = reinterpret_cast<::HANDLE>(SyncEvent());
        if (win32::ClockWait(mainThread ? 1 : 0, &sync, false, timeout, true, QS_ALLINPUT) == WAIT_FAILED)
            return -1;
    }
}

bool TranslateMessage(const MSG*) { return false; }

LRESULT DispatchMessage(const MSG* msg) {
    if (!msg)
        return 0;
    ::MSG m{};
    m.hwnd = H(msg->hwnd);
    m.message = msg->message;
    m.wParam = msg->wParam;
    m.lParam = msg->lParam;
    m.time = msg->time;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        // A timer with a procedure: the platform procedure is called here (the
        // system accepts only the procedures it was given itself).
        const TIMERPROC proc = TimerProcOf(msg->hwnd, msg->wParam);
        if (proc == nullptr || reinterpret_cast<LPARAM>(proc) != msg->lParam)
            return 0;
        proc(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    if (msg->hwnd == 0)
        return 0;
    return Guarded([&] { return ::DispatchMessageW(&m); });
}

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(H(hwnd), msg, wParam, lParam);
}

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    const UINT period = std::clamp<UINT>(elapseMs, 10, 0x7FFFFFFF);
    if (!detail::UsingSystemClock()) {
        if (hwnd != 0 && GetWindowThreadProcessId(hwnd) != ::GetCurrentThreadId()) {
            ::SetLastError(hwnd && IsWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        const DWORD self = ::GetCurrentThreadId();
        std::scoped_lock hold(emulatedMutex);
        auto it = std::find_if(emulated.begin(), emulated.end(), [&](const EmulatedTimer& t) {
            return t.hwnd == hwnd && t.id == id && (hwnd != 0 || t.thread == self);
        });
        if (it == emulated.end()) {
            if (emulated.size() >= MAX_TIMERS) {
                ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
                return 0;
            }
            const UINT_PTR newId = hwnd == 0 ? ++nextThreadTimerId : id;
            it = emulated.insert(emulated.end(), EmulatedTimer{hwnd, newId, self, period, 0, proc});
        }
        it->period = period;
        it->due = Clock().TickCount64() + period;
        it->proc = proc;
        return it->id;
    }
    UINT_PTR result = 0;
    if (proc) {
        result = ::SetTimer(H(hwnd), id, period, &TimerTrampoline);
        if (result) {
            std::scoped_lock hold(timerProcMutex);
            timerProcs[{hwnd, result}] = proc;
        }
    } else {
        result = ::SetTimer(H(hwnd), id, period, nullptr);
        if (result) {
            std::scoped_lock hold(timerProcMutex);
            timerProcs.erase({hwnd, result});
        }
    }
    return result;
}

bool KillTimer(HWND hwnd, UINT_PTR id) {
    {
        std::scoped_lock hold(emulatedMutex);
        const DWORD self = ::GetCurrentThreadId();
        auto it = std::find_if(emulated.begin(), emulated.end(), [&](const EmulatedTimer& t) {
            return t.hwnd == hwnd && t.id == id && (hwnd != 0 || t.thread == self);
        });
        if (it != emulated.end()) {
            emulated.erase(it);
            return true;
        }
    }
    {
        std::scoped_lock hold(timerProcMutex);
        timerProcs.erase({hwnd, id});
    }
    return ::KillTimer(H(hwnd), id) != 0;
}

DWORD GetQueueStatus(UINT flags) { return ::GetQueueStatus(flags); }

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs, DWORD wakeMask) {
    if (count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr) ||
        (waitAll && win32::HasDuplicates(count, reinterpret_cast<const ::HANDLE*>(handles)))) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const bool mainThread = OnMainThread();
    std::vector<::HANDLE> set(reinterpret_cast<const ::HANDLE*>(handles),
                              reinterpret_cast<const ::HANDLE*>(handles) + count);
    // The main thread's queued calls count as sent messages: they run inside
    // the wait, which returns for them when the mask asks for sent messages.
    const bool withSync = mainThread && !waitAll && count + 1 < MAXIMUM_WAIT_OBJECTS;
    if (withSync)
        set.push_back(reinterpret_cast<::HANDLE>(SyncEvent()));
    const std::uint64_t start = Clock().TickCount64();
    for (;;) {
        if (mainThread && win32::RunSyncCalls() && (wakeMask & QS_SENDMESSAGE))
            return WAIT_OBJECT_0 + count;
        DWORD left = timeoutMs;
        if (timeoutMs != INFINITE && timeoutMs != 0) {
            const std::uint64_t spent = Clock().TickCount64() - start;
            left = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
        }
        // A test clock's timers of this thread are input too.
        if (!detail::UsingSystemClock() && (wakeMask & QS_TIMER)) {
            const std::uint64_t due = NextDue();
            if (due != ~std::uint64_t{0}) {
                const std::uint64_t now = Clock().TickCount64();
                if (due <= now)
                    return WAIT_OBJECT_0 + count;
                if (left == INFINITE || due - now < left)
                    left = static_cast<DWORD>(due - now);
            }
        }
        const ::DWORD r = win32::ClockWait(static_cast<::DWORD>(set.size()), set.data(), waitAll, left, true,
                                           wakeMask | (withSync ? 0 : 0));
        if (withSync && r == WAIT_OBJECT_0 + count)
            continue; // queued calls: run above
        if (withSync && r == WAIT_OBJECT_0 + count + 1)
            return WAIT_OBJECT_0 + count; // input
        if (r == WAIT_TIMEOUT && !detail::UsingSystemClock() && (wakeMask & QS_TIMER) &&
            (timeoutMs == INFINITE || Clock().TickCount64() - start < timeoutMs))
            continue; // a timer fell due: seen at the top
        return r;
    }
}

} // namespace platform
