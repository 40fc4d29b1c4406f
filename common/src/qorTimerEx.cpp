#include "common/qorTimerEx.h"

#include "platform/Debug.h"
#include "platform/Thread.h"

#include <string>

namespace qor {
namespace {

constexpr platform::UINT_PTR TimerId = 1;

} // namespace

TqorTimerEx::TqorTimerEx() {
    window_.OnMessage = [this](platform::UINT msg, platform::WPARAM wParam, bool& handled, platform::LPARAM lParam) {
        return OnMessage(msg, wParam, handled, lParam);
    };
    window_.GetHandle();
}

TqorTimerEx::~TqorTimerEx() {
    const platform::HWND h = window_.Handle();
    if (!h)
        return;
    enabled_ = false;
    if (window_.ThreadId() == platform::GetCurrentThreadId()) {
        if (timerSet_)
            platform::KillTimer(h, TimerId);
    } else if (platform::IsWindow(h)) {
        platform::LRESULT result = 0;
        if (!platform::SendMessageTimeout(h, WM_QOR_TIMER_UPDATE, 0, 0, platform::SMTO_NORMAL,
                                          CrossThreadWindowTimeoutMs, &result))
            platform::OutputDebugString("A timer could not be stopped by its thread: error " +
                                        std::to_string(platform::GetLastError()));
    }
    window_.DestroyHandle();
}

void TqorTimerEx::SetEnabled(bool value) {
    if (enabled_.exchange(value) != value)
        Changed();
}

void TqorTimerEx::SetInterval(std::uint32_t ms) {
    if (interval_.exchange(ms) != ms)
        Changed();
}

void TqorTimerEx::SetOnTimer(TNotifyEvent handler) {
    {
        std::scoped_lock lock(handlerLock_);
        onTimer_ = std::move(handler);
    }
    Changed();
}

void TqorTimerEx::Changed() {
    if (window_.ThreadId() == platform::GetCurrentThreadId()) {
        UpdateTimer();
        return;
    }
    if (!platform::PostMessage(window_.Handle(), WM_QOR_TIMER_UPDATE, 0, 0))
        platform::OutputDebugString("A timer change could not be passed to its thread: error " +
                                    std::to_string(platform::GetLastError()));
}

void TqorTimerEx::UpdateTimer() {
    const platform::HWND h = window_.Handle();
    if (!h)
        return;
    if (timerSet_) {
        platform::KillTimer(h, TimerId);
        timerSet_ = false;
    }
    bool hasHandler;
    {
        std::scoped_lock lock(handlerLock_);
        hasHandler = static_cast<bool>(onTimer_);
    }
    if (enabled_ && interval_ > 0 && hasHandler) {
        if (platform::SetTimer(h, TimerId, interval_) == 0)
            throw EOutOfResources("Not enough timers available");
        timerSet_ = true;
    }
}

platform::LRESULT TqorTimerEx::OnMessage(platform::UINT msg, platform::WPARAM wParam, bool& handled,
                                         platform::LPARAM) {
    if (msg == platform::WM_TIMER && wParam == TimerId) {
        handled = true;
        TNotifyEvent handler;
        {
            std::scoped_lock lock(handlerLock_);
            handler = onTimer_;
        }
        if (handler && enabled_)
            handler(*this); // may free this timer: nothing of it is used afterwards
        return 0;
    }
    if (msg == WM_QOR_TIMER_UPDATE) {
        handled = true;
        try {
            UpdateTimer();
        } catch (const EOutOfResources& e) {
            platform::OutputDebugString(std::string("Timer: ") + e.what());
        }
        return 0;
    }
    return 0;
}

} // namespace qor
