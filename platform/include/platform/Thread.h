// Threads and the main thread.
//
// Thread ids are the kernel's thread ids (what debuggers and /proc show). The
// main thread is the process's initial thread, whose id is the process id,
// whichever thread first used this library.
#pragma once

#include "platform/Errors.h"
#include "platform/Sync.h"
#include "platform/Types.h"

#include <functional>
#include <string_view>

namespace platform {

// The thread's work; its result is the thread's exit code. An exception that
// escapes it is caught (it never ends the process): the text goes to the
// debugger output and the exit code becomes THREAD_EXIT_EXCEPTION.
using ThreadBody = std::function<DWORD()>;
constexpr DWORD THREAD_EXIT_EXCEPTION = 0xE06D7363;

// Starts a thread running body, or holding before body until ResumeThread when
// suspended. The handle is waitable: signalled once the thread has ended (its
// body returned and its windows, timers and queue are gone). 0 on failure.
QOR_PLATFORM_API HANDLE CreateThread(ThreadBody body, bool suspended, DWORD* threadId = nullptr);
// Counts one resume; the thread starts when the count reaches 0. Returns the
// previous suspend count (0: it was running), DWORD(-1) on failure.
QOR_PLATFORM_API DWORD ResumeThread(HANDLE thread);

// Priorities. The value set is recorded and reported back by GetThreadPriority.
// The thread's nice value follows it as far as the process may go:
//   IDLE 19, LOWEST 10, BELOW_NORMAL 5, NORMAL 0, ABOVE_NORMAL -5, HIGHEST -10,
//   TIME_CRITICAL -20.
// Without CAP_SYS_NICE (or an RLIMIT_NICE that allows it) Linux lets a thread
// only become nicer: a step towards a higher priority than the nice value the
// thread already has keeps the nice value as it is, and is still recorded (and
// reported as success, since the scheduler's choice is advisory anyway). Only a
// value outside the list below fails (ERROR_INVALID_PARAMETER).
constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;
QOR_PLATFORM_API bool SetThreadPriority(HANDLE thread, int priority);
// THREAD_PRIORITY_ERROR_RETURN on failure.
QOR_PLATFORM_API int GetThreadPriority(HANDLE thread);

QOR_PLATFORM_API DWORD GetCurrentThreadId();
QOR_PLATFORM_API DWORD GetThreadId(HANDLE thread);

constexpr DWORD STILL_ACTIVE = 259;
QOR_PLATFORM_API bool GetExitCodeThread(HANDLE thread, DWORD* exitCode);

// Forced end of a thread, for a thread that does not answer a stop request.
//
// Linux has no safe way to end one thread from outside: cancelling it unwinds
// its C++ frames from an arbitrary instruction. Instead the thread is sent a
// real-time signal (SIGRTMIN+5, queued with this process as sender; the same
// signal from elsewhere is ignored) whose handler blocks every signal and parks
// the thread in sigsuspend forever. TerminateThread returns only once the
// handler has started (at most 5 s; then it fails with ERROR_TIMEOUT), so when
// it returns true the thread runs none of its own code any more. Its handle is
// then signalled with exitCode, and its windows, timers and message queue are
// removed as at a normal end.
//
// What it cannot do (as with the Windows call, this is an emergency measure):
// - locks the thread held stay held for good (including the allocator's, if it
//   was inside malloc), so other threads needing them block;
// - nothing it owned is freed: its stack, its thread-local data, its objects;
// - a thread that blocked SIGRTMIN+5 cannot be ended (ERROR_TIMEOUT); threads
//   made by CreateThread start with it unblocked.
// Terminating the calling thread parks it at once (the call never returns).
// Terminating a thread that has already ended succeeds and changes nothing.
QOR_PLATFORM_API bool TerminateThread(HANDLE thread, DWORD exitCode);

// Names the calling thread for debuggers (the first 15 bytes are kept).
QOR_PLATFORM_API void SetThreadName(std::string_view name);

QOR_PLATFORM_API DWORD MainThreadId();

// Runs call on the main thread and waits for it; on the main thread it runs at
// once. An exception thrown by call is rethrown in the calling thread.
//
// The main thread runs queued calls in CheckSynchronize, and also inside its
// message functions: GetMessage, PeekMessage, MsgWaitForMultipleObjects and the
// wait of a cross-thread SendMessage run them as they run sent messages (a
// queued call counts as a sent message, QS_SENDMESSAGE, for the main thread's
// queue status and wake mask). A main thread blocked in a plain wait
// (WaitForSingleObject, WaitForMultipleObjects) does not run them: it should
// wait on SyncEvent() too and call CheckSynchronize when that fires.
QOR_PLATFORM_API void Synchronize(std::function<void()> call);
// Main thread only: waits up to timeoutMs for a queued call, then runs all the
// queued calls. true if any ran. An exception thrown by a call goes back to its
// caller, not here. On another thread: false, ERROR_ACCESS_DENIED.
QOR_PLATFORM_API bool CheckSynchronize(DWORD timeoutMs = 0);
// Manual-reset event, signalled while calls are queued for the main thread.
QOR_PLATFORM_API HANDLE SyncEvent();

} // namespace platform
