#include "host/Host.h"

#include "host/PluginInstance.h"
#include "platform/Errors.h"
#include "platform/Messages.h"
#include "platform/Module.h"
#include "platform/Thread.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <type_traits>

namespace host {

namespace {

constexpr const char* kHostWindowClass = "QorHostWindow";

// The callbacks are process-wide; they reach the one host of the process.
std::shared_mutex routeMutex;
THost* currentHost = nullptr;
std::atomic<IRawBytesSink*> rawBytesSink{nullptr};
std::atomic<IPacketSink*> packetSink{nullptr};

} // namespace

const char* LogLevelName(int level) {
    switch (level) {
    case 0:
        return "exception";
    case 1:
        return "warning";
    default:
        return "success";
    }
}

std::vector<TLogLine> ParseLogText(std::uint32_t moduleIndex, std::string_view text) {
    std::vector<TLogLine> lines;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
        if (line.empty())
            continue;
        TLogLine l;
        l.ModuleIndex = moduleIndex;
        const unsigned char first = static_cast<unsigned char>(line.front());
        if (first >= 1 && first <= 3) {
            l.Level = first - 1;
            l.Text = line.substr(1);
        } else {
            l.Level = 1;
            l.Text = line;
        }
        lines.push_back(std::move(l));
    }
    return lines;
}

THost::THost() : threadId_(platform::GetCurrentThreadId()) {
    platform::WNDCLASS wc{kHostWindowClass, &THost::WindowProc, static_cast<int>(sizeof(std::intptr_t))};
    if (!platform::RegisterClass(wc) && platform::GetLastError() != platform::ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("Cannot register the host window class");
    window_ = platform::CreateHiddenWindow(kHostWindowClass, "QorHost");
    if (window_ == 0)
        throw std::runtime_error("Cannot create the host window");
    platform::SetWindowLongPtr(window_, 0, reinterpret_cast<std::intptr_t>(this));
    std::unique_lock lock(routeMutex);
    if (currentHost != nullptr) {
        platform::DestroyWindow(window_);
        throw std::logic_error("Only one host per process");
    }
    currentHost = this;
}

THost::~THost() {
    {
        std::unique_lock lock(routeMutex);
        if (currentHost == this)
            currentHost = nullptr;
        rawBytesSink = nullptr;
        packetSink = nullptr;
    }
    platform::SetWindowLongPtr(window_, 0, 0);
    platform::DestroyWindow(window_);
}

platform::HMODULE THost::ModuleHandle() const { return platform::GetModuleHandle(nullptr); }

void THost::CheckThread() const {
    if (platform::GetCurrentThreadId() != threadId_)
        throw std::logic_error("The host calls the plug-in on its main thread only");
}

void THost::Attach(TPluginInstance& instance) { instances_[instance.ModuleIndex()] = &instance; }

void THost::Detach(TPluginInstance& instance) {
    auto it = instances_.find(instance.ModuleIndex());
    if (it != instances_.end() && it->second == &instance)
        instances_.erase(it);
}

int THost::RunMessageLoop() {
    CheckThread();
    platform::MSG msg{};
    int r = 0;
    while ((r = platform::GetMessage(&msg, 0, 0, 0)) > 0) {
        platform::TranslateMessage(&msg);
        platform::DispatchMessage(&msg);
    }
    return r == 0 ? static_cast<int>(msg.wParam) : -1;
}

namespace {
constexpr platform::UINT_PTR kStopTimer = 1;
}

int THost::RunMessageLoopFor(std::uint32_t ms) {
    CheckThread();
    if (platform::SetTimer(window_, kStopTimer, ms) == 0)
        throw std::runtime_error("Cannot start the host's stop timer");
    const int code = RunMessageLoop();
    platform::KillTimer(window_, kStopTimer);
    return code;
}

void THost::PumpPending() {
    CheckThread();
    platform::MSG msg{};
    while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
        if (msg.message == platform::WM_QUIT) {
            // Leave the quit for the message loop.
            platform::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        platform::TranslateMessage(&msg);
        platform::DispatchMessage(&msg);
    }
}

void THost::Quit(int exitCode) { platform::PostQuitMessage(exitCode); }

// The callbacks use a sink under the shared route lock: once these return, no
// plug-in thread is inside the sink that was replaced, and its owner may go.
void THost::SetRawBytesSink(IRawBytesSink* sink) {
    std::unique_lock lock(routeMutex);
    rawBytesSink = sink;
}

void THost::SetPacketSink(IPacketSink* sink) {
    std::unique_lock lock(routeMutex);
    packetSink = sink;
}

std::int32_t THost::DispatchSendDataEx(std::uint32_t moduleIndex, std::uint32_t dataSourceId, std::uint32_t count,
                                       std::uint32_t code, void* data) {
    switch (code) {
    case qor::kSendRawBytes:
        if (IRawBytesSink* sink = rawBytesSink.load(); sink != nullptr && (data != nullptr || count == 0))
            return sink->SendToDevice(moduleIndex, dataSourceId,
                                      std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), count));
        return -1;
    case qor::kSendDataPacket:
        if (IPacketSink* sink = packetSink.load(); sink != nullptr && data != nullptr)
            sink->OnDataPacket(moduleIndex, dataSourceId, *static_cast<const qor::TPluginCallRec*>(data));
        return 0;
    default:
        return -1;
    }
}

