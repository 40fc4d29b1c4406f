// Message queues, hidden windows and window timers.
//
// Every thread gets a message queue on first use of a message function
// (PeekMessage, GetMessage, MsgWaitForMultipleObjects, GetQueueStatus,
// CreateHiddenWindow, SetTimer, PostMessage(0, ...), PostQuitMessage);
// PostThreadMessage to a thread without one fails (ERROR_INVALID_THREAD_ID).
// A window belongs to the thread that created it: its procedure runs only on
// that thread, and that thread's end destroys it (without WM_DESTROY).
//
// Retrieval order (GetMessage, PeekMessage): first every pending sent message
// is run (they are never returned), then posted messages in order, then WM_QUIT
// once no posted message matching the filter is left, then WM_TIMER of a due
// timer. A filter window of 0 takes messages of all the thread's windows and
// thread messages; HWND(-1) takes thread messages only; WM_QUIT comes only with
// those two. filterMin = filterMax = 0 takes every message.
//
// Sent messages. SendMessage and SendMessageTimeout on the owner thread call
// the procedure directly. From another thread the message is queued for the
// owner, which runs it inside GetMessage, PeekMessage, MsgWaitForMultipleObjects
// and while it waits in a SendMessage of its own (unless that one uses
// SMTO_BLOCK); the sender waits for the result at most the time-out (platform
// clock). A sent message whose sender gave up before the owner began it is
// withdrawn (never run: its lParam may point at the sender's stack); one the
// owner already began runs to its end and its result is dropped. A message whose
// window is destroyed, or whose owner thread ends, before it ran fails
// (ERROR_INVALID_WINDOW_HANDLE). An exception escaping a window procedure run
// for a sent message from another thread is reported to the debugger output and
// the sender gets 0 (it cannot travel to the sender's thread).
//
// Hung: with SMTO_ABORTIFHUNG, SendMessageTimeout fails at once
// (ERROR_TIMEOUT) when the owner thread is hung: it is not blocked in a message
// wait (GetMessage, MsgWaitForMultipleObjects, a SendMessage wait) and has not
// looked at its queue for HUNG_THRESHOLD_MS (platform clock), or it has ended.
// A thread busy inside a window procedure for that long counts as hung.
//
// Posted messages: each queue holds at most MAX_POSTED_MESSAGES; beyond that
// PostMessage fails with ERROR_NOT_ENOUGH_QUOTA.
//
// Timers (SetTimer) belong to the owner thread of their window (or to the
// calling thread for window 0). Periods are clamped to 10 .. 0x7FFFFFFF ms and
// measured on the platform clock; a timer's WM_TIMER is made when the owner
// looks for a message and the timer is due, and its next due time is counted
// from the moment the message is removed (late periods are not made up). A
// ManualClock advanced past a due time wakes the owner's GetMessage and
// MsgWaitForMultipleObjects at once. DispatchMessage of a WM_TIMER whose lParam
// is a TIMERPROC calls that procedure (only if the timer still exists with it).
// At most MAX_TIMERS timers exist in the process (then ERROR_NO_SYSTEM_RESOURCES).
//
// MsgWaitForMultipleObjects wakes for input of its wake mask that is new: input
// that arrived (a posted or sent message, a quit, a timer falling due) since the
// thread last looked at its queue with GetMessage, PeekMessage, GetQueueStatus
// or a MsgWaitForMultipleObjects that returned for it. Input already seen does
// not wake it again (as on Windows: pump, or wait with a short time-out, when
// messages are left). Pending sent messages (and, on the main thread, queued
// Synchronize calls) are always run inside the wait; with QS_SENDMESSAGE in the
// mask the wait then returns WAIT_OBJECT_0 + count, otherwise it goes on.
// With waitAll, WAIT_OBJECT_0 means every object is signalled; new input still
// returns WAIT_OBJECT_0 + count.
#pragma once

#include "platform/Errors.h"
#include "platform/Sync.h"
#include "platform/Types.h"

#include <cstdint>
#include <string_view>

namespace platform {

constexpr UINT WM_NULL = 0x0000, WM_CREATE = 0x0001, WM_DESTROY = 0x0002, WM_CLOSE = 0x0010, WM_QUIT = 0x0012,
               WM_TIMER = 0x0113, WM_USER = 0x0400, WM_APP = 0x8000;

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time; // GetTickCount() when posted (or made, for WM_TIMER)
};

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASS {
    const char* lpszClassName;
    WNDPROC lpfnWndProc;
    int cbWndExtra;        // bytes of extra words per window, zero-filled at creation
    HMODULE hInstance = 0; // the registering module; 0 = the executable
};

constexpr DWORD HUNG_THRESHOLD_MS = 5000;
constexpr std::size_t MAX_POSTED_MESSAGES = 10000;
constexpr std::size_t MAX_TIMERS = 10000;

