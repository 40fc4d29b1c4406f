#include "logix/Logix_Struct.h"

#include "logix/Logix_Factory.h"
#include "logix/Logix_Processor.h"

#include <algorithm>
#include <array>

namespace logix {

using namespace eip;

namespace {

// Nested structures deeper than this are not followed: a template that names
// itself (or a cycle of them) must not recurse without end.
constexpr int MaxNestingDepth = 6;

struct TMemberValue {
    Variant Value;
    bool Pairs = false; // Value is an array of (name, value) pairs
};

TMemberValue MemberValue(const TMemberInfo& m, std::span<const std::uint8_t> data, TTemplateInfoList* cache,
                         int depth);

std::span<const std::uint8_t> Window(std::span<const std::uint8_t> data, std::size_t offset,
                                     std::size_t size) {
    if (offset >= data.size())
        return {};
    return data.subspan(offset, std::min(size, data.size() - offset));
}

bool IsIntegerKind(TLogixType kind) {
    switch (kind) {
    case TLogixType::DINT:
    case TLogixType::INT:
    case TLogixType::LINT:
    case TLogixType::SINT:
    case TLogixType::USINT:
    case TLogixType::UINT:
    case TLogixType::UDINT:
    case TLogixType::ULINT:
        return true;
    default:
        return false;
    }
}

// LEN + DATA text of one element of a string-shaped template: exactly the
// visible members LEN (an integer) and DATA (an array of characters). A type
// that holds more is a structure that happens to have such members.
std::optional<std::string> StringOf(TTemplateInfo& t, std::span<const std::uint8_t> data) {
    const TMemberInfo* len = t.FindMember("LEN");
    const TMemberInfo* text = t.FindMember("DATA");
    if (len == nullptr || text == nullptr || !IsIntegerKind(len->Kind) || len->IsArray())
        return std::nullopt;
    const std::uint8_t character = text->AtomicType();
    if (text->IsStructure() || !text->IsArray() ||
        (character != cipType::SINT && character != cipType::USINT && character != cipType::BYTE))
        return std::nullopt;
    std::size_t visible = 0;
    {
        qor::TThreadObject::SectionLock lock(t.Members);
        for (const auto& m : t.Members)
            visible += m->Hidden ? 0 : 1;
    }
    if (visible != 2)
        return std::nullopt;
    const std::size_t lenSize = TypeSize(len->AtomicType());
    if (len->DataOffset() + lenSize > data.size())
        return std::string();
    const std::int64_t length = ConvertValue(data, len->DataOffset(), len->AtomicType()).AsInt64();
    const auto bytes = Window(data, text->DataOffset(), text->Size);
    const std::size_t n =
        length <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), bytes.size());
    return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

Variant PairsOf(TTemplateInfo& nested, std::string_view prefix, std::span<const std::uint8_t> element,
                TTemplateInfoList* cache, int depth) {
    std::vector<Variant> pairs;
    qor::TThreadObject::SectionLock lock(nested.Members);
    for (auto& sub : nested.Members) {
        if (sub->Hidden)
            continue;
        const std::string name = std::string(prefix) + "." + sub->Name;
        TMemberValue v = MemberValue(*sub, element, cache, depth + 1);
        if (v.Pairs) {
            for (const Variant& pair : v.Value.AsArray()) {
                const auto& p = pair.AsArray();
                pairs.push_back(
                    Variant::MakeArray({Variant(std::string(prefix) + "." + p[0].AsString()), p[1]}));
            }
        } else {
            pairs.push_back(Variant::MakeArray({Variant(name), std::move(v.Value)}));
        }
    }
    return Variant::MakeArray(std::move(pairs));
}

TMemberValue StructureValue(const TMemberInfo& m, std::span<const std::uint8_t> data,
                            TTemplateInfoList* cache, int depth) {
    if (cache == nullptr || depth >= MaxNestingDepth)
        return {};
    TTemplateInfo* nested = TTemplateInfoList::FindByInstance(*cache, m.TemplateInstance());
    if (nested == nullptr)
        return {};
    const std::size_t size = nested->StructureSize != 0 ? nested->StructureSize : m.Size;
    const bool text = StringOf(*nested, {}).has_value();
    auto one = [&](std::size_t offset, const std::string& prefix) -> TMemberValue {
        const auto element = Window(data, offset, size);
        if (text)
            return {Variant(StringOf(*nested, element).value_or(std::string())), false};
        return {PairsOf(*nested, prefix, element, cache, depth), true};
    };
    if (!m.IsArray())
        return one(m.DataOffset(), m.Name);
    // An array of structures: "Member[i].Sub" pairs, or the texts of an
    // array of strings.
    std::vector<Variant> values;
    for (std::size_t i = 0; i < m.ElementCount() && size != 0; ++i) {
        const std::size_t offset = m.DataOffset() + i * size;
        if (offset >= data.size())
            break;
        TMemberValue v = one(offset, m.Name + "[" + std::to_string(i) + "]");
        if (v.Pairs)
            for (const Variant& pair : v.Value.AsArray())
                values.push_back(pair);
        else
            values.push_back(std::move(v.Value));
    }
    return {Variant::MakeArray(std::move(values)), !text};
}

TMemberValue MemberValue(const TMemberInfo& m, std::span<const std::uint8_t> data, TTemplateInfoList* cache,
                         int depth) {
    if (m.IsStructure())
        return StructureValue(m, data, cache, depth);
    const std::uint16_t code = m.AtomicType();
    const std::size_t offset = m.DataOffset();
    switch (code) {
    case cipType::BOOL: {
        const unsigned bit = m.Info % 32;
        const std::size_t at = offset + bit / 8;
        if (at >= data.size())
            return {};
        return {Variant(((data[at] >> (bit % 8)) & 1u) != 0), false};
    }
    case cipType::STRING:
    case cipType::SHORT_STRING: {
        auto text = ParseCipString(data, offset, code);
        return {text ? Variant(*text) : Variant(), false};
    }
    case cipType::BYTE:
    case cipType::WORD:
    case cipType::DWORD:
    case cipType::LWORD: {
        const std::size_t size = TypeSize(code);
        const auto bytes = Window(data, offset, size * m.ElementCount());
        const std::size_t whole = bytes.size() / size * size;
        return {ExpandBits(ConvertArray(bytes, 0, whole, code), static_cast<unsigned>(8 * size)), false};
    }
    default:
        break;
    }
    if (code == cipType::DATE || code == cipType::DATE_AND_TIME) {
        // Dates as dates, not as their day counts.
        const std::size_t size = TypeSize(code);
        const std::size_t count = m.IsArray() ? m.Info : 1;
        std::vector<Variant> dates;
        for (std::size_t i = 0; i < count && offset + (i + 1) * size <= data.size(); ++i)
            dates.push_back(ConvertDate(data, offset + i * size, code));
        if (m.IsArray())
            return {Variant::MakeArray(std::move(dates)), false};
        return {dates.empty() ? Variant() : std::move(dates.front()), false};
    }
    const bool converted = (code >= cipType::SINT && code <= cipType::TIME_OF_DAY) ||
                           (code >= cipType::FTIME && code <= cipType::ITIME) || code == cipType::TIME;
    if (!converted)
        return {};
    const std::size_t size = TypeSize(code);
    if (size == 0)
        return {};
    if (m.IsArray()) {
        // Clipped to the whole elements the element's bytes hold.
        const auto bytes = Window(data, offset, size * m.Info);
        return {ConvertArray(bytes, 0, bytes.size() / size * size, code), false};
    }
    // A value that ends exactly at the end of the element is still inside it.
    if (offset + size > data.size())
        return {};
    return {ConvertValue(data, offset, code), false};
}

const TMemberInfo& FindOrThrow(TTemplateInfo* t, std::string_view name) {
    const TMemberInfo* m = t ? t->FindMember(name) : nullptr;
    if (m == nullptr)
        throw ELogixInvalidOperation("Member not found");
    return *m;
}

std::int32_t AsMemberInteger(const Variant& v) {
    if (v.IsEmpty())
        return 0;
    if (v.Type() == qor::VarType::Boolean)
        return v.AsBoolean() ? 1 : 0;
    return static_cast<std::int32_t>(v.AsInt64());
}

template <std::size_t N>
std::int32_t NamedMember(const TLogixUDT& tag, const std::array<const char*, N>& names, std::size_t n) {
    if (n >= N)
        throw EListError(static_cast<std::int64_t>(n));
    return AsMemberInteger(tag.GetMember(names[n]));
}

constexpr std::array<const char*, 5> TimerNames{"PRE", "ACC", "EN", "TT", "DN"};
constexpr std::array<const char*, 7> CounterNames{"PRE", "ACC", "CU", "CD", "DN", "OV", "UN"};
constexpr std::array<const char*, 10> ControlNames{"LEN", "POS", "EN", "EU", "DN",
                                                   "EM",  "ER",  "UL", "IN", "FD"};
constexpr std::array<const char*, 1> StringNames{"LEN"};

} // namespace

