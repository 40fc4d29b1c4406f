#include "common/Thread_Common.h"

#include "common/qorTimeout.h"

#include "platform/Debug.h"
#include "platform/Messages.h"

#include <algorithm>
#include <string>
#include <system_error>

namespace qor {
namespace {

[[noreturn]] void ThrowThreadError(const char* what) {
    throw std::system_error(static_cast<int>(platform::GetLastError()), std::system_category(),
                            std::string("Thread error: ") + what);
}

} // namespace

TQueuedCommonThread::TQueuedCommonThread() {
    handle_ = platform::CreateThread([this] { return Run(); }, true, &threadId_);
    if (!handle_)
        ThrowThreadError("cannot create thread");
}

TQueuedCommonThread::~TQueuedCommonThread() {
    if (!handle_)
        return;
    if (!Finished()) {
        if (platform::GetCurrentThreadId() == threadId_) {
            platform::OutputDebugString("A thread object was destroyed by its own thread");
        } else {
            try {
                Terminate();
                Stop(true);
                WaitFor(platform::INFINITE, false);
            } catch (const std::exception& e) {
                platform::OutputDebugString(std::string("Waiting for a thread at its destruction failed: ") +
                                            e.what());
            }
        }
    }
    platform::CloseHandle(handle_);
}

platform::DWORD TQueuedCommonThread::Run() {
    try {
        if (!terminated_.load())
            Execute();
    } catch (const std::exception& e) {
        platform::OutputDebugString(std::string("Exception in thread: ") + e.what());
    } catch (...) {
        platform::OutputDebugString("Exception in thread");
    }
    return 0;
}

void TQueuedCommonThread::SetWake(bool flag) {
    if (flag)
        WakeEvent.Set();
    else
        WakeEvent.Reset();
}

void TQueuedCommonThread::Stop(bool flag) {
    StopRequested = flag;
    SetWake(flag);
    if (suspended_.load()) {
        SetWake(flag);
        SetPriority(platform::THREAD_PRIORITY_NORMAL);
        Resume();
        platform::Sleep(0);
    }
}

void TQueuedCommonThread::Resume() {
    if (suspended_.exchange(false))
        platform::ResumeThread(handle_);
}

void TQueuedCommonThread::Terminate() {
    terminated_ = true;
    SetWake(true);
}

bool TQueuedCommonThread::Finished() const {
    return platform::WaitForSingleObject(handle_, 0) == platform::WAIT_OBJECT_0;
}

void TQueuedCommonThread::SetPriority(int priority) { platform::SetThreadPriority(handle_, priority); }
int TQueuedCommonThread::Priority() const { return platform::GetThreadPriority(handle_); }

bool TQueuedCommonThread::WaitFor(std::uint32_t timeoutMs, bool killOnTimeout) {
    if (platform::GetCurrentThreadId() == threadId_) {
        platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
        ThrowThreadError("a thread cannot wait for itself");
    }
    if (platform::GetCurrentThreadId() != platform::MainThreadId()) {
        switch (platform::WaitForSingleObject(handle_, timeoutMs)) {
        case platform::WAIT_OBJECT_0: return true;
        case platform::WAIT_TIMEOUT:
            if (killOnTimeout && !platform::TerminateThread(handle_, 0))
                platform::OutputDebugString("A thread that did not stop could not be ended: error " +
                                            std::to_string(platform::GetLastError()));
            return false;
        default: ThrowThreadError("wait failed");
        }
    }
    // The main thread keeps serving the calls the thread may be waiting for:
    // sent messages (run inside the wait) and Synchronize calls. The set holds
    // the synchronize event rather than WakeEvent: after Stop(true) WakeEvent
    // stays signalled, and waiting on it would turn this loop into a spin.
    TTimeout timeout;
    const bool limited = timeoutMs != platform::INFINITE;
    if (limited)
        timeout.Start(timeoutMs);
    const platform::HANDLE set[2] = {handle_, platform::SyncEvent()};
    for (;;) {
        platform::DWORD slice = 1000;
        if (limited)
            slice = static_cast<platform::DWORD>(std::min<std::uint64_t>(slice, timeout.Remaining()));
        const platform::DWORD r = platform::MsgWaitForMultipleObjects(2, set, false, slice, platform::QS_SENDMESSAGE);
        if (r == platform::WAIT_OBJECT_0)
            return true;
        if (r == platform::WAIT_OBJECT_0 + 1)
            platform::CheckSynchronize(0);
        else if (r == platform::WAIT_FAILED)
            ThrowThreadError("wait failed");
        if (limited && timeout.Expired())
            return false;
    }
}

} // namespace qor
