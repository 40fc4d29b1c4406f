#include "host/SignalWatcher.h"

#include "platform/Messages.h"
#include "platform/Socket.h"

#include <csignal>
#include <stdexcept>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace host {

namespace {
constexpr platform::UINT WM_SIGNAL_READY = platform::WM_USER + 20;
}

TSignalWatcher::TSignalWatcher(std::initializer_list<int> signals, std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)), window_([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
          if (msg != WM_SIGNAL_READY)
              return false;
          OnReady();
          return true;
      }) {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : signals)
        sigaddset(&set, s);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        throw std::runtime_error("Cannot block the signals");
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("Cannot watch the signals");
    Arm();
}

TSignalWatcher::~TSignalWatcher() {
    platform::CloseSocket(fd_);
}

void TSignalWatcher::Arm() {
    if (!platform::AsyncSelect(fd_, window_.Handle(), WM_SIGNAL_READY, 0, platform::FD_READ))
        throw std::runtime_error("Cannot watch the signals");
}

void TSignalWatcher::OnReady() {
    std::vector<int> arrived;
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        arrived.push_back(static_cast<int>(info.ssi_signo));
    Arm();
    for (const int s : arrived)
        if (onSignal_)
            onSignal_(s);
}

} // namespace host
