#include "Kernel.h"

#include "platform/Debug.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace platform::detail {
namespace {

constexpr HWND ThreadMessagesOnly = static_cast<HWND>(-1);
constexpr UINT PostedBits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;

bool RangeHas(UINT msg, UINT min, UINT max) { return (min == 0 && max == 0) || (msg >= min && msg <= max); }

bool InFilter(HWND hwnd, UINT msg, HWND filter, UINT min, UINT max) {
    if (filter == ThreadMessagesOnly) {
        if (hwnd != 0)
            return false;
    } else if (filter != 0 && hwnd != filter) {
        return false;
    }
    return RangeHas(msg, min, max);
}

// Kinds of input waiting in the queue now.
unsigned CurrentBits(const ThreadData& self, std::uint64_t now) {
    unsigned bits = 0;
    if (!self.posted.empty() || self.quitPending)
        bits |= PostedBits;
    if (!self.sent.empty() || (self.isMain && !K().syncCalls.empty()))
        bits |= QS_SENDMESSAGE;
    for (const Timer& t : self.timers)
        if (t.due <= now)
            bits |= QS_TIMER;
    return bits;
}

// Kinds of input that arrived since the thread last looked.
unsigned FreshBits(const ThreadData& self, std::uint64_t now) {
    unsigned bits = self.newBits;
    for (const Timer& t : self.timers)
        if (t.due <= now && !t.seen)
            bits |= QS_TIMER;
    return bits;
}

void MarkSeen(ThreadData& self, std::uint64_t now, unsigned kinds) {
    self.newBits &= ~kinds;
    if (kinds & QS_TIMER)
        for (Timer& t : self.timers)
            if (t.due <= now)
                t.seen = true;
}

// GetMessage and PeekMessage look at the whole queue.
void Look(ThreadData& self, std::uint64_t now) {
    self.lastLook = now;
    MarkSeen(self, now, ~0u);
}

bool TryRetrieve(ThreadData& self, MSG* msg, HWND filter, UINT min, UINT max, bool remove, std::uint64_t now) {
    for (auto it = self.posted.begin(); it != self.posted.end(); ++it) {
        if (InFilter(it->hwnd, it->message, filter, min, max)) {
            *msg = *it;
            if (remove)
                self.posted.erase(it);
            return true;
        }
    }
    if (self.quitPending && (filter == 0 || filter == ThreadMessagesOnly) && RangeHas(WM_QUIT, min, max)) {
        *msg = MSG{0, WM_QUIT, static_cast<WPARAM>(static_cast<std::intptr_t>(self.quitCode)), 0,
                   static_cast<DWORD>(now)};
        if (remove)
            self.quitPending = false;
        return true;
    }
    Timer* best = nullptr;
    for (Timer& t : self.timers)
        if (t.due <= now && InFilter(t.hwnd, WM_TIMER, filter, min, max) && (!best || t.due < best->due))
            best = &t;
    if (best) {
        *msg = MSG{best->hwnd, WM_TIMER, best->id, reinterpret_cast<LPARAM>(best->proc), static_cast<DWORD>(now)};
        if (remove) {
            best->due = now + best->period;
            best->seen = false;
        }
        return true;
    }
    return false;
}

// The next moment a timer that is not yet due falls due.
std::uint64_t NextTimerDue(const ThreadData& self, std::uint64_t now, HWND filter, UINT min, UINT max) {
    std::uint64_t next = NoDeadline;
    for (const Timer& t : self.timers)
        if (t.due > now && t.due < next && InFilter(t.hwnd, WM_TIMER, filter, min, max))
            next = t.due;
    return next;
}

bool IsHung(const ThreadData& owner, std::uint64_t now) {
    if (!owner.alive)
        return true;
    return !owner.inMessageWait && now > owner.lastLook && now - owner.lastLook >= HUNG_THRESHOLD_MS;
}

void FailSent(SentMessage& sm) {
    sm.state = SentMessage::State::Failed;
    Wake(*sm.sender);
}

void RemoveWindowLocked(Window& w) {
    Kernel& k = K();
    ThreadData& owner = *w.owner;
    const auto timersBefore = owner.timers.size();
    std::erase_if(owner.timers, [&](const Timer& t) { return t.hwnd == w.hwnd; });
    k.timerCount -= timersBefore - owner.timers.size();
    std::erase_if(owner.posted, [&](const MSG& m) { return m.hwnd == w.hwnd; });
    std::erase_if(owner.sent, [&](const std::shared_ptr<SentMessage>& sm) {
        if (sm->hwnd != w.hwnd)
            return false;
        FailSent(*sm);
        return true;
    });
    auto cls = k.classes.find(w.classKey);
    if (cls != k.classes.end() && cls->second.windows > 0)
        --cls->second.windows;
    k.windows.erase(w.hwnd);
}

} // namespace