// ----------------------------------------------------------------- TUDTItem

TUDTItem::TUDTItem(TLogixUDT* owner, TTemplateInfo* templateInfo) : Owner(owner), Template(templateInfo) {
    if (Template != nullptr)
        Data.assign(Template->StructureSize, 0);
}

Variant TUDTItem::GetMember(std::string_view name) const {
    const TMemberInfo& m = FindOrThrow(Template, name);
    if (Data.empty())
        return Variant();
    return MemberValue(m, Data, Owner ? Owner->TemplateCache() : nullptr, 0).Value;
}

TPacketDataArray TUDTItem::MemberBytes(std::string_view name) const {
    const TMemberInfo& m = FindOrThrow(Template, name);
    const auto bytes = Window(Data, m.DataOffset(), m.Size);
    return TPacketDataArray(bytes.begin(), bytes.end());
}

std::optional<std::string> TUDTItem::AsString() const {
    if (Template == nullptr)
        return std::nullopt;
    return StringOf(*Template, Data);
}

// ---------------------------------------------------------------- TLogixUDT

TLogixUDT::TLogixUDT(std::string name, std::uint16_t elementCount, TLogixProcessor* processor,
                     std::unique_ptr<TTemplateInfo> templateInfo)
    : TLogixTag(std::move(name), elementCount, processor), Template(std::move(templateInfo)) {}

