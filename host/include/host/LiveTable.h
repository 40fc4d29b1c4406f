// The logger's live view on a terminal: one line per item read (data source,
// item, value, age of the value, state of the device connection), drawn in
// place with ANSI cursor movement. The owner calls Draw from a window timer;
// it writes only when the text changed (ages count whole seconds).
#pragma once

#include "host/Outputs.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace host {

class TLiveTable {
public:
    using TClock = std::chrono::system_clock;
    explicit TLiveTable(std::FILE* out) : out_(out) {}

    // A data source shown before it delivers anything.
    void AddSource(const std::string& source);
    // The values of a packet (header items left out).
    void Update(const TOutputPacket& packet);
    // The state text of a data source's connection ("connected", ...).
    std::function<std::string(const std::string& source)> StateOf;

    // The lines the table shows at the time now, the header first.
    std::vector<std::string> Render(TClock::time_point now) const;
    // Draws the table over its previous drawing when its text changed.
    void Draw(TClock::time_point now);
    // Takes the table off the screen so other text can be written there; the
    // next Draw puts it back.
    void Erase();

private:
    struct TRow {
        std::string Source;
        std::string Item;
        std::string Value;
        TClock::time_point Time{};
        bool HasValue = false;
    };
    std::FILE* out_;
    std::vector<TRow> rows_;
    std::vector<std::string> drawn_;
};

} // namespace host
