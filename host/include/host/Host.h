// The substitute host: what the data-logging application does for a plug-in.
//
// - It exports the five DataLogger_* callbacks from its executable (link the
//   program with ENABLE_EXPORTS), so a plug-in finds them through the host's
//   module handle, which the host passes as "HANDLE" at LOAD.
// - It owns a hidden window ("MSG-PROC-HANDLE") on its main thread: on
//   PLUGIN_MSG_LOG_CHANGED it fetches the instance's log with GetLogEx, on
//   PLUGIN_MSG_RELOAD_SETTINGS it has the instance reload its settings.
// - It calls every export on that main thread and pumps the thread's message
//   loop (GetMessage: an idle host uses no CPU).
//
// Where devices and data come in (the host owns the TCP connection to every
// device): raw bytes a plug-in wants sent (callback code 129) go to the
// IRawBytesSink, which owns the device connections and returns the bytes
// taken; bytes received from a device go back to the instance with
// TPluginInstance::ProcessData on the main thread. Data packets (callback code
// 9) go to the IPacketSink. Both callbacks may come from plug-in worker
// threads; sinks must allow that.
#pragma once

#include "common/qorConfigId.h"
#include "host/LogHistory.h"
#include "platform/Types.h"
#include "plugins/PluginBoundary.h"

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace host {

class TPluginInstance;

// Receives the bytes a plug-in instance wants sent to a device of one of its
// data sources. Returns the bytes taken, negative on failure.
class IRawBytesSink {
public:
    virtual ~IRawBytesSink() = default;
    virtual std::int32_t SendToDevice(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                                      std::span<const std::uint8_t> bytes) = 0;
};

// Receives a data packet. rec and everything it points to are valid during
// the call only (Value2: Type ListInterface, the packet's list; Value1: Type
// Text, the raw text, when there is one).
class IPacketSink {
public:
    virtual ~IPacketSink() = default;
    virtual void OnDataPacket(std::uint32_t moduleIndex, std::uint32_t dataSourceId, const qor::TPluginCallRec& rec) = 0;
};

// One line of a plug-in log as fetched by GetLogEx.
struct TLogLine {
    std::uint32_t ModuleIndex = 0;
    int Level = 0; // 0 exception, 1 warning or failure, 2 success
    std::string Text;
};

// "exception", "warning" or "success" for a log line's level.
const char* LogLevelName(int level);

// Splits the text GetLogEx delivers (lines ending in CR LF, each starting with
// the level plus 1 as a character) into lines.
std::vector<TLogLine> ParseLogText(std::uint32_t moduleIndex, std::string_view text);

// The identifier of a data source type name as "CONFIG-ID" expects it.
using qor::ConfigIdentifier;

class THost {
public:
    // Makes the hidden window on the calling thread, which becomes the host's
    // main thread, and routes the process's callbacks to this host (one host
    // per process at a time).
    THost();
    ~THost();
    THost(const THost&) = delete;
    THost& operator=(const THost&) = delete;

    platform::HWND Window() const { return window_; }
    platform::HMODULE ModuleHandle() const;  // the executable, which exports the callbacks
    platform::DWORD ThreadId() const { return threadId_; }
    // Raises std::logic_error when not called on the host's main thread.
    void CheckThread() const;

    // Instances register under their ModuleIndex for the window messages.
    void Attach(TPluginInstance& instance);
    void Detach(TPluginInstance& instance);

    // Runs the message loop until Quit; returns the exit code.
    int RunMessageLoop();
    // Runs the message loop for ms milliseconds of the platform clock (or
    // until Quit); the thread sleeps in GetMessage meanwhile.
    int RunMessageLoopFor(std::uint32_t ms);
    // Handles the messages already waiting, then returns.
    void PumpPending();
    void Quit(int exitCode);

    // Extension points (nullptr: raw bytes are refused with -1, packets dropped).
    void SetRawBytesSink(IRawBytesSink* sink);
    void SetPacketSink(IPacketSink* sink);

    // The log lines fetched, in order (the last TLogHistory::kDefaultLimit);
    // OnLogLine sees each as it comes.
    std::vector<TLogLine> LogLines() const { return logLines_.Lines(); }
    std::function<void(const TLogLine&)> OnLogLine;

    // Called by the exported callbacks (any thread).
    std::int32_t DispatchSendDataEx(std::uint32_t moduleIndex, std::uint32_t dataSourceId, std::uint32_t count,
                                    std::uint32_t code, void* data);

private:
    static platform::LRESULT WindowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                        platform::LPARAM lParam);
    void OnLogChanged(std::uint32_t moduleIndex);
    void OnReloadSettings(std::uint32_t moduleIndex);

    platform::DWORD threadId_ = 0;
    platform::HWND window_ = 0;
    std::map<std::uint32_t, TPluginInstance*> instances_;
    TLogHistory<TLogLine> logLines_;
};

} // namespace host
