#include "host/SignalWatcher.h"

#include "platform/Messages.h"

#include <system_error>

namespace host {

namespace {
constexpr platform::UINT WM_SIGNAL = platform::WM_USER + 20;
}

TSignalWatcher::TSignalWatcher(std::initializer_list<platform::ProcessSignal> signals,
                               std::function<void(platform::ProcessSignal)> onSignal)
    : onSignal_(std::move(onSignal)), window_([this](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) {
          if (msg != WM_SIGNAL)
              return false;
          if (onSignal_)
              onSignal_(static_cast<platform::ProcessSignal>(wParam));
          return true;
      }) {
    try {
        watch_ = std::make_unique<platform::SignalWatch>(signals, window_.Handle(), WM_SIGNAL);
    } catch (const std::system_error&) {
        throw std::runtime_error("Cannot watch the signals");
    }
}

} // namespace host
