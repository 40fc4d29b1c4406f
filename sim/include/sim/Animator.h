// Values that change over time, for demonstrations: once a second every
// scalar integer tag counts up by one from its value at start, every scalar
// REAL and LREAL follows a sine around its value at start (one turn a minute),
// every scalar BOOL toggles, and element 0 of every N and F data file does the
// same as an integer and a REAL tag. Writes go through the tag database's and
// data table's own operations, so their locks keep readers consistent.
#pragma once

#include "sim/DataTable.h"
#include "sim/TagDatabase.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class SimAnimator {
public:
    // Takes the animated values at their present state as the start.
    SimAnimator(TagDatabase& tags, DataTable& files);
    ~SimAnimator();
    SimAnimator(const SimAnimator&) = delete;
    SimAnimator& operator=(const SimAnimator&) = delete;

    // Sets every animated value to what it is in second `second` (0: the start).
    void Step(std::uint64_t second);
    // Steps once a period on a thread of its own until Stop.
    void Start(std::chrono::milliseconds period = std::chrono::seconds(1));
    void Stop();

    // What moves: tag names, and data files as "N7:0".
    std::vector<std::string> Animated() const;

private:
    enum class Kind { Integer, Real, Bool, FileWord, FileFloat };
    struct Value {
        Kind What;
        std::string Name;
        std::uint8_t File = 0;
        double Start = 0;
    };
    TagDatabase& tags_;
    DataTable& files_;
    std::vector<Value> values_;
    std::jthread thread_;
    std::mutex lock_;
    std::condition_variable_any wake_;
};

} // namespace sim
