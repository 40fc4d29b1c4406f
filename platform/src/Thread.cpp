#include <sched.h>
#include "Kernel.h"

#include "platform/Debug.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>

namespace platform {

using namespace detail;

namespace {

int ParkSignal() { return SIGRTMIN + 5; }

// Runs inside the thread being terminated. Only async-signal-safe calls: block
// every signal so no handler can run code on this thread again, tell the
// terminating thread, and sleep for good.
extern "C" void ParkHandler(int, siginfo_t* info, void*) {
    if (!info || info->si_code != SI_QUEUE || info->si_pid != ::getpid() || !info->si_value.sival_ptr)
        return; // not ours: someone else sent the signal
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    auto* handshake = static_cast<ParkHandshake*>(info->si_value.sival_ptr);
    handshake->parked.store(true, std::memory_order_release);
    sem_post(&handshake->posted);
    for (;;)
        sigsuspend(&all);
}

bool InstallParkHandler() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_sigaction = ParkHandler;
        action.sa_flags = SA_SIGINFO;
        sigfillset(&action.sa_mask);
        if (sigaction(ParkSignal(), &action, nullptr) != 0) {
            OutputDebugString("TerminateThread: the park signal handler could not be installed");
            return false;
        }
        return true;
    }();
    return installed;
}

void UnblockParkSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ParkSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int NiceOf(int priority) {
    switch (priority) {
    case THREAD_PRIORITY_IDLE: return 19;
    case THREAD_PRIORITY_LOWEST: return 10;
    case THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case THREAD_PRIORITY_NORMAL: return 0;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_HIGHEST: return -10;
    case THREAD_PRIORITY_TIME_CRITICAL: return -20;
    default: return 100;
    }
}

// Applies the nice value as far as the process may; a refusal to raise the
// priority is expected without privileges and leaves the value recorded only.
void ApplyNice(DWORD tid, int priority) {
    if (tid == 0)
        return;
    const int nice = NiceOf(priority);
    {
        sched_param none{};
        ::sched_setscheduler(static_cast<pid_t>(tid), nice > 0 ? SCHED_BATCH : SCHED_OTHER, &none);
    }
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0 && errno != EACCES && errno != EPERM &&
        errno != ESRCH)
        OutputDebugString("SetThreadPriority: setpriority failed: errno " + std::to_string(errno));
}

std::shared_ptr<ThreadObject> FindThreadLocked(HANDLE h) {
    auto thread = std::dynamic_pointer_cast<ThreadObject>(FindObject(h));
    if (!thread)
        SetLastError(ERROR_INVALID_HANDLE);
    return thread;
}

void FinishLocked(ThreadObject& thread, DWORD exitCode) {
    thread.finished = true;
    thread.exitCode = exitCode;
    thread.NotifyWaiters();
}

void* ThreadRoutine(void* context) {
    std::shared_ptr<ThreadObject> thread;
    {
        std::unique_ptr<std::shared_ptr<ThreadObject>> owned(static_cast<std::shared_ptr<ThreadObject>*>(context));
        thread = std::move(*owned);
    }
    UnblockParkSignal();
    auto self = SelfShared();
    int priority;
    {
        std::unique_lock lock(K().mutex);
        thread->tid = self->tid;
        thread->pthread = pthread_self();
        thread->data = self;
        thread->started = true;
        thread->changed.notify_all();
        thread->changed.wait(lock, [&] { return thread->suspendCount == 0; });
        priority = thread->priority;
    }
    // A thread left at normal priority keeps the nice value it inherited.
    if (priority != THREAD_PRIORITY_NORMAL)
        ApplyNice(thread->tid, priority);

    DWORD exitCode;
    try {
        exitCode = thread->body();
    } catch (const std::exception& e) {
        OutputDebugString(std::string("Exception in thread ") + std::to_string(thread->tid) + ": " + e.what());
        exitCode = THREAD_EXIT_EXCEPTION;
    } catch (...) {
        OutputDebugString("Exception in thread " + std::to_string(thread->tid));
        exitCode = THREAD_EXIT_EXCEPTION;
    }
    // The body's captured state is released here, on its own thread, before
    // anyone waiting for the handle can go on.
    thread->body = nullptr;

    std::lock_guard lock(K().mutex);
    DetachThreadLocked(*self);
    FinishLocked(*thread, exitCode);
    return nullptr;
}

} // namespace

