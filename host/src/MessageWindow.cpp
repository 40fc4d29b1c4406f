#include "host/MessageWindow.h"

#include "platform/Errors.h"
#include "platform/Messages.h"

#include <cstdio>
#include <stdexcept>

namespace host {

namespace {
constexpr const char* kMessagesWindowClass = "QorHostMessages";
}

TMessageWindow::TMessageWindow(THandler handler) : handler_(std::move(handler)) {
    platform::WNDCLASS wc{kMessagesWindowClass, &TMessageWindow::WindowProc,
                          static_cast<int>(sizeof(std::intptr_t))};
    if (!platform::RegisterClass(wc) && platform::GetLastError() != platform::ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("Cannot register the host's message window class");
    window_ = platform::CreateHiddenWindow(kMessagesWindowClass, "QorHostMessages");
    if (window_ == 0)
        throw std::runtime_error("Cannot create a message window");
    platform::SetWindowLongPtr(window_, 0, reinterpret_cast<std::intptr_t>(this));
}

TMessageWindow::~TMessageWindow() {
    platform::SetWindowLongPtr(window_, 0, 0);
    platform::DestroyWindow(window_);
}

bool TMessageWindow::Post(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) const {
    return platform::PostMessage(window_, msg, wParam, lParam);
}

void TMessageWindow::StartTimer(platform::UINT_PTR id, platform::UINT ms) {
    if (platform::SetTimer(window_, id, ms) == 0)
        throw std::runtime_error("Cannot start a window timer");
}

void TMessageWindow::StopTimer(platform::UINT_PTR id) {
    platform::KillTimer(window_, id);
}

platform::LRESULT TMessageWindow::WindowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                             platform::LPARAM lParam) {
    auto* self = reinterpret_cast<TMessageWindow*>(platform::GetWindowLongPtr(hwnd, 0));
    if (self != nullptr && self->handler_) {
        try {
            if (self->handler_(msg, wParam, lParam))
                return 0;
        } catch (const std::exception& e) {
            // Nothing may escape into the message loop.
            std::fprintf(stderr, "qorhost: %s\n", e.what());
            return 0;
        }
    }
    return platform::DefWindowProc(hwnd, msg, wParam, lParam);
}

} // namespace host
