// What a console program needs of the operating system beyond windows and
// messages: requests from outside to stop or to read the configuration
// again, whether standard output is a terminal, and a temporary folder.
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Linux: the signals SIGINT, SIGTERM and SIGHUP.
// Windows: the console's control events: Ctrl+C is Interrupt; Ctrl+Break and
// the console's closing (or the user's logging off, the machine shutting
// down) are Terminate; nothing sends Reload.
enum class ProcessSignal : std::uint8_t { Interrupt = 1, Terminate = 2, Reload = 3 };

// "SIGINT", "SIGTERM", "SIGHUP" on Linux; "Ctrl+C", "Ctrl+Break or close",
// "reload" on Windows.
QOR_PLATFORM_API std::string_view ProcessSignalName(ProcessSignal signal);

// Posts msg to hwnd (wParam: the ProcessSignal) whenever one of the signals
// arrives, until the object goes; no thread polls for them. Make it on the
// thread that owns hwnd, before other threads start: on Linux the signals are
// blocked in this thread and the ones it starts later, so they reach only the
// watch. Throws std::system_error when the system refuses.
class QOR_PLATFORM_API SignalWatch {
public:
    SignalWatch(std::initializer_list<ProcessSignal> signals, HWND hwnd, UINT msg);
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Standard output is a terminal (a console on Windows), where a live display
// makes sense.
QOR_PLATFORM_API bool StandardOutputIsTerminal();

// Sets (or, with no value, removes) a variable of the process's environment,
// where std::getenv and the programs it starts see it.
QOR_PLATFORM_API void SetEnv(std::string_view name, const char* value);

// The value of an environment variable that holds a secret (UTF-8), taken
// out of the environment: programs started later do not inherit it, and the
// places of the process that keep its text are overwritten before it goes
// (Linux: the first environment block, which /proc/PID/environ shows;
// Windows: the C runtime's copies and the process's environment block, which
// other programs of the user can read). Empty when it is not set.
QOR_PLATFORM_API std::string TakeEnvironmentSecret(std::string_view name);

// A file that reaches the process's file size limit fails its writes like a
// full disk (EFBIG), rather than ending the process with SIGXFSZ. Windows has
// no such limit (a file system's own one, FAT's 4 GiB, fails the write):
// nothing to do there.
QOR_PLATFORM_API void TreatFileSizeLimitAsWriteError();

// The process's id, as the system's tools show it.
QOR_PLATFORM_API std::uint32_t CurrentProcessId();

// A new folder of the caller's own under the system's temporary folder, its
// name the prefix and a random part. Throws std::system_error on failure.
QOR_PLATFORM_API std::filesystem::path CreateTemporaryFolder(std::string_view prefix);

} // namespace platform
