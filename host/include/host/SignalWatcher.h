// Requests from outside to stop or to read the configuration again, as
// messages of the host's main thread (platform::SignalWatch: signals on
// Linux, console control events on Windows): the message loop wakes for them
// without polling and the handler runs on the main thread, where it may call
// the plug-in.
#pragma once

#include "host/MessageWindow.h"
#include "platform/Console.h"

#include <functional>
#include <initializer_list>
#include <memory>

namespace host {

class TSignalWatcher {
public:
    // Construct before any other thread starts: on Linux the threads created
    // later inherit the blocked signals, so the signals reach only the watch.
    TSignalWatcher(std::initializer_list<platform::ProcessSignal> signals,
                   std::function<void(platform::ProcessSignal)> onSignal);
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

private:
    std::function<void(platform::ProcessSignal)> onSignal_;
    TMessageWindow window_;
    std::unique_ptr<platform::SignalWatch> watch_;
};

} // namespace host
