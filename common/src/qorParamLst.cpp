#include "common/qorParamLst.h"

#include "common/qorAssert.h"
#include "platform/Text.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace qor {

namespace {

bool BlankName(std::string_view name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) > ' ')
            return false;
    return true;
}

[[noreturn]] void ThrowIndex(int index) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
}

std::unique_ptr<TqorParamsListItem> MakeItem(std::string_view name, const Variant& value) {
    auto item = std::make_unique<TqorParamsListItem>();
    item->SetName(name);
    item->Value = value;
    item->Flags = kItemHasValue;
    return item;
}

} // namespace

void TqorParamsListItem::SetName(std::string_view name) {
    Name = name;
    LowerName = platform::AnsiLowerCase(name);
}

TqorParamsList::TqorParamsList() : ListId(platform::CreateGuidString()) {}

TqorParamsList::~TqorParamsList() = default;

bool TqorParamsList::LooksLikeRawList(const void* p) {
    if (p == nullptr)
        return false;
    std::uint32_t head = 0;
    std::memcpy(&head, p, sizeof head);
    return head == kParamsListSignature;
}

TqorParamsList* TqorParamsList::FromRaw(void* p) {
    if (!LooksLikeRawList(p))
        throw EAssertionFailed("Invalid parameter list", kParamLstSource);
    return static_cast<TqorParamsList*>(p);
}

TqorParamsListItem* TqorParamsList::GetItem(int index) {
    return index >= 0 && index < Count() ? items_[static_cast<std::size_t>(index)].get() : nullptr;
}

const TqorParamsListItem* TqorParamsList::GetItem(int index) const {
    return index >= 0 && index < Count() ? items_[static_cast<std::size_t>(index)].get() : nullptr;
}

TqorParamsListItem* TqorParamsList::Add(std::string_view name, const Variant& value) {
    if (BlankName(name))
        return nullptr;
    items_.push_back(MakeItem(name, value));
    return items_.back().get();
}

TqorParamsListItem* TqorParamsList::Insert(int index, std::string_view name, const Variant& value) {
    if (index < 0 || index > Count())
        ThrowIndex(index);
    if (BlankName(name))
        return nullptr;
    auto it = items_.insert(items_.begin() + index, MakeItem(name, value));
    return it->get();
}

TqorParamsListItem* TqorParamsList::SetValue(std::string_view name, const Variant& value, bool addIfMissing) {
    if (TqorParamsListItem* item = FindItem(name)) {
        item->Value = value;
        item->Flags = kItemHasValue;
        return item;
    }
    return addIfMissing ? Add(name, value) : nullptr;
}

int TqorParamsList::IndexOf(std::string_view name, int from, int to) const {
    const std::string lower = platform::AnsiLowerCase(name);
    const int count = Count();
    const bool withinRow = to == -2;
    const int last = to >= 0 && to < count ? to : count - 1;
    for (int i = from < 0 ? 0 : from; i <= last; ++i) {
        const TqorParamsListItem& item = *items_[static_cast<std::size_t>(i)];
        if (withinRow && item.IsRowMarker())
            return -1;
        if (item.LowerName == lower)
            return i;
    }
    return -1;
}

TqorParamsListItem* TqorParamsList::FindItem(std::string_view name, int from, int to) {
    return GetItem(IndexOf(name, from, to));
}

Variant TqorParamsList::GetValue(std::string_view name, int from, int to) const {
    const TqorParamsListItem* item = GetItem(IndexOf(name, from, to));
    return item ? item->Value : Variant();
}

Variant TqorParamsList::GetValueDef(std::string_view name, const Variant& def, int from, int to) const {
    const TqorParamsListItem* item = GetItem(IndexOf(name, from, to));
    return item ? item->Value : def;
}

Variant TqorParamsList::GetValueRequired(std::string_view name) const {
    const TqorParamsListItem* item = GetItem(IndexOf(name));
    if (!item)
        throw EAssertionFailed("Parameter is not defined", kParamLstSource);
    return item->Value;
}

TqorParamsListItem* TqorParamsList::SetValueRequired(std::string_view name, const Variant& value) {
    TqorParamsListItem* item = SetValue(name, value, false);
    if (!item)
        throw EAssertionFailed("Parameter is not defined", kParamLstSource);
    return item;
}

void TqorParamsList::Delete(int index) {
    if (index >= 0 && index < Count())
        items_.erase(items_.begin() + index);
}

void TqorParamsList::Clear() {
    items_.clear();
    if (ClearExtra)
        ClearExtra(*this);
}

bool TqorParamsList::FindRowEnd(int start, int& index, bool& isMarker) const {
    const int count = Count();
    const int first = start < 0 ? 0 : start;
    if (first >= count)
        return false;
    for (int i = first; i < count; ++i) {
        if (items_[static_cast<std::size_t>(i)]->IsRowMarker()) {
            index = i;
            isMarker = true;
            return true;
        }
    }
    index = count - 1;
    isMarker = false;
    return true;
}

void TqorParamsList::EndRow() {
    if (!items_.empty() && items_.back()->IsRowMarker())
        return;
    auto marker = std::make_unique<TqorParamsListItem>();
    marker->SetName(kRowMarkerName);
    marker->Value = Variant::MakeNull();
    marker->Tag = kRowMarkerTag;
    items_.push_back(std::move(marker));
}

TqorParamsListItem* TqorParamsList::AddCopy(std::string_view name, std::string_view lowerName, const Variant& value,
                                            std::uint32_t tag, std::uint8_t flags) {
    auto item = std::make_unique<TqorParamsListItem>();
    item->Name = name;
    // The source's cached key may be folded for ASCII only (an item interface
    // lower-cases no more); lookups fold with the ANSI mapping, so the key is
    // folded the same way or a name such as "Über" would not find itself.
    item->LowerName = platform::AnsiLowerCase(lowerName);
    item->Value = value;
    item->Tag = tag;
    item->Flags = flags;
    items_.push_back(std::move(item));
    return items_.back().get();
}

TqorParamsListItem* TqorParamsList::AddItem(const TqorParamsListItem& item) {
    // Copy first: item may belong to this list and move when it grows.
    TqorParamsListItem copy = item;
    return AddCopy(copy.Name, copy.LowerName, copy.Value, copy.Tag, copy.Flags);
}

std::vector<std::unique_ptr<TqorParamsListItem>> TqorParamsList::TakeItems() { return std::exchange(items_, {}); }

TqorParamsListItem* TqorParamsList::Append(std::unique_ptr<TqorParamsListItem> item) {
    if (!item)
        return nullptr;
    items_.push_back(std::move(item));
    return items_.back().get();
}

void TqorParamsList::AppendRows(const TqorParamsList& source) {
    // Count first, so appending a list to itself copies it once.
    const int count = source.Count();
    bool lastWasMarker = false;
    for (int i = 0; i < count; ++i) {
        const TqorParamsListItem& item = *source.items_[static_cast<std::size_t>(i)];
        lastWasMarker = item.IsRowMarker();
        AddItem(item);
    }
    if (!lastWasMarker)
        EndRow();
}

bool TqorParamsList::AddList(const TqorParamsList* source) { return AddListRange(source, 0, -1); }

bool TqorParamsList::AddListRange(const TqorParamsList* source, int from, int to) {
    if (source == nullptr || source->Count() == 0)
        return false;
    const int count = source->Count();
    const int last = to < 0 || to >= count ? count - 1 : to;
    for (int i = from < 0 ? 0 : from; i <= last; ++i)
        AddItem(*source->items_[static_cast<std::size_t>(i)]);
    return true;
}

} // namespace qor
