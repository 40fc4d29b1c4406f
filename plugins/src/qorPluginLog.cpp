#include "plugins/qorPluginLog.h"

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

} // namespace qor
