// A list of strings with the behaviour components expect of one: optional
// sorting with a duplicates rule, change events, and its lines as one text.
#pragma once

#include "common/qorPersistent.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

class EStringListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TDuplicates : std::uint8_t { dupIgnore, dupAccept, dupError };

// Stored in component streams as the defined property "Strings" (a list of
// strings), so a string-list property Lines appears as "Lines.Strings".
class TStringList : public TPersistent {
public:
    using TNotifyEvent = std::function<void(TStringList& sender)>;

    TStringList() = default;
    std::string_view ClassName() const override { return "TStringList"; }

    int Count() const { return static_cast<int>(lines_.size()); }
    bool Empty() const { return lines_.empty(); }
    // Throws EStringListError "List index out of bounds (%d)".
    const std::string& Strings(int index) const;
    const std::string& operator[](int index) const { return Strings(index); }
    void Put(int index, std::string value);
    const std::vector<std::string>& Lines() const { return lines_; }

    // Appends (in a sorted list: inserts in order, applying Duplicates, where
    // an ignored duplicate gives the index of the line already there).
    int Add(std::string value);
    void AddStrings(const std::vector<std::string>& values);
    // Not allowed on a sorted list.
    void Insert(int index, std::string value);
    void Delete(int index);
    void Clear();
    void Assign(const std::vector<std::string>& lines);
    // Index of the first line equal to value without regard to ASCII case; -1 when none.
    int IndexOf(std::string_view value) const;

    // The lines joined by CR LF, each followed by one. SetText splits at CR LF,
    // LF or CR.
    std::string Text() const;
    void SetText(std::string_view text);
    // The lines joined by CR LF without a final line break (no change events).
    std::string JoinedText() const;

    bool Sorted() const { return sorted_; }
    void SetSorted(bool value);
    TDuplicates Duplicates = TDuplicates::dupIgnore;
    // At least Count; setting it below Count raises EStringListError.
    int Capacity() const { return std::max(capacity_, Count()); }
    void SetCapacity(int value);

    // Several changes as one: OnChanging before the first, OnChange after the last.
    void BeginUpdate();
    void EndUpdate();
    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

    bool Assign(const TPersistent& source) override;
    bool ReadDefinedProperty(std::string_view name, const TStreamValue& value) override;
    void WriteDefinedProperties(std::vector<TStreamProperty>& out) const override;

    bool operator==(const TStringList& other) const { return lines_ == other.lines_; }

private:
    void Changing();
    void Changed();
    // Binary search (sorted lists): true when found, index = position or insertion point.
    bool Find(std::string_view value, int& index) const;
    void CheckIndex(int index, int limit) const;

    std::vector<std::string> lines_;
    bool sorted_ = false;
    int capacity_ = 0;
    int updateCount_ = 0;
};

} // namespace qor