// Queues a posted message. The caller wakes the target once it has released
// the kernel lock, so the target does not wake only to block on that lock.
bool PostLocked(ThreadData& target, const MSG& m) {
    if (!target.alive) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    if (target.posted.size() >= MAX_POSTED_MESSAGES) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    target.posted.push_back(m);
    target.posted.back().time = static_cast<DWORD>(Now());
    target.newBits |= PostedBits;
    return true;
}

std::shared_ptr<Window> FindWindowLocked(HWND hwnd) {
    auto it = K().windows.find(hwnd);
    if (it == K().windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return it->second;
}

namespace {

void ReportException(const char* where, std::exception_ptr error) {
    std::string text = std::string("Exception in ") + where;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text += ": ";
        text += e.what();
    } catch (...) {
    }
    OutputDebugString(text);
}

} // namespace

bool RunSyncCalls(std::unique_lock<std::mutex>& lock) {
    Kernel& k = K();
    bool ran = false;
    while (!k.syncCalls.empty()) {
        auto call = k.syncCalls.front();
        k.syncCalls.pop_front();
        lock.unlock();
        try {
            call->call();
        } catch (...) {
            call->error = std::current_exception();
        }
        lock.lock();
        call->done = true;
        Wake(*call->waiter);
        ran = true;
    }
    if (k.syncEvent)
        if (auto event = std::dynamic_pointer_cast<EventObject>(FindObject(k.syncEvent)))
            event->signalled = false;
    return ran;
}

bool RunInbound(std::unique_lock<std::mutex>& lock, ThreadData& self) {
    bool ran = false;
    while (!self.sent.empty()) {
        auto sm = self.sent.front();
        self.sent.pop_front();
        auto it = K().windows.find(sm->hwnd);
        if (it == K().windows.end() || it->second->owner.get() != &self) {
            FailSent(*sm);
            continue;
        }
        const WNDPROC proc = it->second->proc;
        sm->state = SentMessage::State::Running;
        lock.unlock();
        LRESULT result = 0;
        try {
            result = proc(sm->hwnd, sm->msg, sm->wParam, sm->lParam);
        } catch (...) {
            ReportException("a window procedure run for a sent message", std::current_exception());
        }
        lock.lock();
        sm->result = result;
        sm->state = SentMessage::State::Done;
        Wake(*sm->sender);
        ran = true;
    }
    if (self.isMain && RunSyncCalls(lock))
        ran = true;
    return ran;
}

void DetachThreadLocked(ThreadData& data) {
    if (!data.alive)
        return;
    Kernel& k = K();
    std::vector<std::shared_ptr<Window>> owned;
    for (auto& [hwnd, w] : k.windows)
        if (w->owner.get() == &data)
            owned.push_back(w);
    for (auto& w : owned)
        RemoveWindowLocked(*w);
    k.timerCount -= data.timers.size();
    data.timers.clear();
    data.posted.clear();
    for (auto& sm : data.sent)
        FailSent(*sm);
    data.sent.clear();
    data.quitPending = false;
    data.alive = false;
    k.blocked.erase(&data);
    auto it = k.threads.find(data.tid);
    if (it != k.threads.end() && it->second.get() == &data)
        k.threads.erase(it);
    if (data.isMain) {
        for (auto& call : k.syncCalls) {
            call->error = std::make_exception_ptr(std::runtime_error("The main thread has ended"));
            call->done = true;
            Wake(*call->waiter);
        }
        k.syncCalls.clear();
    }
}