std::unique_ptr<TLogixUDT> TLogixUDT::Create(std::string name, TLogixProcessor* processor,
                                             std::unique_ptr<TTemplateInfo> templateInfo,
                                             std::uint16_t elementCount) {
    return Construct<TLogixUDT>(std::move(name), elementCount, processor, std::move(templateInfo));
}

void TLogixUDT::InitValues() {
    if (!Template && Processor != nullptr)
        Template = TLogixTagFactory::ReadTemplateForTag(Name, *Processor, ElementCount);
    if (!Template)
        Template = std::make_unique<TTemplateInfo>(); // decodes raw elements only
    StructHandle = Template->Handle;
    Items.clear();
    Items.reserve(ElementCount);
    for (std::uint16_t i = 0; i < ElementCount; ++i)
        Items.push_back(std::make_unique<TUDTItem>(this, Template.get()));
}

TTemplateInfoList* TLogixUDT::TemplateCache() const {
    if (NestedTemplates != nullptr)
        return NestedTemplates;
    return Processor != nullptr ? &Processor->Templates : nullptr;
}

bool TLogixUDT::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.size() < 2 || Items.empty())
        return false;
    // A handle other than the template's means the controller's program
    // changed under us: decoding with this template would put values under
    // the wrong member names.
    const std::uint16_t handle = ToUInt16(bytes, 0);
    if (Template->Handle != 0 && handle != Template->Handle) {
        SetTypeMismatch();
        return false;
    }
    const auto data = bytes.subspan(2);
    const std::size_t elementSize = Template->StructureSize != 0 ? Template->StructureSize : data.size();
    if (elementSize == 0)
        return false;
    std::size_t element = byteOffset / elementSize;
    std::size_t inElement = byteOffset % elementSize;
    std::size_t position = 0;
    bool complete = false;
    while (element < Items.size() && position < data.size()) {
        TPacketDataArray& target = Items[element]->Data;
        if (target.size() < elementSize)
            target.resize(elementSize, 0);
        const std::size_t n = std::min(elementSize - inElement, data.size() - position);
        const auto piece = data.subspan(position, n);
        if (!std::equal(piece.begin(), piece.end(), target.begin() + static_cast<std::ptrdiff_t>(inElement)))
            Changed = true;
        std::copy(piece.begin(), piece.end(), target.begin() + static_cast<std::ptrdiff_t>(inElement));
        position += n;
        if (element + 1 == Items.size())
            complete = true;
        ++element;
        inElement = 0;
    }
    if (!complete || !Changed)
        return false;
    Changed = false;
    NotifyDataChanged();
    return true;
}

bool TLogixUDT::SetElementData(std::span<const std::uint8_t> elementBytes, std::uint32_t byteOffset) {
    TPacketDataArray data;
    data.reserve(elementBytes.size() + 4);
    AppendUInt16(data, cipType::Structure);
    AppendUInt16(data, StructHandle);
    AppendArray(data, elementBytes);
    return SetData(data, byteOffset);
}

TUDTItem& TLogixUDT::ItemAt(std::ptrdiff_t i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= Items.size())
        throw EListError(i);
    return *Items[static_cast<std::size_t>(i)];
}

std::vector<std::string> TLogixUDT::MemberNames() const {
    return Template->VisibleMemberNames();
}

TLogixType TLogixUDT::MemberKind(std::string_view name) const {
    const TMemberInfo* m = Template->FindMember(name);
    return m ? m->Kind : TLogixType::None;
}

Variant TLogixUDT::GetMember(std::string_view name) const {
    if (Items.empty()) {
        FindOrThrow(Template.get(), name);
        return Variant();
    }
    return Items[0]->GetMember(name);
}

TPacketDataArray TLogixUDT::MemberBytes(std::string_view name) const {
    if (Items.empty()) {
        FindOrThrow(Template.get(), name);
        return {};
    }
    return Items[0]->MemberBytes(name);
}

std::optional<std::string> TLogixUDT::AsString() const {
    if (Items.empty())
        return StringOf(*Template, {});
    return Items[0]->AsString();
}

std::int32_t TLogixUDT::MemberInteger(std::string_view name) const {
    return AsMemberInteger(GetMember(name));
}

std::int32_t TLogixTIMER::Member(std::size_t n) const {
    return NamedMember(*this, TimerNames, n);
}
std::int32_t TLogixCOUNTER::Member(std::size_t n) const {
    return NamedMember(*this, CounterNames, n);
}
std::int32_t TLogixCONTROL::Member(std::size_t n) const {
    return NamedMember(*this, ControlNames, n);
}
std::int32_t TLogixSTRING::Member(std::size_t n) const {
    return NamedMember(*this, StringNames, n);
}

std::string TLogixSTRING::Text() const {
    return AsString().value_or(std::string());
}

} // namespace logix