platform::LRESULT THost::WindowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                    platform::LPARAM lParam) {
    auto* host = reinterpret_cast<THost*>(platform::GetWindowLongPtr(hwnd, 0));
    if (msg == platform::WM_TIMER && wParam == kStopTimer) {
        platform::KillTimer(hwnd, kStopTimer);
        platform::PostQuitMessage(0);
        return 0;
    }
    if (host != nullptr && (msg == qor::PLUGIN_MSG_LOG_CHANGED || msg == qor::PLUGIN_MSG_RELOAD_SETTINGS)) {
        try {
            if (msg == qor::PLUGIN_MSG_LOG_CHANGED)
                host->OnLogChanged(static_cast<std::uint32_t>(wParam));
            else
                host->OnReloadSettings(static_cast<std::uint32_t>(wParam));
        } catch (const std::exception&) {
            // A failed fetch leaves the lines in the plug-in; the next message fetches them.
        }
        return 0;
    }
    return platform::DefWindowProc(hwnd, msg, wParam, lParam);
}

void THost::OnLogChanged(std::uint32_t moduleIndex) {
    auto it = instances_.find(moduleIndex);
    if (it == instances_.end())
        return;
    for (TLogLine& line : it->second->FetchLog()) {
        logLines_.Add(std::move(line));
        if (OnLogLine)
            OnLogLine(logLines_.Last());
    }
}

void THost::OnReloadSettings(std::uint32_t moduleIndex) {
    auto it = instances_.find(moduleIndex);
    if (it == instances_.end())
        return;
    // Read the instance's own settings again; nothing to save back.
    qor::TqorParamsList params;
    params.Add("INI-FILE", it->second->Settings().IniFile);
    params.Add("NO-SAVE", std::int32_t{1});
    it->second->Execute("LOAD-SETTINGS-NOW", params);
}

} // namespace host

// The callbacks the plug-in resolves in the host's executable.
#define QOR_HOST_EXPORT QOR_MODULE_EXPORT

extern "C" {

QOR_HOST_EXPORT std::int32_t QOR_STDCALL DataLogger_SendDataEx(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                                                               std::uint32_t count, std::uint32_t, std::uint32_t code,
                                                               void* data, std::uint32_t) {
    try {
        std::shared_lock lock(host::routeMutex);
        return host::currentHost ? host::currentHost->DispatchSendDataEx(moduleIndex, dataSourceId, count, code, data)
                                 : -1;
    } catch (...) {
        return -1;
    }
}

// Resolved by the plug-in but never called by it.
QOR_HOST_EXPORT std::int32_t QOR_STDCALL DataLogger_SendNotify(std::uint32_t, std::uint32_t, std::uint32_t,
                                                               std::uint32_t, std::uint32_t, void*, std::uint32_t) {
    return 0;
}
QOR_HOST_EXPORT std::int32_t QOR_STDCALL DataLogger_DataSourceData(std::uint32_t, std::uint32_t, std::uint32_t,
                                                                   std::uint32_t, std::uint32_t, void*,
                                                                   std::uint32_t) {
    return 0;
}
QOR_HOST_EXPORT std::int32_t QOR_STDCALL DataLogger_DataSourceState(std::uint32_t, std::uint32_t, std::uint32_t,
                                                                    std::uint32_t, std::uint32_t, void*,
                                                                    std::uint32_t) {
    return 0;
}
QOR_HOST_EXPORT std::int32_t QOR_STDCALL DataLogger_ManageDynForm(std::uint32_t, std::uint32_t, std::uint32_t,
                                                                  std::uint32_t, std::uint32_t, void*,
                                                                  std::uint32_t) {
    return 0;
}

} // extern "C"

static_assert(std::is_same_v<decltype(&DataLogger_SendDataEx), qor::TDataLoggerCallback>);
static_assert(std::is_same_v<decltype(&DataLogger_ManageDynForm), qor::TDataLoggerCallback>);
