#include "common/ThreadStringList.h"

#include <stdexcept>

namespace qor {

void TThreadStringList::CheckIndex(std::size_t index, std::size_t limit) {
    if (index >= limit)
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
}

std::size_t TThreadStringList::Add(std::string_view text, std::int64_t value) {
    WriteLock lock(*this);
    lines_.push_back(Line{std::string(text), value});
    return lines_.size() - 1;
}

void TThreadStringList::Insert(std::size_t index, std::string_view text, std::int64_t value) {
    WriteLock lock(*this);
    CheckIndex(index, lines_.size() + 1);
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), Line{std::string(text), value});
}

void TThreadStringList::Delete(std::size_t index) {
    WriteLock lock(*this);
    CheckIndex(index, lines_.size());
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
}

void TThreadStringList::Clear() {
    WriteLock lock(*this);
    lines_.clear();
}

std::size_t TThreadStringList::Count() {
    ReadLock lock(*this);
    return lines_.size();
}

std::string TThreadStringList::Strings(std::size_t index) {
    ReadLock lock(*this);
    CheckIndex(index, lines_.size());
    return lines_[index].Text;
}

void TThreadStringList::SetStrings(std::size_t index, std::string_view text) {
    WriteLock lock(*this);
    CheckIndex(index, lines_.size());
    lines_[index].Text = std::string(text);
}

std::int64_t TThreadStringList::Objects(std::size_t index) {
    ReadLock lock(*this);
    CheckIndex(index, lines_.size());
    return lines_[index].Value;
}

void TThreadStringList::SetObjects(std::size_t index, std::int64_t value) {
    WriteLock lock(*this);
    CheckIndex(index, lines_.size());
    lines_[index].Value = value;
}

std::ptrdiff_t TThreadStringList::IndexOf(std::string_view text) {
    ReadLock lock(*this);
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].Text == text)
            return static_cast<std::ptrdiff_t>(i);
    return -1;
}

std::string TThreadStringList::Text() {
    ReadLock lock(*this);
    std::string text;
    for (const Line& line : lines_) {
        text += line.Text;
        text += "\r\n";
    }
    return text;
}

} // namespace qor
