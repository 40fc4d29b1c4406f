// Signals as messages of the host's main thread: the signals are blocked and
// read from a signalfd whose readiness the platform reports like a socket's
// (AsyncSelect), so the message loop wakes for them without polling and the
// handler runs on the main thread, where it may call the plug-in.
#pragma once

#include "host/MessageWindow.h"

#include <functional>
#include <initializer_list>

namespace host {

class TSignalWatcher {
public:
    // Construct before any other thread starts: the threads created later
    // inherit the blocked mask, so the signals reach only the signalfd.
    TSignalWatcher(std::initializer_list<int> signals, std::function<void(int)> onSignal);
    ~TSignalWatcher();
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

private:
    void Arm();
    void OnReady();

    std::function<void(int)> onSignal_;
    int fd_ = -1;
    TMessageWindow window_;
};

} // namespace host