HANDLE CreateThread(ThreadBody body, bool suspended, DWORD* threadId) {
    if (!body) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto thread = std::make_shared<ThreadObject>();
    thread->body = std::move(body);
    thread->suspendCount = suspended ? 1 : 0;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto context = std::make_unique<std::shared_ptr<ThreadObject>>(thread);
    pthread_t id;
    const int rc = pthread_create(&id, &attr, ThreadRoutine, context.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        OutputDebugString("CreateThread: pthread_create failed: errno " + std::to_string(rc));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    context.release(); // the thread owns it now

    std::unique_lock lock(K().mutex);
    thread->changed.wait(lock, [&] { return thread->started; });
    const HANDLE h = K().NewHandle();
    K().objects.emplace(h, thread);
    if (threadId)
        *threadId = thread->tid;
    return h;
}

DWORD ResumeThread(HANDLE h) {
    std::lock_guard lock(K().mutex);
    auto thread = FindThreadLocked(h);
    if (!thread)
        return static_cast<DWORD>(-1);
    const DWORD previous = thread->suspendCount;
    if (thread->suspendCount > 0 && --thread->suspendCount == 0)
        thread->changed.notify_all();
    return previous;
}

bool SetThreadPriority(HANDLE h, int priority) {
    if (NiceOf(priority) == 100) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD tid;
    {
        std::lock_guard lock(K().mutex);
        auto thread = FindThreadLocked(h);
        if (!thread)
            return false;
        thread->priority = priority;
        tid = thread->finished ? 0 : thread->tid;
    }
    ApplyNice(tid, priority);
    return true;
}

int GetThreadPriority(HANDLE h) {
    std::lock_guard lock(K().mutex);
    auto thread = FindThreadLocked(h);
    return thread ? thread->priority : THREAD_PRIORITY_ERROR_RETURN;
}

DWORD GetCurrentThreadId() { return CurrentTid(); }

DWORD GetThreadId(HANDLE h) {
    std::lock_guard lock(K().mutex);
    auto thread = FindThreadLocked(h);
    return thread ? thread->tid : 0;
}

bool GetExitCodeThread(HANDLE h, DWORD* exitCode) {
    std::lock_guard lock(K().mutex);
    auto thread = FindThreadLocked(h);
    if (!thread)
        return false;
    if (exitCode)
        *exitCode = thread->exitCode;
    return true;
}

bool TerminateThread(HANDLE h, DWORD exitCode) {
    if (!InstallParkHandler()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    std::unique_lock lock(K().mutex);
    auto thread = FindThreadLocked(h);
    if (!thread)
        return false;
    if (thread->finished)
        return true;
    if (thread->tid == CurrentTid()) {
        DetachThreadLocked(*thread->data);
        FinishLocked(*thread, exitCode);
        lock.unlock();
        sigval value{};
        value.sival_ptr = &thread->park;
        pthread_sigqueue(pthread_self(), ParkSignal(), value);
        for (;;) // the handler does not return; should the signal be blocked, stay parked here
            ::pause();
    }
    // The kernel mutex stays held until the thread is parked: the thread may
    // still run a few instructions after the signal is queued, and it must not
    // take the mutex (and park holding it) in between. While it is blocked on
    // the mutex the handler still runs.
    sigval value{};
    value.sival_ptr = &thread->park;
    const int rc = pthread_sigqueue(thread->pthread, ParkSignal(), value);
    if (rc != 0) {
        OutputDebugString("TerminateThread: pthread_sigqueue failed: errno " + std::to_string(rc));
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 5;
    int waited;
    do
        waited = sem_clockwait(&thread->park.posted, CLOCK_MONOTONIC, &until);
    while (waited != 0 && errno == EINTR);
    if (waited != 0 || !thread->park.parked.load(std::memory_order_acquire)) {
        OutputDebugString("TerminateThread: the thread did not take the park signal");
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (thread->data)
        DetachThreadLocked(*thread->data);
    FinishLocked(*thread, exitCode);
    return true;
}

void SetThreadName(std::string_view name) {
    const std::string shortName(name.substr(0, 15));
    pthread_setname_np(pthread_self(), shortName.c_str());
}

DWORD MainThreadId() { return static_cast<DWORD>(::getpid()); }

HANDLE SyncEvent() {
    std::lock_guard lock(K().mutex);
    Kernel& k = K();
    if (!k.syncEvent) {
        k.syncEvent = k.NewHandle();
        k.objects.emplace(k.syncEvent, std::make_shared<EventObject>(true, !k.syncCalls.empty()));
    }
    return k.syncEvent;
}

void Synchronize(std::function<void()> call) {
    if (!call)
        return;
    if (CurrentTid() == MainThreadId()) {
        call();
        return;
    }
    const HANDLE event = SyncEvent();
    auto self = SelfShared();
    auto queued = std::make_shared<SyncCall>();
    queued->call = std::move(call);
    queued->waiter = self;
    std::unique_lock lock(K().mutex);
    Kernel& k = K();
    k.syncCalls.push_back(queued);
    if (auto e = std::dynamic_pointer_cast<EventObject>(FindObject(event)))
        SetEventLocked(*e);
    auto main = k.threads.find(MainThreadId());
    if (main != k.threads.end()) {
        main->second->newBits |= QS_SENDMESSAGE;
        Wake(*main->second);
    }
    while (!queued->done)
        Block(lock, *self, NoDeadline);
    lock.unlock();
    if (queued->error)
        std::rethrow_exception(queued->error);
}

bool CheckSynchronize(DWORD timeoutMs) {
    if (CurrentTid() != MainThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (timeoutMs > 0)
        WaitForSingleObject(SyncEvent(), timeoutMs);
    std::unique_lock lock(K().mutex);
    const bool ran = RunSyncCalls(lock);
    return ran;
}

} // namespace platform
