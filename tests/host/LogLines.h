// What an output logs, from whichever thread it writes on: the lines in
// order, counted, and waited for.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace hosttest {

class LogLines {
public:
    std::function<void(const std::string&)> Sink() {
        return [this](const std::string& line) {
            std::scoped_lock hold(lock_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }
    std::vector<std::string> Lines() const {
        std::scoped_lock hold(lock_);
        return lines_;
    }
    // Lines holding text.
    int Count(std::string_view text) const {
        std::scoped_lock hold(lock_);
        return CountLocked(text);
    }
    // Whether the lines came to satisfy done within the time given.
    bool WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                   std::chrono::milliseconds within) {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, within, [&] { return done(lines_); });
    }
    // Whether a line holding text came within the time given.
    bool WaitFor(std::string_view text, std::chrono::milliseconds within) {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, within, [&] { return CountLocked(text) > 0; });
    }
    // Every line, one a line: for a failure's message.
    std::string Text() const {
        std::string all;
        for (const std::string& line : Lines())
            all += line + "\n";
        return all;
    }

private:
    int CountLocked(std::string_view text) const {
        return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

} // namespace hosttest
