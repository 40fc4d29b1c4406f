#include "common/qorStringList.h"

#include "common/qorStrUtils.h"

#include <algorithm>

namespace qor {

namespace {

int CompareText(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i])), y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

} // namespace

void TStringList::CheckIndex(int index, int limit) const {
    if (index < 0 || index >= limit)
        throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}

const std::string& TStringList::Strings(int index) const {
    CheckIndex(index, Count());
    return lines_[static_cast<std::size_t>(index)];
}

void TStringList::Put(int index, std::string value) {
    if (sorted_)
        throw EStringListError("Operation not allowed on sorted list");
    CheckIndex(index, Count());
    Changing();
    lines_[static_cast<std::size_t>(index)] = std::move(value);
    Changed();
}

bool TStringList::Find(std::string_view value, int& index) const {
    int lo = 0, hi = Count() - 1;
    bool found = false;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const int c = CompareText(lines_[static_cast<std::size_t>(mid)], value);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
            if (c == 0) {
                found = true;
                if (Duplicates != TDuplicates::dupAccept)
                    lo = mid;
            }
        }
    }
    index = lo;
    return found;
}

int TStringList::Add(std::string value) {
    int index = Count();
    if (sorted_) {
        if (Find(value, index)) {
            if (Duplicates == TDuplicates::dupIgnore)
                return index;
            if (Duplicates == TDuplicates::dupError)
                throw EStringListError("String list does not allow duplicates");
        }
    }
    Changing();
    lines_.insert(lines_.begin() + index, std::move(value));
    Changed();
    return index;
}

void TStringList::AddStrings(const std::vector<std::string>& values) {
    BeginUpdate();
    for (const auto& v : values)
        Add(v);
    EndUpdate();
}

void TStringList::Insert(int index, std::string value) {
    if (sorted_)
        throw EStringListError("Operation not allowed on sorted list");
    CheckIndex(index, Count() + 1);
    Changing();
    lines_.insert(lines_.begin() + index, std::move(value));
    Changed();
}

void TStringList::Delete(int index) {
    CheckIndex(index, Count());
    Changing();
    lines_.erase(lines_.begin() + index);
    Changed();
}

void TStringList::Clear() {
    if (lines_.empty())
        return;
    Changing();
    lines_.clear();
    Changed();
}

void TStringList::Assign(const std::vector<std::string>& lines) {
    BeginUpdate();
    Clear();
    AddStrings(lines);
    EndUpdate();
}

int TStringList::IndexOf(std::string_view value) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (CompareText(lines_[i], value) == 0)
            return static_cast<int>(i);
    return -1;
}

std::string TStringList::Text() const {
    std::string out;
    for (const auto& l : lines_) {
        out += l;
        out += "\r\n";
    }
    return out;
}

std::string TStringList::JoinedText() const {
    std::string out;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i > 0)
            out += "\r\n";
        out += lines_[i];
    }
    return out;
}

void TStringList::SetText(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    Assign(lines);
}

void TStringList::SetSorted(bool value) {
    if (value == sorted_)
        return;
    if (value) {
        Changing();
        std::stable_sort(lines_.begin(), lines_.end(),
                         [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
        Changed();
    }
    sorted_ = value;
}

void TStringList::SetCapacity(int value) {
    if (value < Count())
        throw EStringListError("List capacity out of bounds (" + std::to_string(value) + ")");
    capacity_ = value;
    lines_.reserve(static_cast<std::size_t>(value));
}

void TStringList::BeginUpdate() {
    if (updateCount_++ == 0 && OnChanging)
        OnChanging(*this);
}

void TStringList::EndUpdate() {
    if (updateCount_ > 0 && --updateCount_ == 0 && OnChange)
        OnChange(*this);
}

void TStringList::Changing() {
    if (updateCount_ == 0 && OnChanging)
        OnChanging(*this);
}

void TStringList::Changed() {
    if (updateCount_ == 0 && OnChange)
        OnChange(*this);
}

bool TStringList::Assign(const TPersistent& source) {
    const auto* other = dynamic_cast<const TStringList*>(&source);
    if (!other)
        return false;
    if (other != this)
        Assign(std::vector<std::string>(other->lines_));
    return true;
}

bool TStringList::ReadDefinedProperty(std::string_view name, const TStreamValue& value) {
    if (name.size() != 7 || CompareText(name, "Strings") != 0)
        return false;
    if (value.Type != TValueType::List)
        throw EReadError("Invalid property value");
    std::vector<std::string> lines;
    for (const auto& item : value.Items) {
        if (!item.IsString())
            throw EReadError("Invalid property value");
        lines.push_back(item.Text);
    }
    Assign(lines);
    return true;
}

void TStringList::WriteDefinedProperties(std::vector<TStreamProperty>& out) const {
    if (lines_.empty())
        return;
    std::vector<TStreamValue> items;
    items.reserve(lines_.size());
    for (const auto& l : lines_)
        items.push_back(TStreamValue::Str(l));
    out.push_back({"Strings", TStreamValue::ListOf(std::move(items))});
}

} // namespace qor
