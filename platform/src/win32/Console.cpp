// Console control events, the console and temporary folders on Win32.
//
// The system calls a console control handler on a thread of its own; the
// handler posts the watch's message, so the program stops on its own thread
// as it does for a signal on Linux. For the console's closing (and logging
// off, shutting down) the system ends the process once the handler returns:
// the handler waits there, up to the few seconds the system allows, until the
// watch is gone, which gives the program the time to stop cleanly.
#include "WinApi.h"

#include "platform/Console.h"
#include "platform/Messages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <io.h>
#include <mutex>
#include <random>
#include <system_error>
#include <vector>

namespace platform {

struct SignalWatch::Impl {
    std::vector<ProcessSignal> signals;
    HWND target = 0;
    UINT msg = 0;
};

namespace {

std::mutex watchMutex;
std::vector<SignalWatch::Impl*> watches;
::HANDLE watchesGone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

::BOOL WINAPI OnControl(::DWORD type) {
    ProcessSignal s = ProcessSignal::Terminate;
    if (type == CTRL_C_EVENT)
        s = ProcessSignal::Interrupt;
    bool taken = false;
    {
        std::scoped_lock hold(watchMutex);
        for (const SignalWatch::Impl* w : watches) {
            if (std::find(w->signals.begin(), w->signals.end(), s) == w->signals.end())
                continue;
            PostMessage(w->target, w->msg, static_cast<WPARAM>(s), 0);
            taken = true;
        }
        if (taken)
            ::ResetEvent(watchesGone);
    }
    if (taken && (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT))
        ::WaitForSingleObject(watchesGone, 4500);
    return taken ? TRUE : FALSE;
}

} // namespace

std::string_view ProcessSignalName(ProcessSignal signal) {
    switch (signal) {
    case ProcessSignal::Interrupt:
        return "Ctrl+C";
    case ProcessSignal::Terminate:
        return "Ctrl+Break or close";
    case ProcessSignal::Reload:
        return "reload";
    }
    return "signal";
}

SignalWatch::SignalWatch(std::initializer_list<ProcessSignal> signals, HWND hwnd, UINT msg)
    : impl_(std::make_unique<Impl>()) {
    impl_->signals.assign(signals.begin(), signals.end());
    impl_->target = hwnd;
    impl_->msg = msg;
    std::scoped_lock hold(watchMutex);
    if (watches.empty() && !::SetConsoleCtrlHandler(&OnControl, TRUE))
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                                "Cannot watch the console's control events");
    watches.push_back(impl_.get());
}

SignalWatch::~SignalWatch() {
    std::scoped_lock hold(watchMutex);
    std::erase(watches, impl_.get());
    if (watches.empty()) {
        ::SetConsoleCtrlHandler(&OnControl, FALSE);
        ::SetEvent(watchesGone);
    }
}

bool StandardOutputIsTerminal() {
    ::DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

std::filesystem::path CreateTemporaryFolder(std::string_view prefix) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec)
        throw std::system_error(ec, "Cannot make a temporary folder");
    thread_local std::mt19937_64 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t suffix[13];
        std::swprintf(suffix, 13, L"%012llx", static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFULL));
        const std::filesystem::path folder = base / (win32::Widen(prefix) + L"-" + suffix);
        if (::CreateDirectoryW(folder.c_str(), nullptr))
            return folder;
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "Cannot make a temporary folder");
}

// Through the C runtime, which keeps its own copy of the environment for
// getenv and updates the system's with it.
void SetEnv(std::string_view name, const char* value) {
    ::_wputenv_s(win32::Widen(name).c_str(), value ? win32::Widen(value).c_str() : L"");
}

// The value is taken from the system's block (UTF-16, whatever the ANSI code
// page). Every copy is overwritten before it goes: the C runtime's narrow and
// wide ones, and the system's block, where a value replaced by one of the
// same length is written over in place, so removing it leaves none of its
// text behind in the block.
std::string TakeEnvironmentSecret(std::string_view name) {
    const std::wstring wide = win32::Widen(name);
    const ::DWORD size = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(wide.c_str(), value.data(), size));
    std::string text = win32::Narrow(value);
    if (char* copy = std::getenv(std::string(name).c_str()))
        std::fill(copy, copy + std::strlen(copy), '*');
    if (wchar_t* copy = ::_wgetenv(wide.c_str()))
        std::fill(copy, copy + std::wcslen(copy), L'*');
    ::SetEnvironmentVariableW(wide.c_str(), std::wstring(value.size(), L'*').c_str());
    std::fill(value.begin(), value.end(), L'\0');
    ::_wputenv_s(wide.c_str(), L"");
    ::SetEnvironmentVariableW(wide.c_str(), nullptr);
    return text;
}

// Windows gives a process no file size limit of its own: a file system's
// limit (FAT's 4 GiB) fails the write with an error, as a full disk does.
void TreatFileSizeLimitAsWriteError() {}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

} // namespace platform
