// The queue-driven thread base: a thread object with a wake event, a stop
// request and a lock held around each piece of work.
#pragma once

#include "platform/Locks.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace qor {

// A thread object: the thread is created suspended at normal priority and runs
// Execute once resumed. The object is not freed when the thread ends; its owner
// stops it (Stop(true)), waits for it (WaitFor) and then frees it.
//
// Derived classes override Execute. Because the thread calls virtual functions
// of the object, it must not run before the most derived constructor has
// finished: construct suspended and call Resume() afterwards.
//
// Destroying the object while its thread still runs would leave the thread
// working on freed memory, so the destructor first stops it and waits for it
// without limit (the way WaitFor does on the calling thread). It must not be
// destroyed from its own thread.
class TQueuedCommonThread {
public:
    TQueuedCommonThread();
    virtual ~TQueuedCommonThread();
    TQueuedCommonThread(const TQueuedCommonThread&) = delete;
    TQueuedCommonThread& operator=(const TQueuedCommonThread&) = delete;

    // Sets (true) or resets (false) WakeEvent.
    virtual void SetWake(bool flag);
    // StopRequested := flag and SetWake(flag); a suspended thread is set to
    // normal priority and resumed so it can see the request.
    virtual void Stop(bool flag);

    // Waits for the thread to end. On the main thread it keeps running sent
    // messages and Synchronize calls while it waits (1000 ms slices), and on
    // time-out (finite timeoutMs, platform clock) returns false leaving the
    // thread running. On other threads it waits on the thread handle and, on
    // time-out with killOnTimeout, ends the thread by force
    // (platform::TerminateThread, see its limits) before returning false.
    // Throws std::system_error when the wait itself fails.
    bool WaitFor(std::uint32_t timeoutMs, bool killOnTimeout);

    // Resume once (the thread starts when it was created suspended).
    void Resume();
    bool Suspended() const { return suspended_.load(); }
    // Asks Execute to finish (it checks Terminated) and wakes the thread.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const;

    platform::HANDLE Handle() const { return handle_; }
    platform::DWORD ThreadID() const { return threadId_; }
    void SetPriority(int priority);
    int Priority() const;

    platform::Event WakeEvent{true, false};
    std::atomic<bool> StopRequested{false};
    platform::CriticalSection Lock;

protected:
    virtual void Execute() = 0;
    // Runs call on the main thread and waits for it.
    static void Synchronize(const std::function<void()>& call) { platform::Synchronize(call); }

private:
    platform::DWORD Run();

    platform::HANDLE handle_ = 0;
    platform::DWORD threadId_ = 0;
    std::atomic<bool> suspended_{true};
    std::atomic<bool> terminated_{false};
};

} // namespace qor
