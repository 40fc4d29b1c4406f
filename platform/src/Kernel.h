// The process-wide registry behind handles, windows, queues and timers.
//
// One mutex (Kernel::mutex) guards all of it. Each thread that uses the
// platform has a ThreadData with its own condition variable; a blocked thread
// waits on it with the kernel mutex, and whoever changes what it waits for
// (an event, a thread's end, a message for its queue, the clock) notifies it.
// No user code (window procedures, timer procedures, synchronized calls) ever
// runs with the mutex held.
#pragma once

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace platform::detail {

struct ThreadData;

constexpr std::uint64_t NoDeadline = std::numeric_limits<std::uint64_t>::max();

// A waitable object.
struct Object {
    virtual ~Object() = default;
    virtual bool Signalled() const = 0;
    // Called when a wait is satisfied by this object (auto-reset events reset).
    virtual void Acquire() {}
    void NotifyWaiters();

    std::vector<ThreadData*> waiters;
};

struct EventObject final : Object {
    EventObject(bool manual, bool initial) : manualReset(manual), signalled(initial) {}
    bool Signalled() const override { return signalled; }
    void Acquire() override {
        if (!manualReset)
            signalled = false;
    }
    bool manualReset;
    bool signalled;
};

// The handshake of a forced termination: the parked thread raises the flag
// (release: everything it did before is visible to the terminating thread once
// that one has read it) and posts the semaphore.
struct ParkHandshake {
    ParkHandshake() { sem_init(&posted, 0, 0); }
    ~ParkHandshake() { sem_destroy(&posted); }
    sem_t posted;
    std::atomic<bool> parked{false};
};

struct ThreadObject final : Object {
    bool Signalled() const override { return finished; }

    ThreadBody body;
    DWORD tid = 0;
    pthread_t pthread{};
    bool started = false;  // tid and pthread are known
    bool finished = false; // the handle is signalled
    DWORD exitCode = STILL_ACTIVE;
    unsigned suspendCount = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    std::shared_ptr<ThreadData> data;
    std::condition_variable changed; // start-up and resume, with the kernel mutex
    ParkHandshake park;              // TerminateThread
};

struct SentMessage {
    enum class State { Queued, Running, Done, Failed };
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    State state = State::Queued;
    std::shared_ptr<ThreadData> sender;
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT period;
    TIMERPROC proc;
    std::uint64_t due;
    bool seen = false; // due, and the owner has looked at its queue since
};

struct ThreadData : std::enable_shared_from_this<ThreadData> {
    DWORD tid = 0;
    bool isMain = false;
    bool alive = true;
    bool hasQueue = false;
    std::condition_variable cv;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quitPending = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    unsigned newBits = 0;          // QS_* kinds arrived since the last look
    bool inMessageWait = false;    // blocked where it would take sent messages
    std::uint64_t lastLook = 0;    // platform tick of the last look at the queue
    // Sockets that notify this thread's windows are watched by the thread
    // itself: its message waits block in epoll_wait on them (pollFd) and on
    // wakeFd, which Wake writes while pollWaiting. Their readiness becomes a
    // posted message on this thread, with no other thread in between. -1
    // until the first such socket.
    int pollFd = -1;
    int wakeFd = -1;
    std::atomic<bool> pollWaiting{false};

    ThreadData() = default;
    ThreadData(const ThreadData&) = delete;
    ThreadData& operator=(const ThreadData&) = delete;
    ~ThreadData();
};

// Wakes a thread blocked on the kernel: its condition variable, or its
// socket wait.
void Wake(ThreadData& t);

struct WindowClassData {
    std::string name;
    WNDPROC proc;
    int cbWndExtra;
    std::size_t windows = 0;
    HMODULE module = 0;
};

struct Window {
    HWND hwnd;
    std::string classKey;
    WNDPROC proc;
    std::vector<std::uint8_t> extra;
    std::string name;
    std::shared_ptr<ThreadData> owner;
    bool destroying = false;
};

struct SyncCall {
    std::function<void()> call;
    bool done = false;
    std::exception_ptr error;
    std::shared_ptr<ThreadData> waiter;
};

struct Kernel {
    std::mutex mutex;
    std::uintptr_t nextHandle = 0x1000;
    std::unordered_map<HANDLE, std::shared_ptr<Object>> objects;
    std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    std::map<std::string, WindowClassData> classes; // by ClassKey
    std::unordered_map<DWORD, std::shared_ptr<ThreadData>> threads;
    std::unordered_set<ThreadData*> blocked;
    std::size_t timerCount = 0;
    UINT_PTR nextTimerId = 0x7FF0'0000;
    std::deque<std::shared_ptr<SyncCall>> syncCalls;
    HANDLE syncEvent = 0;

    std::uintptr_t NewHandle() { return nextHandle += 4; }
};

// Lives for the whole process (never destroyed, so threads ending during exit
// still find it).
Kernel& K();

// The calling thread's data, made and registered on first use. Must be called
// without the kernel mutex held.
ThreadData& Self();
std::shared_ptr<ThreadData> SelfShared();
DWORD CurrentTid();

inline std::uint64_t Now() { return Clock().TickCount64(); }
// Whether the clock in use is the system's (time-outs then also pass in real time).
bool UsingSystemClock();
// Deadline of a time-out starting now (NoDeadline for INFINITE).
inline std::uint64_t DeadlineAfter(DWORD timeoutMs) {
    return timeoutMs == INFINITE ? NoDeadline : Now() + timeoutMs;
}

// Blocks the calling thread (lock held on the kernel mutex) until notified, or
// until the platform clock reaches wakeTick. With the system clock that is a
// real-time wait for the remaining time. Any other clock moves only by a call
// that ends in NotifyClockChanged, which wakes this wait; the wait then only
// re-reads such a clock once a second of real time in case it moved silently.
// May return early; callers loop.
void Block(std::unique_lock<std::mutex>& lock, ThreadData& self, std::uint64_t wakeTick);

// Turns the readiness of the thread's sockets into posted messages (kernel
// lock held). timeoutMs 0 only looks; otherwise the thread waits in
// epoll_wait, with the lock released, until a socket is ready, it is woken,
// or the time has passed (-1: no limit). Socket.cpp.
void PollSockets(std::unique_lock<std::mutex>& lock, ThreadData& self, int timeoutMs);

// Queues a posted message on target (kernel lock held); the caller wakes it
// after releasing the lock. Messages.cpp.
bool PostLocked(ThreadData& target, const MSG& m);
// The window of a handle (kernel lock held), null when there is none.
std::shared_ptr<Window> FindWindowLocked(HWND hwnd);

// Looks up an object of any kind, null when the handle is not one.
std::shared_ptr<Object> FindObject(HANDLE handle);

// Signals an event, with the kernel mutex held.
void SetEventLocked(EventObject& event);

// Ends a thread's message queue and windows (its end, or forced termination).
void DetachThreadLocked(ThreadData& data);

// Runs the sent messages (and, on the main thread, the synchronize calls)
// pending for self. Unlocks around each call. true if any ran.
bool RunInbound(std::unique_lock<std::mutex>& lock, ThreadData& self);
// Runs the calls queued for the main thread (call on the main thread only).
bool RunSyncCalls(std::unique_lock<std::mutex>& lock);

// The wait behind WaitFor*/MsgWait*. msgWait: also messages, with wakeMask.
DWORD WaitCore(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs, bool msgWait, DWORD wakeMask);

// The key of a class: its module and its name upper-cased by the ANSI mapping
// (Text.h), so names that differ only in case are one class.
std::string ClassKey(std::string_view className, HMODULE module);

} // namespace platform::detail