// Classes belong to the module that registers them, as on Windows: two modules
// (the host and the plug-in, each with its own copy of the framework) may each
// register a class of the same name, and each gets its own window procedure.
// Class names compare without regard to case (the ANSI mapping of Text.h). False with
// ERROR_CLASS_ALREADY_EXISTS when the module already registered the name.
QOR_PLATFORM_API bool RegisterClass(const WNDCLASS& wc);
// False while windows of the class exist (ERROR_CLASS_HAS_WINDOWS).
QOR_PLATFORM_API bool UnregisterClass(std::string_view className, HMODULE instance = 0);
// The name pointer given back stays valid while the class is registered.
QOR_PLATFORM_API bool GetClassInfo(std::string_view className, WNDCLASS* out, HMODULE instance = 0);
// A message-only window of the class that `instance` registered, owned by the
// calling thread. Its procedure gets WM_CREATE (lParam 0) before this returns;
// a result of -1 refuses the window. 0 on failure.
QOR_PLATFORM_API HWND CreateHiddenWindow(std::string_view className, std::string_view windowName = {},
                                         HMODULE instance = 0);
// Owner thread only (ERROR_ACCESS_DENIED otherwise). Sends WM_DESTROY, then
// kills the window's timers, drops its posted messages and fails its pending
// sent messages.
QOR_PLATFORM_API bool DestroyWindow(HWND hwnd);
QOR_PLATFORM_API bool IsWindow(HWND hwnd);
// Owner thread id, 0 when not a window.
QOR_PLATFORM_API DWORD GetWindowThreadProcessId(HWND hwnd);
// Extra words, from any thread: byteIndex 0 is the first; the word must lie
// inside cbWndExtra (ERROR_INVALID_INDEX). Returns the previous value; 0 with
// the last error set on failure (the last error is cleared on success).
QOR_PLATFORM_API std::intptr_t SetWindowLongPtr(HWND hwnd, int byteIndex, std::intptr_t value);
QOR_PLATFORM_API std::intptr_t GetWindowLongPtr(HWND hwnd, int byteIndex);

// HWND 0: the calling thread's queue. False when the window is gone.
QOR_PLATFORM_API bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
QOR_PLATFORM_API bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// 0 when the message could not be delivered (last error set).
QOR_PLATFORM_API LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
constexpr UINT SMTO_NORMAL = 0, SMTO_BLOCK = 1, SMTO_ABORTIFHUNG = 2;
// INFINITE waits without limit. False with ERROR_TIMEOUT when it timed out or
// the owner is hung, other errors as above.
QOR_PLATFORM_API bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                                         UINT timeoutMs, LRESULT* result);

constexpr UINT PM_NOREMOVE = 0, PM_REMOVE = 1;
QOR_PLATFORM_API bool PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);
// Waits for a matching message. >0 message, 0 WM_QUIT, -1 error.
QOR_PLATFORM_API int GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
// There is no keyboard input: nothing is ever translated (false).
QOR_PLATFORM_API bool TranslateMessage(const MSG* msg);
// Calls the window's procedure (owner thread only) or the timer procedure;
// thread messages (hwnd 0) go nowhere (0).
QOR_PLATFORM_API LRESULT DispatchMessage(const MSG* msg);
// WM_CLOSE destroys the window; everything else gives 0.
QOR_PLATFORM_API LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// WM_QUIT with wParam = exitCode for the calling thread (see the order above).
QOR_PLATFORM_API void PostQuitMessage(int exitCode);

// Window timers: hwnd must belong to the calling thread. Setting an existing
// (hwnd, id) again replaces it. Returns the id (window 0: a new process-unique
// id unless id names an existing timer of this thread), 0 on failure.
QOR_PLATFORM_API UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc = nullptr);
QOR_PLATFORM_API bool KillTimer(HWND hwnd, UINT_PTR id);

constexpr UINT QS_KEY = 0x1, QS_MOUSEMOVE = 0x2, QS_MOUSEBUTTON = 0x4, QS_POSTMESSAGE = 0x8, QS_TIMER = 0x10,
               QS_PAINT = 0x20, QS_SENDMESSAGE = 0x40, QS_HOTKEY = 0x80, QS_ALLPOSTMESSAGE = 0x100,
               QS_ALLINPUT = 0x4FF;
// High word: kinds of input in the queue now; low word: kinds new since the
// last look (see above). Both limited to flags; the new kinds asked for are
// then marked seen.
QOR_PLATFORM_API DWORD GetQueueStatus(UINT flags);
// As WaitForMultipleObjects (0 to 63 handles), plus WAIT_OBJECT_0 + count when
// new input of wakeMask arrived (see above).
QOR_PLATFORM_API DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs,
                                                 DWORD wakeMask);

} // namespace platform
