#include "host/LiveTable.h"

#include "host/Acquisition.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace host {

namespace {

constexpr std::size_t kValueWidth = 24;

std::string ValueText(const qor::Variant& value) {
    std::string text;
    try {
        if (value.Type() == qor::VarType::Boolean) {
            text = value.AsBoolean() ? "true" : "false";
        } else if (value.Type() == qor::VarType::Double || value.Type() == qor::VarType::Single) {
            // A REAL travels as a double: seven digits are what it holds.
            char number[32];
            std::snprintf(number, sizeof number, "%.7g", value.AsDouble());
            text = std::isfinite(value.AsDouble()) ? number : ValueTextOf({"", value}, {});
        } else if (value.IsArray()) {
            text = ValueTextOf({"", value}, {});
        } else {
            text = value.AsString();
        }
    } catch (const std::exception&) {
        text = "?";
    }
    for (char& c : text)
        if (static_cast<unsigned char>(c) < ' ')
            c = ' ';
    if (text.size() > kValueWidth)
        text = text.substr(0, kValueWidth - 3) + "...";
    return text;
}

std::string AgeText(std::chrono::seconds age) {
    const long long s = std::max<long long>(0, age.count());
    if (s < 60)
        return std::to_string(s) + "s";
    if (s < 3600)
        return std::to_string(s / 60) + "m" + (s % 60 < 10 ? "0" : "") + std::to_string(s % 60) + "s";
    return std::to_string(s / 3600) + "h" + (s % 3600 / 60 < 10 ? "0" : "") + std::to_string(s % 3600 / 60) +
           "m";
}

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

} // namespace

void TLiveTable::AddSource(const std::string& source) {
    for (const TRow& r : rows_)
        if (r.Source == source)
            return;
    rows_.push_back({source, "", "", {}, false});
}

void TLiveTable::Update(const TOutputPacket& packet) {
    for (const TOutputValue& v : packet.Values) {
        if (IsHeaderItem(v.Name))
            continue;
        auto row = std::find_if(rows_.begin(), rows_.end(),
                                [&](const TRow& r) { return r.Source == packet.Source && r.Item == v.Name; });
        if (row == rows_.end()) {
            // The first value of a source takes the place of its empty line;
            // later ones follow the source's other rows.
            auto empty = std::find_if(rows_.begin(), rows_.end(), [&](const TRow& r) {
                return r.Source == packet.Source && r.Item.empty();
            });
            if (empty != rows_.end()) {
                row = empty;
                row->Item = v.Name;
            } else {
                auto last = std::find_if(rows_.rbegin(), rows_.rend(),
                                         [&](const TRow& r) { return r.Source == packet.Source; });
                TRow added;
                added.Source = packet.Source;
                added.Item = v.Name;
                row = rows_.insert(last == rows_.rend() ? rows_.end() : last.base(), std::move(added));
            }
        }
        row->Value = ValueText(v.Value);
        row->Time = packet.Time;
        row->HasValue = true;
    }
}

std::vector<std::string> TLiveTable::Render(TClock::time_point now) const {
    std::size_t sourceWidth = 6, itemWidth = 4;
    for (const TRow& r : rows_) {
        sourceWidth = std::max(sourceWidth, r.Source.size());
        itemWidth = std::max(itemWidth, r.Item.size());
    }
    std::vector<std::string> lines;
    lines.push_back(Pad("SOURCE", sourceWidth) + "  " + Pad("ITEM", itemWidth) + "  " +
                    Pad("VALUE", kValueWidth) + "  " + Pad("AGE", 6) + "  STATE");
    for (const TRow& r : rows_) {
        const std::string age =
            r.HasValue ? AgeText(std::chrono::duration_cast<std::chrono::seconds>(now - r.Time)) : "-";
        lines.push_back(Pad(r.Source, sourceWidth) + "  " +
                        Pad(r.HasValue ? r.Item : "(no values yet)", itemWidth) + "  " +
                        Pad(r.Value, kValueWidth) + "  " + Pad(age, 6) + "  " +
                        (StateOf ? StateOf(r.Source) : std::string()));
    }
    return lines;
}

void TLiveTable::Draw(TClock::time_point now) {
    std::vector<std::string> lines = Render(now);
    if (lines == drawn_)
        return;
    std::string text;
    if (!drawn_.empty())
        text += "\x1b[" + std::to_string(drawn_.size()) + "A\r";
    for (const std::string& line : lines)
        text += "\x1b[2K" + line + "\n";
    if (lines.size() < drawn_.size())
        text += "\x1b[J";
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    drawn_ = std::move(lines);
}

void TLiveTable::Erase() {
    if (drawn_.empty())
        return;
    std::fprintf(out_, "\x1b[%zuA\r\x1b[J", drawn_.size());
    std::fflush(out_);
    drawn_.clear();
}

} // namespace host
