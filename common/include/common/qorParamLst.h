// Parameter lists: the ordered lists of named variant values in which every
// command, answer and data packet travels between host and plug-in, cut into
// rows by marker items.
//
// Inside a module a list is used directly; across the library boundary it
// travels as a reference-counted interface (common/qorParamLstWrap.h) or, when
// both sides share this code, as the raw list pointer, recognised by the
// Signature in its first four bytes.
#pragma once

#include "common/ThreadObject.h"
#include "common/Variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

constexpr std::uint32_t kParamsListSignature = 0x0FDE2E4B; // 266219083
constexpr std::uint32_t kRowMarkerTag = 0xFF01;            // 65281
constexpr std::string_view kRowMarkerName = "$NEW_ROW$";
// Flags of an item that holds a value (every item made by Add, Insert, SetValue).
constexpr std::uint8_t kItemHasValue = 2;
constexpr std::string_view kParamLstSource = "Common\\qorParamLst";

// One entry. Plain data: a list handed across the boundary as a raw pointer is
// read and extended by the other module's copy of this code, so items carry no
// code of their own (no virtual functions).
class TqorParamsListItem {
public:
    std::string Name;      // as the caller wrote it
    std::string LowerName; // Name through the ANSI lower-case mapping; what lookups compare
    std::uint32_t Tag = 0; // free for the caller; 65281 marks a row marker
    std::uint8_t Flags = 0;
    Variant Value;

    void SetName(std::string_view name);
    bool IsRowMarker() const { return Tag == kRowMarkerTag; }
};

// The list. Not synchronised (see TqorThreadParamsList). Signature must stay
// the first member: the boundary tells a raw list from an interface variable
// by those four bytes (an odd constant, which no aligned interface pointer
// can equal).
class TqorParamsList {
public:
    std::uint32_t Signature = kParamsListSignature;
    std::string ListId; // a fresh GUID in registry text form
    std::uint32_t Tag = 0;

    TqorParamsList();
    ~TqorParamsList();
    TqorParamsList(const TqorParamsList&) = delete;
    TqorParamsList& operator=(const TqorParamsList&) = delete;

    // True when p points at four bytes equal to the signature (p not nil).
    static bool LooksLikeRawList(const void* p);
    // p as a list; a wrong signature is a programming error (EAssertionFailed).
    static TqorParamsList* FromRaw(void* p);

    int Count() const { return static_cast<int>(items_.size()); }
    // nullptr when the index is out of range.
    TqorParamsListItem* GetItem(int index);
    const TqorParamsListItem* GetItem(int index) const;

    // Appends a new item even when the name exists; nullptr (and nothing
    // added) when the name is empty after trimming characters below 33.
    TqorParamsListItem* Add(std::string_view name, const Variant& value);
    // As Add, at index 0..Count; another index raises std::out_of_range.
    TqorParamsListItem* Insert(int index, std::string_view name, const Variant& value);
    // Sets the first item of that name in the whole list; when there is none,
    // appends one only with addIfMissing, else returns nullptr.
    TqorParamsListItem* SetValue(std::string_view name, const Variant& value, bool addIfMissing);

    // Lookup: from max(from, 0) to `to` when 0 <= to < Count, else to the last
    // item; to = -2 runs towards the end but stops at the first row marker
    // (so it finds a name only within the current row). First match wins.
    int IndexOf(std::string_view name, int from = 0, int to = -1) const;
    TqorParamsListItem* FindItem(std::string_view name, int from = 0, int to = -1);
    Variant GetValue(std::string_view name, int from = 0, int to = -1) const; // Empty when not found
    Variant GetValueDef(std::string_view name, const Variant& def, int from = 0, int to = -1) const;
    // Raise EAssertionFailed "Parameter is not defined" when the name is missing.
    Variant GetValueRequired(std::string_view name) const;
    TqorParamsListItem* SetValueRequired(std::string_view name, const Variant& value);

    // Frees one item; an index outside 0..Count-1 does nothing.
    void Delete(int index);
    void Clear();

    // From max(start, 0): the first row marker (isMarker true); when there is
    // none, the last item (isMarker false). False when start is beyond the
    // last item.
    bool FindRowEnd(int start, int& index, bool& isMarker) const;
    // Appends a row marker unless the last item already is one.
    void EndRow();
    // Appends copies of all items of source (name, value, Tag, Flags), then
    // ends the row unless the last copied item was a marker.
    void AppendRows(const TqorParamsList& source);
    // Appends copies of all items; false when source is nil or empty.
    bool AddList(const TqorParamsList* source);
    // Copies source items from..to (from below 0 means 0; to below 0 or beyond
    // the end means the last); false when source is nil or empty.
    bool AddListRange(const TqorParamsList* source, int from, int to);
    // Appends a copy of name, value, Tag and Flags; the copy's LowerName is
    // the given lowerName (the cached lower-case text of the source) through
    // the ANSI lower-case mapping that lookups use.
    TqorParamsListItem* AddCopy(std::string_view name, std::string_view lowerName, const Variant& value,
                                std::uint32_t tag, std::uint8_t flags);
    TqorParamsListItem* AddItem(const TqorParamsListItem& item);
    // Moves every item out, leaving the list without items (its other
    // contents, such as a packet's raw text, stay).
    std::vector<std::unique_ptr<TqorParamsListItem>> TakeItems();
    // Appends an item made elsewhere, as it is; nullptr for nullptr.
    TqorParamsListItem* Append(std::unique_ptr<TqorParamsListItem> item);

protected:
    // Run by Clear once the items are gone, however Clear is reached (a base
    // reference, the list's interface, the other module's copy of this code):
    // a list that keeps more than its items empties that here. A function
    // pointer, not a virtual function, so that Signature stays the first bytes.
    using TClearExtra = void (*)(TqorParamsList& list);
    TClearExtra ClearExtra = nullptr;

private:
    std::vector<std::unique_ptr<TqorParamsListItem>> items_;
};

// A list shared between threads: use it only between Lock and Unlock.
class TqorThreadParamsList : public TThreadObject {
public:
    TqorParamsList& Lock() {
        TThreadObject::Lock();
        return list_;
    }
    void Unlock() { TThreadObject::Unlock(); }

    // Holds the lock for a scope.
    class Locked {
    public:
        explicit Locked(TqorThreadParamsList& l) : owner_(l), list_(l.Lock()) {}
        ~Locked() { owner_.Unlock(); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;
        TqorParamsList& operator*() { return list_; }
        TqorParamsList* operator->() { return &list_; }

    private:
        TqorThreadParamsList& owner_;
        TqorParamsList& list_;
    };

private:
    TqorParamsList list_;
};

} // namespace qor
