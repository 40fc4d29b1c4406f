// The queue-driven worker thread: waits for items on its queue (and, with a
// message loop, for window messages) and processes them one at a time in push
// order.
#pragma once

#include "common/Thread_Common.h"
#include "common/Thread_Queue.h"

#include "platform/Sync.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qor {

// Handlers and flags are set before the thread starts (or from the thread
// itself, as DoStart overrides do).
class TProcessDataThread : public TQueuedCommonThread {
public:
    using TThreadEvent = std::function<void(TProcessDataThread& thread)>;
    // A handler that keeps the item moves it out of the reference; the thread
    // frees whatever is left in it.
    using TProcessItemEvent = std::function<void(TProcessDataThread& thread, std::unique_ptr<TQueueItem>& item)>;

    // Runs one step below normal priority. Unless createSuspended, the thread is
    // started and the constructor returns once Execute has begun. A derived
    // class that overrides DoStart, DoFinish or ProcessItem must pass
    // createSuspended = true and call Start() at the end of its own constructor,
    // so the thread never sees a half-built object.
    TProcessDataThread(std::string threadName, bool messageLoop, bool createSuspended);
    // Stops the thread and waits for it if its owner has not (see
    // TQueuedCommonThread); items left in Queue are freed with it.
    ~TProcessDataThread() override;

    // Resumes a suspended thread and waits until Execute has begun.
    void Start();

    // The thread's own pump (see qor::PumpThread), honouring NoPump.
    bool PumpThread(std::uint32_t max);

    const std::string ThreadName;
    const bool MessageLoop;
    std::atomic<bool> NoPump{false};
    std::atomic<platform::DWORD> WakeMask{255};
    TThreadSafeQueue Queue;
    platform::Event StartedEvent{true, false};
    std::unique_ptr<TQueueItem> Current; // the item being processed (worker thread only)
    std::atomic<bool> Synchronized{false};
    std::atomic<bool> ProcessAlways{false};
    TThreadEvent OnStart;
    TProcessItemEvent OnProcessItem;
    TThreadEvent OnFinish;

protected:
    void Execute() override;
    virtual void DoStart();
    virtual void DoFinish();
    virtual void ProcessItem(std::unique_ptr<TQueueItem>& item);
    // Called when the queue has run dry, before the thread waits for more.
    virtual void QueueDrained() {}
    // For destructors of derived classes whose members the thread uses: stop
    // the thread and wait for it to end.
    void StopAndWait();

private:
    void ProcessQueue();
};

} // namespace qor