DWORD WaitCore(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs, bool msgWait, DWORD wakeMask) {
    ThreadData& self = Self();
    std::vector<std::shared_ptr<Object>> objects(count);
    std::unique_lock lock(K().mutex);
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = FindObject(handles[i]);
        if (!objects[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (waitAll)
            for (DWORD j = 0; j < i; ++j)
                if (objects[j] == objects[i]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    if (msgWait)
        self.hasQueue = true;
    const std::uint64_t deadline = DeadlineAfter(timeoutMs);
    for (auto& o : objects)
        o->waiters.push_back(&self);

    DWORD result = WAIT_FAILED;
    for (;;) {
        if (msgWait && RunInbound(lock, self) && (wakeMask & QS_SENDMESSAGE)) {
            self.newBits &= ~QS_SENDMESSAGE;
            result = WAIT_OBJECT_0 + count;
            break;
        }
        if (count > 0) {
            if (waitAll) {
                if (std::all_of(objects.begin(), objects.end(), [](auto& o) { return o->Signalled(); })) {
                    for (auto& o : objects)
                        o->Acquire();
                    result = WAIT_OBJECT_0;
                    break;
                }
            } else {
                auto it = std::find_if(objects.begin(), objects.end(), [](auto& o) { return o->Signalled(); });
                if (it != objects.end()) {
                    (*it)->Acquire();
                    result = WAIT_OBJECT_0 + static_cast<DWORD>(it - objects.begin());
                    break;
                }
            }
        }
        const std::uint64_t now = Now();
        if (msgWait) {
            self.lastLook = now;
            const unsigned fresh = FreshBits(self, now) & wakeMask;
            if (fresh) {
                MarkSeen(self, now, fresh);
                result = WAIT_OBJECT_0 + count;
                break;
            }
        }
        if (now >= deadline) {
            result = WAIT_TIMEOUT;
            break;
        }
        std::uint64_t wake = deadline;
        if (msgWait && (wakeMask & QS_TIMER))
            wake = std::min(wake, NextTimerDue(self, now, 0, 0, 0));
        self.inMessageWait = msgWait;
        Block(lock, self, wake);
        self.inMessageWait = false;
    }
    for (auto& o : objects) {
        auto it = std::find(o->waiters.begin(), o->waiters.end(), &self);
        if (it != o->waiters.end())
            o->waiters.erase(it);
    }
    if (msgWait)
        self.lastLook = Now();
    return result;
}

} // namespace platform::detail

namespace platform {

using namespace detail;

bool RegisterClass(const WNDCLASS& wc) {
    if (!wc.lpszClassName || !*wc.lpszClassName || !wc.lpfnWndProc || wc.cbWndExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard lock(K().mutex);
    auto [it, added] = K().classes.try_emplace(ClassKey(wc.lpszClassName, wc.hInstance));
    if (!added) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return false;
    }
    it->second = WindowClassData{wc.lpszClassName, wc.lpfnWndProc, wc.cbWndExtra, 0, wc.hInstance};
    return true;
}

bool UnregisterClass(std::string_view className, HMODULE instance) {
    std::lock_guard lock(K().mutex);
    auto it = K().classes.find(ClassKey(className, instance));
    if (it == K().classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return false;
    }
    if (it->second.windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return false;
    }
    K().classes.erase(it);
    return true;
}

bool GetClassInfo(std::string_view className, WNDCLASS* out, HMODULE instance) {
    std::lock_guard lock(K().mutex);
    auto it = K().classes.find(ClassKey(className, instance));
    if (it == K().classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return false;
    }
    if (out)
        *out = WNDCLASS{it->second.name.c_str(), it->second.proc, it->second.cbWndExtra, it->second.module};
    return true;
}

HWND CreateHiddenWindow(std::string_view className, std::string_view windowName, HMODULE instance) {
    auto self = SelfShared();
    auto w = std::make_shared<Window>();
    {
        std::lock_guard lock(K().mutex);
        auto cls = K().classes.find(ClassKey(className, instance));
        if (cls == K().classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return 0;
        }
        w->hwnd = K().NewHandle();
        w->classKey = cls->first;
        w->proc = cls->second.proc;
        w->extra.assign(static_cast<std::size_t>(cls->second.cbWndExtra), 0);
        w->name = std::string(windowName);
        w->owner = self;
        K().windows.emplace(w->hwnd, w);
        ++cls->second.windows;
        self->hasQueue = true;
    }
    LRESULT created;
    try {
        created = w->proc(w->hwnd, WM_CREATE, 0, 0);
    } catch (...) {
        DestroyWindow(w->hwnd);
        throw;
    }
    if (created == -1) {
        DestroyWindow(w->hwnd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return w->hwnd;
}

bool DestroyWindow(HWND hwnd) {
    ThreadData& self = Self();
    std::unique_lock lock(K().mutex);
    auto w = FindWindowLocked(hwnd);
    if (!w)
        return false;
    if (w->owner.get() != &self) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (w->destroying) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    w->destroying = true;
    lock.unlock();
    struct Remove {
        std::unique_lock<std::mutex>& lock;
        Window& w;
        ~Remove() {
            lock.lock();
            RemoveWindowLocked(w);
        }
    } remove{lock, *w};
    w->proc(hwnd, WM_DESTROY, 0, 0);
    return true;
}

bool IsWindow(HWND hwnd) {
    std::lock_guard lock(K().mutex);
    return K().windows.count(hwnd) != 0;
}

DWORD GetWindowThreadProcessId(HWND hwnd) {
    std::lock_guard lock(K().mutex);
    auto w = FindWindowLocked(hwnd);
    return w ? w->owner->tid : 0;
}

namespace {

std::uint8_t* ExtraWord(Window& w, int byteIndex) {
    if (byteIndex < 0 || static_cast<std::size_t>(byteIndex) + sizeof(std::intptr_t) > w.extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return nullptr;
    }
    return w.extra.data() + byteIndex;
}

} // namespace

std::intptr_t SetWindowLongPtr(HWND hwnd, int byteIndex, std::intptr_t value) {
    std::lock_guard lock(K().mutex);
    auto w = FindWindowLocked(hwnd);
    std::uint8_t* word = w ? ExtraWord(*w, byteIndex) : nullptr;
    if (!word)
        return 0;
    std::intptr_t previous;
    std::memcpy(&previous, word, sizeof previous);
    std::memcpy(word, &value, sizeof value);
    SetLastError(ERROR_SUCCESS);
    return previous;
}

std::intptr_t GetWindowLongPtr(HWND hwnd, int byteIndex) {
    std::lock_guard lock(K().mutex);
    auto w = FindWindowLocked(hwnd);
    std::uint8_t* word = w ? ExtraWord(*w, byteIndex) : nullptr;
    if (!word)
        return 0;
    std::intptr_t value;
    std::memcpy(&value, word, sizeof value);
    SetLastError(ERROR_SUCCESS);
    return value;
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == 0) {
        ThreadData& self = Self();
        std::lock_guard lock(K().mutex);
        self.hasQueue = true;
        return PostLocked(self, MSG{0, msg, wParam, lParam, 0});
    }
    std::shared_ptr<ThreadData> owner;
    {
        std::lock_guard lock(K().mutex);
        auto w = FindWindowLocked(hwnd);
        if (!w)
            return false;
        if (!w->owner->alive) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        if (!PostLocked(*w->owner, MSG{hwnd, msg, wParam, lParam, 0}))
            return false;
        owner = w->owner;
    }
    Wake(*owner);
    return true;
}

bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadData> target;
    {
        std::lock_guard lock(K().mutex);
        auto it = K().threads.find(threadId);
        if (it == K().threads.end() || !it->second->alive || !it->second->hasQueue) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return false;
        }
        if (!PostLocked(*it->second, MSG{0, msg, wParam, lParam, 0}))
            return false;
        target = it->second;
    }
    Wake(*target);
    return true;
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    SendMessageTimeout(hwnd, msg, wParam, lParam, SMTO_NORMAL, INFINITE, &result);
    return result;
}

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                        LRESULT* result) {
    auto selfShared = SelfShared();
    ThreadData& self = *selfShared;
    std::unique_lock lock(K().mutex);
    auto w = FindWindowLocked(hwnd);
    if (!w)
        return false;
    if (w->owner.get() == &self) {
        const WNDPROC proc = w->proc;
        lock.unlock();
        const LRESULT r = proc(hwnd, msg, wParam, lParam);
        if (result)
            *result = r;
        return true;
    }
    const std::shared_ptr<ThreadData> owner = w->owner;
    if (!owner->alive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if ((flags & SMTO_ABORTIFHUNG) && IsHung(*owner, Now())) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    auto sm = std::make_shared<SentMessage>();
    sm->hwnd = hwnd;
    sm->msg = msg;
    sm->wParam = wParam;
    sm->lParam = lParam;
    sm->sender = selfShared;
    owner->sent.push_back(sm);
    owner->newBits |= QS_SENDMESSAGE;
    Wake(*owner);

    const std::uint64_t deadline = DeadlineAfter(timeoutMs);
    const bool takeInbound = !(flags & SMTO_BLOCK);
    for (;;) {
        if (sm->state == SentMessage::State::Done) {
            if (result)
                *result = sm->result;
            return true;
        }
        if (sm->state == SentMessage::State::Failed) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        if (takeInbound && RunInbound(lock, self))
            continue;
        if (Now() >= deadline) {
            if (sm->state == SentMessage::State::Queued)
                std::erase(owner->sent, sm); // withdrawn: never run
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
        self.inMessageWait = takeInbound;
        Block(lock, self, deadline);
        self.inMessageWait = false;
        if (takeInbound)
            self.lastLook = Now();
    }
}

bool PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    ThreadData& self = Self();
    std::unique_lock lock(K().mutex);
    self.hasQueue = true;
    RunInbound(lock, self);
    // What its sockets have to say, as a message wait would take it.
    if (self.pollFd >= 0)
        PollSockets(lock, self, 0);
    const std::uint64_t now = Now();
    Look(self, now);
    return TryRetrieve(self, msg, hwnd, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0, now);
}

int GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    ThreadData& self = Self();
    std::unique_lock lock(K().mutex);
    self.hasQueue = true;
    for (;;) {
        RunInbound(lock, self);
        if (hwnd != 0 && hwnd != ThreadMessagesOnly) {
            auto w = FindWindowLocked(hwnd);
            if (!w)
                return -1;
            if (w->owner.get() != &self) {
                SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
                return -1;
            }
        }
        const std::uint64_t now = Now();
        Look(self, now);
        if (TryRetrieve(self, msg, hwnd, filterMin, filterMax, true, now))
            return msg->message == WM_QUIT ? 0 : 1;
        self.inMessageWait = true;
        Block(lock, self, NextTimerDue(self, now, hwnd, filterMin, filterMax));
        self.inMessageWait = false;
    }
}

bool TranslateMessage(const MSG*) { return false; }

LRESULT DispatchMessage(const MSG* msg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ThreadData& self = Self();
    std::unique_lock lock(K().mutex);
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        const auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        const bool exists = std::any_of(self.timers.begin(), self.timers.end(), [&](const Timer& t) {
            return t.hwnd == msg->hwnd && t.id == msg->wParam && t.proc == proc;
        });
        if (!exists) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        lock.unlock();
        proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (msg->hwnd == 0)
        return 0;
    auto w = FindWindowLocked(msg->hwnd);
    if (!w)
        return 0;
    if (w->owner.get() != &self) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    const WNDPROC proc = w->proc;
    lock.unlock();
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE)
        DestroyWindow(hwnd);
    return 0;
}

