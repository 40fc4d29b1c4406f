// The plug-in log: the text lines an instance keeps until the host fetches
// them with GetLogEx.
#pragma once

#include "common/ThreadStringList.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qor {

// Lines with a repeat counter beside each (the integer of the string list):
// the same line logged again right after itself only counts up, and is shown
// with " x" and the number of times it was logged ("... x3").
//
// The counter stays beside the line and the suffix is added whenever the text
// is produced, so a fetch that leaves the log in place (the host's buffer was
// too small) cannot put a second suffix on the line, and a repeat logged after
// such a fetch still counts up.
//
// Any thread may log; AddLine, GetText and a fetch serialise on the list's
// write lock. A caller that needs GetText and Clear to be one step (GetLogEx)
// holds WriteLock around both; the lock is re-entrant for its writer.
class TLogDataList : public TThreadStringList {
public:
    static constexpr std::size_t kModuleLogLimit = 51200;

    explicit TLogDataList(std::size_t maxLines = kModuleLogLimit) : MaxLines(maxLines) {}

    std::size_t MaxLines;

    // Appends the line, or counts a repeat of the last one; then drops the
    // oldest lines while more than MaxLines remain.
    void AddLine(std::string_view line);
    // Every line (with its repeat suffix) followed by CR LF.
    std::string GetText();
};

} // namespace qor
