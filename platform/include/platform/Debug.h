// Debugger output and the error message box.
//
// There is no debugger output channel on Linux: the text goes to stderr when
// the environment variable QOR_DEBUG_OUTPUT is set (to anything but "0"), and
// to a sink that tests may install. The error message box has no desktop to
// appear on: its text goes to stderr and to the debugger output.
#pragma once

#include "platform/Types.h"

#include <functional>
#include <string_view>

namespace platform {

QOR_PLATFORM_API void OutputDebugString(std::string_view text);
QOR_PLATFORM_API void ErrorMessageBox(std::string_view text, std::string_view caption = {});

// Receives every debugger output line (tests); an empty function removes it.
using DebugSink = std::function<void(std::string_view)>;
QOR_PLATFORM_API void SetDebugOutputSink(DebugSink sink);

} // namespace platform
