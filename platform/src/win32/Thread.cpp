// Threads on Win32: _beginthreadex (the C runtime's per-thread data is set
// up), the system's priorities, forced end and names; calls queued for the
// main thread.
#include "WinApi.h"

#include "Waits.h"

#include "platform/Debug.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace platform {

namespace win32 {
bool RunSyncCalls();
} // namespace win32

namespace {

struct ThreadStart {
    ThreadBody body;
};

// No exception may unwind into the system's thread start: it ends here.
unsigned __stdcall ThreadMain(void* arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    try {
        return start->body ? start->body() : 0;
    } catch (const std::exception& e) {
        OutputDebugString(std::string("Thread ended by an exception: ") + e.what());
    } catch (...) {
        OutputDebugString("Thread ended by an exception");
    }
    return THREAD_EXIT_EXCEPTION;
}

// The process's initial thread: the oldest thread of the process. A library
// loaded later cannot see the start of the process, so it asks the system for
// the thread list and takes the one created first.
DWORD FindInitialThread() {
    const ::DWORD pid = ::GetCurrentProcessId();
    DWORD best = ::GetCurrentThreadId();
    ::ULONGLONG bestTime = ~0ULL;
    const ::HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == win32::kInvalidHandle)
        return best;
    ::THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (bool more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        const ::HANDLE t = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        if (!t)
            continue;
        ::FILETIME created{}, exited{}, kernel{}, user{};
        if (::GetThreadTimes(t, &created, &exited, &kernel, &user)) {
            const ::ULONGLONG when = (static_cast<::ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
            if (when < bestTime) {
                bestTime = when;
                best = entry.th32ThreadID;
            }
        }
        ::CloseHandle(t);
    }
    ::CloseHandle(snapshot);
    return best;
}

struct SyncCall {
    std::function<void()> call;
    std::exception_ptr error;
    ::HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~SyncCall() {
        if (done)
            ::CloseHandle(done);
    }
};

std::mutex syncMutex;
std::deque<std::shared_ptr<SyncCall>> syncCalls;

} // namespace

namespace win32 {

// Main thread: runs the calls queued so far. true if any ran.
bool RunSyncCalls() {
    bool ran = false;
    for (;;) {
        std::shared_ptr<SyncCall> next;
        {
            std::scoped_lock hold(syncMutex);
            if (syncCalls.empty()) {
                ::ResetEvent(reinterpret_cast<::HANDLE>(SyncEvent()));
                return ran;
            }
            next = std::move(syncCalls.front());
            syncCalls.pop_front();
        }
        try {
            next->call();
        } catch (...) {
            next->error = std::current_exception();
        }
        ran = true;
        ::SetEvent(next->done);
    }
}

} // namespace win32

HANDLE CreateThread(ThreadBody body, bool suspended, DWORD* threadId) {
    auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(body)});
    unsigned id = 0;
    const std::uintptr_t h =
        ::_beginthreadex(nullptr, 0, &ThreadMain, start.get(), suspended ? CREATE_SUSPENDED : 0, &id);
    if (h == 0) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    start.release(); // the thread owns it now
    if (threadId)
        *threadId = id;
    return static_cast<HANDLE>(h);
}

DWORD ResumeThread(HANDLE thread) { return ::ResumeThread(reinterpret_cast<::HANDLE>(thread)); }

bool SetThreadPriority(HANDLE thread, int priority) {
    return ::SetThreadPriority(reinterpret_cast<::HANDLE>(thread), priority) != 0;
}

int GetThreadPriority(HANDLE thread) { return ::GetThreadPriority(reinterpret_cast<::HANDLE>(thread)); }

DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }
DWORD GetThreadId(HANDLE thread) { return ::GetThreadId(reinterpret_cast<::HANDLE>(thread)); }

bool GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
    ::DWORD code = 0;
    if (!::GetExitCodeThread(reinterpret_cast<::HANDLE>(thread), &code))
        return false;
    if (exitCode)
        *exitCode = code;
    return true;
}

bool TerminateThread(HANDLE thread, DWORD exitCode) {
    const ::HANDLE h = reinterpret_cast<::HANDLE>(thread);
    ::DWORD code = 0;
    // Ending a thread that already ended changes nothing, as documented for
    // the platform call.
    if (::GetExitCodeThread(h, &code) && code != STILL_ACTIVE)
        return true;
    if (!::TerminateThread(h, exitCode))
        return false;
    // The system ends the thread asynchronously; the call returns once it
    // runs none of its own code any more.
    ::WaitForSingleObject(h, 5000);
    return true;
}

void SetThreadName(std::string_view name) {
    // SetThreadDescription exists from Windows 10 1607 on; found at run time.
    using SetDescription = ::HRESULT(WINAPI*)(::HANDLE, const wchar_t*);
    static const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription)
        setDescription(::GetCurrentThread(), win32::Widen(name).c_str());
}

DWORD MainThreadId() {
    static const DWORD id = FindInitialThread();
    return id;
}

HANDLE SyncEvent() {
    static const ::HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return reinterpret_cast<HANDLE>(event);
}

void Synchronize(std::function<void()> call) {
    if (!call)
        return;
    if (GetCurrentThreadId() == MainThreadId()) {
        call();
        return;
    }
    auto queued = std::make_shared<SyncCall>();
    queued->call = std::move(call);
    {
        std::scoped_lock hold(syncMutex);
        syncCalls.push_back(queued);
        ::SetEvent(reinterpret_cast<::HANDLE>(SyncEvent()));
    }
    // The main thread's message functions wait for the event too.
    ::WaitForSingleObject(queued->done, win32::kInfinite);
    if (queued->error)
        std::rethrow_exception(queued->error);
}

bool CheckSynchronize(DWORD timeoutMs) {
    if (GetCurrentThreadId() != MainThreadId()) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (timeoutMs > 0)
        WaitForSingleObject(SyncEvent(), timeoutMs);
    return win32::RunSyncCalls();
}

} // namespace platform
