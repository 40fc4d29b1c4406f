#include "common/Thread_ProcessData.h"

#include "common/Thread_ProcessMessages.h"

#include "platform/Debug.h"
#include "platform/Messages.h"

#include <mutex>
#include <string>

namespace qor {
namespace {

// Thread objects are made one at a time across the library.
platform::CriticalSection& CreationLock() {
    static platform::CriticalSection section;
    return section;
}

void Report(const char* what, const std::exception* e) {
    platform::OutputDebugString(std::string(what) + (e ? std::string(": ") + e->what() : std::string()));
}

} // namespace

TProcessDataThread::TProcessDataThread(std::string threadName, bool messageLoop, bool createSuspended)
    : ThreadName(std::move(threadName)), MessageLoop(messageLoop) {
    {
        std::scoped_lock lock(CreationLock());
        SetPriority(platform::THREAD_PRIORITY_BELOW_NORMAL);
    }
    if (!createSuspended)
        Start();
}

TProcessDataThread::~TProcessDataThread() { StopAndWait(); }

void TProcessDataThread::StopAndWait() {
    if (Finished() || platform::GetCurrentThreadId() == ThreadID())
        return;
    Terminate();
    Stop(true);
    try {
        WaitFor(platform::INFINITE, false);
    } catch (const std::exception& e) {
        Report("Waiting for a worker thread failed", &e);
    }
}

void TProcessDataThread::Start() {
    Resume();
    StartedEvent.Wait(platform::INFINITE);
}

bool TProcessDataThread::PumpThread(std::uint32_t max) {
    bool quit = false;
    const bool drained = qor::PumpThread(max, NoPump, Priority(), &quit);
    if (quit) {
        // WM_QUIT is put back by each pump, so pumping on would take it again
        // at once, for ever; the thread stops pumping and goes on with its queue.
        NoPump = true;
        platform::OutputDebugString("Thread " + ThreadName + " received WM_QUIT and stops pumping messages");
    }
    return drained;
}

void TProcessDataThread::Execute() {
    if (!ThreadName.empty())
        platform::SetThreadName(ThreadName);
    // The queue exists before the start is signalled: the owner may post to
    // the thread as soon as its constructor (or Start) has returned.
    if (MessageLoop) {
        platform::MSG msg;
        platform::PeekMessage(&msg, 0, platform::WM_USER, platform::WM_USER, platform::PM_NOREMOVE);
    }
    StartedEvent.Set();
    const platform::HANDLE set[3] = {Handle(), WakeEvent.Handle(), Queue.ItemEvent()};
    DoStart();
    bool pending = false;
    while (!Terminated() && !StopRequested) {
        const platform::DWORD waitTime = pending ? 1 : platform::INFINITE;
        const platform::DWORD r = MessageLoop
                                      ? platform::MsgWaitForMultipleObjects(3, set, false, waitTime, WakeMask)
                                      : platform::WaitForMultipleObjects(3, set, false, waitTime);
        if (r == platform::WAIT_TIMEOUT) {
            pending = MessageLoop && !NoPump ? !PumpThread(100) : false;
        } else if (r == platform::WAIT_OBJECT_0 + 3 || r == platform::WAIT_OBJECT_0 + 2) {
            if (r == platform::WAIT_OBJECT_0 + 3 && !NoPump)
                pending = !PumpThread(20);
            ProcessQueue();
        } else if (r == platform::WAIT_OBJECT_0 + 1) {
            // A wake without a stop request is a one-off nudge; left signalled,
            // the manual-reset event would make every further wait return at once.
            if (!Terminated() && !StopRequested)
                WakeEvent.Reset();
        } else if (r == platform::WAIT_FAILED) {
            platform::OutputDebugString("Thread " + ThreadName + ": wait failed, error " +
                                        std::to_string(platform::GetLastError()));
            break;
        }
    }
    DoFinish();
}

void TProcessDataThread::ProcessQueue() {
    while ((Current = Queue.Pop())) {
        if (!Terminated() && !StopRequested && (ProcessAlways || OnProcessItem)) {
            try {
                std::scoped_lock lock(Lock);
                if (Synchronized)
                    Synchronize([this] { ProcessItem(Current); });
                else
                    ProcessItem(Current);
            } catch (const std::exception& e) {
                Report("Exception while processing a queued item", &e);
            } catch (...) {
                Report("Exception while processing a queued item", nullptr);
            }
        }
        Current.reset();
        // No yield between items: giving the processor away after every item
        // costs a thread switch each time and gains nothing, since the thread
        // waits as soon as its queue is empty.
        if (MessageLoop && !NoPump)
            PumpThread(20);
    }
    QueueDrained();
}

void TProcessDataThread::DoStart() {
    if (OnStart)
        OnStart(*this);
}

void TProcessDataThread::DoFinish() {
    if (OnFinish)
        OnFinish(*this);
}

void TProcessDataThread::ProcessItem(std::unique_ptr<TQueueItem>& item) {
    if (OnProcessItem)
        OnProcessItem(*this, item);
}

} // namespace qor
