// A hidden window of the host's main thread whose messages go to a function:
// what the logger's parts use for their timers, for work handed to the main
// thread and for the readiness of a descriptor (platform::AsyncSelect).
#pragma once

#include "platform/Types.h"

#include <functional>
#include <string>

namespace host {

class TMessageWindow {
public:
    // The handler answers the window's messages; messages it leaves
    // (returns false) go to the default procedure. On the calling thread.
    using THandler =
        std::function<bool(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam)>;
    explicit TMessageWindow(THandler handler);
    ~TMessageWindow();
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;

    platform::HWND Handle() const { return window_; }
    // Any thread; false when the queue refused it.
    bool Post(platform::UINT msg, platform::WPARAM wParam = 0, platform::LPARAM lParam = 0) const;
    // Owner thread: WM_TIMER with wParam id every ms; throws when refused.
    void StartTimer(platform::UINT_PTR id, platform::UINT ms);
    void StopTimer(platform::UINT_PTR id);

private:
    static platform::LRESULT WindowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                        platform::LPARAM lParam);
    THandler handler_;
    platform::HWND window_ = 0;
};

} // namespace host