void PostQuitMessage(int exitCode) {
    ThreadData& self = Self();
    std::lock_guard lock(K().mutex);
    self.hasQueue = true;
    self.quitPending = true;
    self.quitCode = exitCode;
    self.newBits |= PostedBits;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    ThreadData& self = Self();
    std::lock_guard lock(K().mutex);
    if (hwnd != 0) {
        auto w = FindWindowLocked(hwnd);
        if (!w)
            return 0;
        if (w->owner.get() != &self) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    self.hasQueue = true;
    const UINT period = std::clamp<UINT>(elapseMs, 10, 0x7FFFFFFF);
    const std::uint64_t now = Now();
    const UINT_PTR answer = hwnd != 0 && id == 0 ? 1 : id;
    if (hwnd != 0 || id != 0) {
        for (Timer& t : self.timers)
            if (t.hwnd == hwnd && t.id == id) {
                t.period = period;
                t.proc = proc;
                t.due = now + period;
                t.seen = false;
                return answer;
            }
    }
    if (K().timerCount >= MAX_TIMERS) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return 0;
    }
    if (hwnd == 0) {
        do
            id = ++K().nextTimerId;
        while (id == 0);
    }
    self.timers.push_back(Timer{hwnd, id, period, proc, now + period});
    ++K().timerCount;
    return hwnd != 0 ? answer : id;
}

bool KillTimer(HWND hwnd, UINT_PTR id) {
    ThreadData& self = Self();
    std::lock_guard lock(K().mutex);
    auto it = std::find_if(self.timers.begin(), self.timers.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == self.timers.end()) {
        auto w = K().windows.find(hwnd);
        SetLastError(w != K().windows.end() && w->second->owner.get() != &self ? ERROR_ACCESS_DENIED
                                                                                : ERROR_INVALID_PARAMETER);
        return false;
    }
    self.timers.erase(it);
    --K().timerCount;
    return true;
}

DWORD GetQueueStatus(UINT flags) {
    ThreadData& self = Self();
    std::lock_guard lock(K().mutex);
    self.hasQueue = true;
    const std::uint64_t now = Now();
    self.lastLook = now;
    const unsigned current = CurrentBits(self, now) & flags;
    const unsigned fresh = FreshBits(self, now) & flags;
    MarkSeen(self, now, flags);
    return (current << 16) | (fresh & 0xFFFF);
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs, DWORD wakeMask) {
    if (count > MAXIMUM_WAIT_OBJECTS - 1 || (count > 0 && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return WaitCore(count, handles, waitAll, timeoutMs, true, wakeMask);
}

} // namespace platform
