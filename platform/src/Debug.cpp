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
