#include "Kernel.h"

#include "platform/Module.h"
#include "platform/Text.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

namespace platform::detail {
namespace {

// Destroys the thread's queue and windows when the thread ends, whether or not
// the platform made the thread.
struct ThreadHolder {
    std::shared_ptr<ThreadData> data;
    ~ThreadHolder() {
        if (data) {
            std::lock_guard lock(K().mutex);
            DetachThreadLocked(*data);
        }
    }
};

thread_local ThreadHolder holder;
thread_local DWORD tidCache = 0;
thread_local DWORD lastError = 0;

// A real wait never sleeps longer than this before re-reading the clock, so a
// far deadline cannot overflow the standard clock's arithmetic.
constexpr std::uint64_t MaxSleepMs = 24ull * 3600 * 1000;

} // namespace

Kernel& K() {
    alignas(Kernel) static unsigned char storage[sizeof(Kernel)];
    static Kernel* kernel = new (storage) Kernel();
    return *kernel;
}

DWORD CurrentTid() {
    if (tidCache == 0)
        tidCache = static_cast<DWORD>(::syscall(SYS_gettid));
    return tidCache;
}

ThreadData& Self() {
    if (!holder.data) {
        auto data = std::make_shared<ThreadData>();
        data->tid = CurrentTid();
        data->isMain = data->tid == static_cast<DWORD>(::getpid());
        std::lock_guard lock(K().mutex);
        data->lastLook = Now();
        K().threads[data->tid] = data;
        holder.data = std::move(data);
    }
    return *holder.data;
}

std::shared_ptr<ThreadData> SelfShared() {
    Self();
    return holder.data;
}

ThreadData::~ThreadData() {
    if (pollFd >= 0)
        ::close(pollFd);
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void Wake(ThreadData& t) {
    t.cv.notify_all();
    if (t.pollWaiting.load()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(t.wakeFd, &one, sizeof one);
    }
}

void Object::NotifyWaiters() {
    for (ThreadData* waiter : waiters)
        Wake(*waiter);
}

void Block(std::unique_lock<std::mutex>& lock, ThreadData& self, std::uint64_t wakeTick) {
    Kernel& k = K();
    k.blocked.insert(&self);
    // A thread that watches sockets waits for messages and sockets at once.
    const bool sockets = self.pollFd >= 0 && self.inMessageWait;
    if (wakeTick == NoDeadline) {
        if (sockets)
            PollSockets(lock, self, -1);
        else
            self.cv.wait(lock);
    } else {
        const std::uint64_t now = Now();
        if (wakeTick > now) {
            const std::uint64_t sleepMs = UsingSystemClock() ? std::min(wakeTick - now, MaxSleepMs) : 1000;
            if (sockets)
                PollSockets(lock, self, static_cast<int>(std::max<std::uint64_t>(sleepMs, 1)));
            else
                self.cv.wait_for(lock, std::chrono::milliseconds(sleepMs));
        }
    }
    k.blocked.erase(&self);
}

std::shared_ptr<Object> FindObject(HANDLE handle) {
    auto& objects = K().objects;
    auto it = objects.find(handle);
    return it == objects.end() ? nullptr : it->second;
}

void SetEventLocked(EventObject& event) {
    event.signalled = true;
    event.NotifyWaiters();
}

std::string ClassKey(std::string_view className, HMODULE module) {
    // 0 names the executable, as the executable's own handle does.
    static const HMODULE executable = GetModuleHandle(nullptr);
    return std::to_string(module ? module : executable) + ':' + AnsiUpperCase(className);
}

} // namespace platform::detail

namespace platform {

using namespace detail;

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

// Wakes every thread blocked on the kernel: each re-reads the clock and
// re-evaluates its deadline and its timers.
void NotifyClockChanged() {
    std::lock_guard lock(K().mutex);
    for (ThreadData* t : K().blocked)
        Wake(*t);
}

} // namespace platform
