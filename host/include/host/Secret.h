// A password the logger holds: it goes to the library that logs in with it
// and nowhere else (no log line, error message or output shows it), and its
// memory is cleared when it goes.
#pragma once

#include <string>
#include <utility>

namespace host {

// Overwrites a string's characters before it is emptied: what held a secret
// keeps nothing of it in freed memory. Written through a volatile pointer so
// that the compiler keeps the stores although the string is about to go.
inline void WipeText(std::string& text) {
    volatile char* p = text.data();
    for (std::size_t i = 0; i < text.size(); ++i)
        p[i] = 0;
    text.clear();
}

// Wipes a string when the scope ends, however it ends.
class TWipeOnExit {
public:
    explicit TWipeOnExit(std::string& text) : text_(text) {}
    ~TWipeOnExit() { WipeText(text_); }
    TWipeOnExit(const TWipeOnExit&) = delete;
    TWipeOnExit& operator=(const TWipeOnExit&) = delete;

private:
    std::string& text_;
};

class TSecret {
public:
    TSecret() = default;
    // Takes the text and wipes the caller's string.
    explicit TSecret(std::string& text) : text_(text) { WipeText(text); }
    TSecret(const TSecret& other) : text_(other.text_) {}
    TSecret(TSecret&& other) noexcept : text_(std::move(other.text_)) { other.Clear(); }
    TSecret& operator=(const TSecret& other) {
        if (this != &other) {
            Clear();
            text_ = other.text_;
        }
        return *this;
    }
    TSecret& operator=(TSecret&& other) noexcept {
        if (this != &other) {
            Clear();
            text_ = std::move(other.text_);
            other.Clear();
        }
        return *this;
    }
    ~TSecret() { Clear(); }

    bool Empty() const { return text_.empty(); }
    // The text itself, for the one call that needs it.
    const std::string& Reveal() const { return text_; }
    bool operator==(const TSecret& other) const { return text_ == other.text_; }

    void Clear() { WipeText(text_); }

private:
    std::string text_;
};

} // namespace host
