// Debugger output on Win32: OutputDebugStringW, and stderr as on Linux when
// QOR_DEBUG_OUTPUT is set.
#include "WinApi.h"

#include "platform/Debug.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex sinkMutex;
DebugSink sink;

bool DebugToStderr() {
    static const bool enabled = [] {
        const char* v = std::getenv("QOR_DEBUG_OUTPUT");
        return v && *v && std::strcmp(v, "0") != 0;
    }();
    return enabled;
}

} // namespace

void OutputDebugString(std::string_view text) {
    ::OutputDebugStringW(win32::Widen(text).c_str());
    if (DebugToStderr())
        std::fprintf(stderr, "[debug] %.*s\n", static_cast<int>(text.size()), text.data());
    DebugSink copy;
    {
        std::lock_guard lock(sinkMutex);
        copy = sink;
    }
    if (copy)
        copy(text);
}

// No box: the plug-in runs inside a host that may have no one at its screen
// (a service, a logger left alone), and a modal box would stop the thread that
// shows it. The text goes where the Linux build puts it.
void ErrorMessageBox(std::string_view text, std::string_view caption) {
    std::string line = caption.empty() ? std::string("Error: ") : std::string(caption) + ": ";
    line += text;
    std::fprintf(stderr, "%s\n", line.c_str());
    OutputDebugString(line);
}

void SetDebugOutputSink(DebugSink newSink) {
    std::lock_guard lock(sinkMutex);
    sink = std::move(newSink);
}

} // namespace platform
