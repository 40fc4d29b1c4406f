#include "plugins/qorPluginLog.h"

#include "platform/Debug.h"
#include "platform/Messages.h"
#include "plugins/qorPluginModule.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qor {

void TLogDataList::AddLine(std::string_view line) {
    WriteLock lock(*this);
    const std::size_t count = Count();
    if (count > 0 && Strings(count - 1) == line) {
        SetObjects(count - 1, Objects(count - 1) + 1);
        return;
    }
    Add(line, 0);
    while (Count() > MaxLines)
        Delete(0);
}

std::string TLogDataList::GetText() {
    WriteLock lock(*this);
    std::string text;
    const std::size_t count = Count();
    for (std::size_t i = 0; i < count; ++i) {
        text += Strings(i);
        if (const std::int64_t repeats = Objects(i); repeats > 0) {
            text += " x";
            text += std::to_string(repeats + 1);
        }
        text += "\r\n";
    }
    return text;
}

void TqorPlugin::Log(int level, std::string_view message) {
    if (destroying_ || !log_)
        return;
    {
        // LogTitle is changed under this lock too (SET-MODULE-PARAMETER), so
        // a worker thread never reads it half-written.
        TLogDataList::WriteLock lock(*log_);
        std::string line(1, static_cast<char>(level + 1));
        if (!LogTitle.empty()) {
            line += LogTitle;
            line += ". ";
        }
        const std::size_t start = line.size();
        line += message;
        std::replace_if(line.begin() + static_cast<std::ptrdiff_t>(start), line.end(),
                        [](char c) { return c == '\r' || c == '\n'; }, ' ');
        log_->AddLine(line);
    }
    // After the lock: the host answers by fetching the log, maybe on another thread.
    PostToHost(PLUGIN_MSG_LOG_CHANGED);
}

void TqorPlugin::LogException(std::string_view command, std::string_view message) {
    std::string line = "{";
    line += command;
    line += "} ";
    line += message;
    platform::OutputDebugString(line);
    Log(0, line);
}

std::int32_t TqorPlugin::GetLogEx(TPluginCallRec& rec) {
    TLogDataList::WriteLock lock(*log_);
    const std::string text = log_->GetText();
    rec.Value2.Data = text.size();
    if (text.empty())
        return 0;
    if (rec.Value1.Size == 0) {
        log_->Clear(); // the host asked for the lines to be dropped
        return 0;
    }
    // Too small, or no buffer at all: the lines stay for the next fetch, and
    // Value2.Data tells the size to provide.
    if (text.size() > rec.Value1.Size || rec.Value1.Data == 0 ||
        text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return 0;
    std::memcpy(reinterpret_cast<void*>(rec.Value1.Data), text.data(), text.size());
    log_->Clear();
    return static_cast<std::int32_t>(text.size());
}

void TqorPlugin::PostToHost(platform::UINT message) {
    const platform::HWND window = HostWindow;
    if (window == 0)
        return;
    if (platform::PostMessage(window, message, ModuleIndex, 0))
        return;
    platform::LRESULT ignored = 0;
    platform::SendMessageTimeout(window, message, ModuleIndex, 0, platform::SMTO_ABORTIFHUNG, 1000, &ignored);
}

} // namespace qor
