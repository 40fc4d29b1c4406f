// The last log lines kept in memory for whoever asks later (a read that
// failed prints them, tests look at them). A logger that runs for months and
// logs a failure now and then must not grow without end: beyond the bound the
// oldest lines go, and how many went is counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace host {

template <class TLine>
class TLogHistory {
public:
    static constexpr std::size_t kDefaultLimit = 1000;
    explicit TLogHistory(std::size_t limit = kDefaultLimit) : limit_(limit == 0 ? 1 : limit) {}

    void Add(TLine line) {
        if (lines_.size() >= limit_) {
            lines_.pop_front();
            ++dropped_;
        }
        lines_.push_back(std::move(line));
    }
    const TLine& Last() const { return lines_.back(); }
    std::vector<TLine> Lines() const { return {lines_.begin(), lines_.end()}; }
    std::size_t Size() const { return lines_.size(); }
    // Lines that went to make room for newer ones.
    std::uint64_t Dropped() const { return dropped_; }

private:
    std::size_t limit_;
    std::deque<TLine> lines_;
    std::uint64_t dropped_ = 0;
};

} // namespace host
