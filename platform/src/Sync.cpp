#include "Kernel.h"

#include <sched.h>

#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {

using namespace detail;

HANDLE CreateEvent(bool manualReset, bool initialState) {
    Kernel& k = K();
    std::lock_guard lock(k.mutex);
    const HANDLE h = k.NewHandle();
    k.objects.emplace(h, std::make_shared<EventObject>(manualReset, initialState));
    return h;
}

namespace {

EventObject* FindEvent(HANDLE h) {
    auto it = K().objects.find(h);
    auto* event = it == K().objects.end() ? nullptr : dynamic_cast<EventObject*>(it->second.get());
    if (!event)
        SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

} // namespace

bool SetEvent(HANDLE h) {
    // The waiters are woken after the kernel lock is released, so a woken
    // thread does not at once block again on the lock its waker still holds
    // (on a virtual machine each of those extra wake-ups is a cross-CPU hop).
    std::vector<std::shared_ptr<ThreadData>> wake;
    {
        std::lock_guard lock(K().mutex);
        EventObject* event = FindEvent(h);
        if (!event)
            return false;
        event->signalled = true;
        wake.reserve(event->waiters.size());
        for (ThreadData* waiter : event->waiters)
            wake.push_back(waiter->shared_from_this());
    }
    for (const auto& waiter : wake)
        Wake(*waiter);
    return true;
}

bool ResetEvent(HANDLE h) {
    std::lock_guard lock(K().mutex);
    EventObject* event = FindEvent(h);
    if (!event)
        return false;
    event->signalled = false;
    return true;
}

bool CloseHandle(HANDLE h) {
    std::shared_ptr<Object> object; // released outside the lock
    std::lock_guard lock(K().mutex);
    auto it = K().objects.find(h);
    if (it == K().objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    object = std::move(it->second);
    K().objects.erase(it);
    return true;
}

DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs) { return WaitCore(1, &h, false, timeoutMs, false, 0); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return WaitCore(count, handles, waitAll, timeoutMs, false, 0);
}

void Sleep(DWORD ms) {
    if (ms == 0)
        sched_yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Event::Event(bool manualReset, bool initialState) : handle_(CreateEvent(manualReset, initialState)) {
    if (!handle_)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent");
}

Event::~Event() { CloseHandle(handle_); }
void Event::Set() { SetEvent(handle_); }
void Event::Reset() { ResetEvent(handle_); }
bool Event::Wait(DWORD ms) { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }

} // namespace platform
