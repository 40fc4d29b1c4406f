// The timer component: fires OnTimer every Interval milliseconds on the thread
// that created it, through a hidden window of its own.
#pragma once

#include "common/qorWinHandle.h"

#include "platform/Messages.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>

namespace qor {

class EOutOfResources : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bound to the thread that constructs it, which must pump messages for it to
// fire. It runs while Enabled (default true), Interval > 0 (default 1000) and an
// OnTimer handler is set. Changing Enabled, Interval or OnTimer from another
// thread is forwarded to the owner thread as a window message (posted: the
// change takes effect when the owner next pumps). Destroying it from another
// thread sends the owner the disable and the destroy messages, each waited for
// at most 5000 ms. Throws EOutOfResources ("Not enough timers available") when
// the platform refuses a timer (on the owner thread; a forwarded change that
// fails is reported to the debugger output).
class TqorTimerEx {
public:
    using TNotifyEvent = std::function<void(TqorTimerEx& sender)>;

    TqorTimerEx();
    ~TqorTimerEx();
    TqorTimerEx(const TqorTimerEx&) = delete;
    TqorTimerEx& operator=(const TqorTimerEx&) = delete;

    bool Enabled() const { return enabled_.load(); }
    void SetEnabled(bool value);
    std::uint32_t Interval() const { return interval_.load(); }
    void SetInterval(std::uint32_t ms);
    void SetOnTimer(TNotifyEvent handler);

    platform::DWORD ThreadId() const { return window_.ThreadId(); }
    platform::HWND Handle() const { return window_.Handle(); }

    // Free for the owner (the scheduler keeps its position here).
    std::atomic<std::intptr_t> Tag{0};

private:
    void Changed();
    void UpdateTimer();
    platform::LRESULT OnMessage(platform::UINT msg, platform::WPARAM wParam, bool& handled, platform::LPARAM lParam);

    TWindowHandle window_;
    std::atomic<bool> enabled_{true};
    std::atomic<std::uint32_t> interval_{1000};
    std::mutex handlerLock_;
    TNotifyEvent onTimer_;
    bool timerSet_ = false; // owner thread only
};

} // namespace qor
