// Signals, terminals and temporary folders on POSIX. The signals are read
// from a signalfd whose readiness the socket watcher reports to a hidden
// window of the watching thread, which turns each signal into the caller's
// message.
#include "platform/Console.h"

#include "platform/Messages.h"
#include "platform/Socket.h"

#include <csignal>
#include <cstdlib>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace platform {
namespace {

constexpr UINT WM_SIGNAL_READY = WM_USER + 1;
constexpr const char* kClassName = "QorPlatformSignalWatch";

int Number(ProcessSignal s) {
    switch (s) {
    case ProcessSignal::Interrupt:
        return SIGINT;
    case ProcessSignal::Terminate:
        return SIGTERM;
    case ProcessSignal::Reload:
        return SIGHUP;
    }
    return 0;
}

} // namespace

struct SignalWatch::Impl {
    int fd = -1;
    HWND target = 0;
    UINT msg = 0;
    HWND window = 0;

    void Arm() const { AsyncSelect(fd, window, WM_SIGNAL_READY, 0, FD_READ); }

    void OnReady() const {
        signalfd_siginfo info{};
        while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            ProcessSignal s = ProcessSignal::Interrupt;
            if (info.ssi_signo == SIGTERM)
                s = ProcessSignal::Terminate;
            else if (info.ssi_signo == SIGHUP)
                s = ProcessSignal::Reload;
            PostMessage(target, msg, static_cast<WPARAM>(s), 0);
        }
        Arm();
    }

    static LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_SIGNAL_READY) {
            if (auto* self = reinterpret_cast<const Impl*>(GetWindowLongPtr(hwnd, 0)))
                self->OnReady();
            return 0;
        }
        return DefWindowProc(hwnd, message, wParam, lParam);
    }
};

std::string_view ProcessSignalName(ProcessSignal signal) {
    switch (signal) {
    case ProcessSignal::Interrupt:
        return "SIGINT";
    case ProcessSignal::Terminate:
        return "SIGTERM";
    case ProcessSignal::Reload:
        return "SIGHUP";
    }
    return "signal";
}

SignalWatch::SignalWatch(std::initializer_list<ProcessSignal> signals, HWND hwnd, UINT msg)
    : impl_(std::make_unique<Impl>()) {
    impl_->target = hwnd;
    impl_->msg = msg;
    sigset_t set;
    sigemptyset(&set);
    for (const ProcessSignal s : signals)
        sigaddset(&set, Number(s));
    if (const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0)
        throw std::system_error(rc, std::generic_category(), "Cannot block the signals");
    impl_->fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (impl_->fd < 0)
        throw std::system_error(errno, std::generic_category(), "Cannot watch the signals");
    WNDCLASS existing{};
    if (!GetClassInfo(kClassName, &existing))
        RegisterClass(WNDCLASS{kClassName, &Impl::WindowProc, sizeof(std::intptr_t)});
    impl_->window = CreateHiddenWindow(kClassName);
    if (!impl_->window) {
        ::close(impl_->fd);
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "Cannot watch the signals");
    }
    SetWindowLongPtr(impl_->window, 0, reinterpret_cast<std::intptr_t>(impl_.get()));
    impl_->Arm();
}

SignalWatch::~SignalWatch() {
    DestroyWindow(impl_->window);
    CloseSocket(impl_->fd);
}

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::filesystem::path CreateTemporaryFolder(std::string_view prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "Cannot make a temporary folder");
    return pattern;
}

void SetEnv(std::string_view name, const char* value) {
    const std::string n(name);
    if (value)
        ::setenv(n.c_str(), value, 1);
    else
        ::unsetenv(n.c_str());
}

std::string TakeEnvironmentSecret(std::string_view name) {
    const std::string n(name);
    char* value = std::getenv(n.c_str());
    if (value == nullptr)
        return {};
    std::string text(value);
    for (char* p = value; *p != '\0'; ++p)
        *p = '*';
    ::unsetenv(n.c_str());
    return text;
}

void TreatFileSizeLimitAsWriteError() { std::signal(SIGXFSZ, SIG_IGN); }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

} // namespace platform
