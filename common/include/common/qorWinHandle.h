// A hidden window owned by an object: the window's messages reach the object's
// OnMessage handler on the thread that created the window.
#pragma once

#include "platform/Messages.h"

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>

namespace qor {

class EWindowHandle : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Private messages of the framework's windows (top of the application range).
// Sent from another thread to have the owner destroy the window.
constexpr platform::UINT WM_QOR_DESTROY_HANDLE = 0xBFF0;
// Sent or posted to a TqorTimerEx window: apply Enabled/Interval on the owner.
constexpr platform::UINT WM_QOR_TIMER_UPDATE = 0xBFF1;

// How long a thread other than the owner waits for the owner to act on a
// framework window (disable a timer, destroy a window).
constexpr platform::UINT CrossThreadWindowTimeoutMs = 5000;

class TWindowHandle {
public:
    // Returns whether the message was handled through handled; when it was not,
    // the default window procedure answers.
    using TMessageEvent =
        std::function<platform::LRESULT(platform::UINT msg, platform::WPARAM wParam, bool& handled, platform::LPARAM lParam)>;

    static constexpr const char* ClassName = "DataLoggerWindowClass";

    TWindowHandle() = default;
    ~TWindowHandle();
    TWindowHandle(const TWindowHandle&) = delete;
    TWindowHandle& operator=(const TWindowHandle&) = delete;

    // The window, created on the calling thread on first use. Throws
    // EWindowHandle ("Window class registration failed: Windows error #n",
    // "Window handle allocation failed: Windows error #n").
    platform::HWND GetHandle();
    platform::HWND Handle() const { return handle_.load(); }
    platform::DWORD ThreadId() const { return threadId_.load(); }
    bool QuitReceived() const { return quitReceived_.load(); }

    // Destroys the window. From a thread other than its owner, the owner is
    // asked to destroy it (at most CrossThreadWindowTimeoutMs); the object is
    // detached from the window first, so no message reaches it afterwards, and
    // a message the owner is handling right then is waited for.
    void DestroyHandle();

    // Takes one message of the calling thread's queue (peek: PeekMessage, else
    // waits in GetMessage) and dispatches it; WM_QUIT sets QuitReceived. false
    // once QuitReceived, or when peek found nothing.
    bool ProcessMessage(bool peek);
    // ProcessMessage until it returns false, yielding between messages.
    void ProcessMessages(bool peek);

    // Set before messages can arrive, or from the owner thread.
    TMessageEvent OnMessage;

private:
    static platform::LRESULT StaticWndProc(platform::HWND, platform::UINT, platform::WPARAM, platform::LPARAM);
    platform::LRESULT WndProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);

    std::atomic<platform::HWND> handle_{0};
    std::atomic<platform::DWORD> threadId_{0};
    std::atomic<bool> quitReceived_{false};
};

// Unregisters the window class if this library registered it (at unload).
void UnregisterWindowClass();

} // namespace qor
