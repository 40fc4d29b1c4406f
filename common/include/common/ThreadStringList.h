// A list of text lines, each with an integer beside it, shared between threads.
#pragma once

#include "common/ThreadObject.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <deque>

namespace qor {

// Reads take the read side of the list's multi-reader/single-writer lock,
// changes the write side. A caller that needs several operations to be seen as
// one (the log's "repeat the last line" update) holds WriteLock around them; the
// lock is re-entrant for its writer.
class TThreadStringList : public TThreadObject {
public:
    // Returns the new line's index.
    std::size_t Add(std::string_view text, std::int64_t value = 0);
    // Throws std::out_of_range ("List index out of bounds (n)") for a bad index
    // in every indexed operation.
    void Insert(std::size_t index, std::string_view text, std::int64_t value = 0);
    void Delete(std::size_t index);
    void Clear();
    std::size_t Count();
    std::string Strings(std::size_t index);
    void SetStrings(std::size_t index, std::string_view text);
    std::int64_t Objects(std::size_t index);
    void SetObjects(std::size_t index, std::int64_t value);
    // Index of the first line equal to text (case-sensitive), -1 when none.
    std::ptrdiff_t IndexOf(std::string_view text);
    // Every line followed by CR LF.
    std::string Text();

private:
    struct Line {
        std::string Text;
        std::int64_t Value;
    };
    static void CheckIndex(std::size_t index, std::size_t limit);

    // A deque: a bounded log drops its oldest line on every new one, and that
    // removal at the front must not move all the other lines.
    std::deque<Line> lines_;
};

} // namespace qor
