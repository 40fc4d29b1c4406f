#include "logix/Logix_Values.h"

#include "common/qorStrUtils.h"
#include "logix/Logix_Address.h"
#include "logix/Logix_Struct.h"
#include "logix/Logix_Tag.h"

#include <algorithm>
#include <exception>

namespace logix {

namespace {

// Structures nested deeper than this are not followed (a template that names
// itself must not recurse without end); templates are cached as deep.
constexpr int MaxDepth = 6;

struct TFlattener {
    const TLogixNaming& Naming;
    std::vector<TLogixValue>& Out;

    void Add(std::string name, Variant value) { Out.push_back({std::move(name), std::move(value)}); }

    std::string ElementName(std::size_t e) const {
        if (Naming.Number <= 1)
            return Naming.Stem;
        return Naming.Stem + (Naming.ElementSeparator ? "_" : "") + std::to_string(e + 1);
    }

    // With ten or more elements their numbers differ in width, and "W110"
    // could be element 1 bit 10 or element 11 bit 0.
    std::string BitName(const std::string& element, std::uint32_t bit) const {
        return element + (Naming.Number >= 10 ? "_" : "") + std::to_string(bit);
    }

    void Bits(const std::string& name, std::uint64_t value, std::uint32_t width) {
        const auto [first, last] = ParseBitRange(Naming.BitPart, width);
        for (std::uint32_t b = first; b <= last && b < 64; ++b)
            Add(BitName(name, b), Variant(((value >> b) & 1u) != 0));
    }

    Variant Scaled(const Variant& value) const {
        if (Naming.Scale == 1)
            return value;
        return Variant(value.AsDouble() * Naming.Scale);
    }

    std::size_t Elements(std::size_t available) const {
        if (Naming.Number <= 1 || !Naming.AllElements)
            return std::min<std::size_t>(available, 1);
        return available;
    }

    void Tag(const TLogixTag& tag) {
        const TLogixTagEx* ex = tag.ValueTag();
        if (ex == nullptr) {
            if (const auto* udt = dynamic_cast<const TLogixUDT*>(&tag))
                Structure(*udt);
            return;
        }
        const std::uint16_t code = tag.DataType & 0x0FFF;
        switch (tag.LogixType()) {
        case TLogixType::BOOL:
            if (code >= cipType::BYTE && code <= cipType::LWORD)
                return BitString(*ex, static_cast<std::uint32_t>(TypeSize(code) * 8));
            // Single BOOLs, and bits taken out of words: one value each.
            for (std::size_t e = 0; e < Elements(std::min<std::size_t>(std::max<std::size_t>(tag.ElementCount, 1),
                                                                      ex->ValueCount()));
                 ++e)
                Add(ElementName(e), Variant(ex->Values[e].AsBoolean()));
            return;
        case TLogixType::SINT:
        case TLogixType::USINT:
        case TLogixType::INT:
        case TLogixType::UINT:
        case TLogixType::DINT:
        case TLogixType::UDINT:
        case TLogixType::LINT:
        case TLogixType::ULINT:
            for (std::size_t e = 0; e < Elements(ex->ValueCount()); ++e) {
                const Variant& v = ex->Values[e];
                if (Naming.IntegerBits)
                    Bits(ElementName(e), v.Type() == qor::VarType::UInt64 ? v.AsUInt64()
                                                                          : static_cast<std::uint64_t>(v.AsInt64()),
                         static_cast<std::uint32_t>(std::max<std::size_t>(TypeSize(code), 1) * 8));
                else
                    Add(ElementName(e), Scaled(v));
            }
            return;
        case TLogixType::REAL:
        case TLogixType::LREAL:
            for (std::size_t e = 0; e < Elements(ex->ValueCount()); ++e)
                Add(ElementName(e), Scaled(Variant(ex->Values[e].AsDouble())));
            return;
        case TLogixType::SSTRING:
        case TLogixType::DATETIME:
        case TLogixType::DATE:
        case TLogixType::TIME:
            for (std::size_t e = 0; e < Elements(ex->ValueCount()); ++e)
                Add(ElementName(e), ex->Values[e]);
            return;
        default:
            return;
        }
    }

    // Each element's own bits: element e holds values e * width to
    // e * width + width - 1.
    void BitString(const TLogixTagEx& tag, std::uint32_t width) {
        const std::size_t elements = tag.ValueCount() / width;
        for (std::size_t e = 0; e < Elements(elements); ++e) {
            const auto [first, last] = ParseBitRange(Naming.BitPart, width);
            for (std::uint32_t b = first; b <= last; ++b)
                Add(BitName(ElementName(e), b), Variant(tag.Values[e * width + b].AsBoolean()));
        }
    }

    void Structure(const TLogixUDT& tag) {
        const TLogixType type = tag.LogixType();
        for (std::size_t e = 0; e < Elements(tag.ItemCount()); ++e) {
            const TUDTItem& item = tag.ItemAt(static_cast<std::ptrdiff_t>(e));
            const std::string name = ElementName(e);
            if (!Naming.StructureMembers &&
                (type == TLogixType::TIMER || type == TLogixType::COUNTER || type == TLogixType::CONTROL)) {
                // The counting value stands for the whole timer, counter or
                // control.
                const Variant v = item.GetMember(type == TLogixType::CONTROL ? "POS" : "ACC");
                if (!v.IsEmpty())
                    Add(name, Variant(static_cast<std::int32_t>(v.AsInt64())));
                continue;
            }
            Element(item, name, 0);
        }
    }

    // One structure element: its text when it is a string, else its members.
    void Element(const TUDTItem& item, const std::string& name, int depth) {
        if (auto text = item.AsString()) {
            Add(name, Variant(std::move(*text)));
            return;
        }
        if (item.Template == nullptr || depth >= MaxDepth)
            return;
        TTemplateInfoList* cache = item.Owner != nullptr ? item.Owner->TemplateCache() : nullptr;
        qor::TThreadObject::SectionLock lock(item.Template->Members);
        for (const auto& member : item.Template->Members) {
            if (member->Hidden)
                continue;
            const std::string memberName = name + "." + member->Name;
            if (!member->IsStructure()) {
                Variant v;
                try {
                    v = item.GetMember(member->Name);
                } catch (const std::exception&) {
                    continue;
                }
                if (!v.IsEmpty())
                    Add(memberName, std::move(v));
                continue;
            }
            TTemplateInfo* nested = cache != nullptr ? cache->FindByInstance(member->TemplateInstance()) : nullptr;
            if (nested == nullptr)
                continue;
            const std::size_t size = nested->StructureSize != 0 ? nested->StructureSize : member->Size;
            for (std::uint32_t i = 0; i < member->ElementCount() && size != 0; ++i) {
                const std::size_t offset = member->DataOffset() + std::size_t{i} * size;
                if (offset >= item.Data.size())
                    break;
                TUDTItem sub(item.Owner, nested);
                const std::size_t end = std::min(item.Data.size(), offset + size);
                sub.Data.assign(item.Data.begin() + static_cast<std::ptrdiff_t>(offset),
                                item.Data.begin() + static_cast<std::ptrdiff_t>(end));
                sub.Data.resize(std::max<std::size_t>(nested->StructureSize, sub.Data.size()), 0);
                Element(sub, member->IsArray() ? memberName + "[" + std::to_string(i) + "]" : memberName,
                        depth + 1);
            }
        }
    }
};

} // namespace

std::vector<TLogixValue> FlattenTag(const TLogixTag& tag, const TLogixNaming& naming) {
    std::vector<TLogixValue> values;
    TFlattener flattener{naming, values};
    try {
        flattener.Tag(tag);
    } catch (const std::exception&) {
        // A value the tag cannot give is left out; the ones before it stay.
    }
    return values;
}

std::string ExportNameFromAddress(std::string_view address) {
    static constexpr std::string_view kRemoved = "\"'*+/:;<=>?[]\\|";
    std::string names;
    names.reserve(address.size() + 1);
    std::size_t start = 0; // where the current name begins in names
    const auto guard = [&] {
        // Names become file and column names on the host side, where these
        // are reserved device names.
        const std::string head = qor::LowerAscii(std::string_view(names).substr(start, 3));
        for (const std::string_view reserved : {"com", "lpt", "con", "aux", "prn", "nul"})
            if (head == reserved) {
                names.insert(names.begin() + static_cast<std::ptrdiff_t>(start), '_');
                break;
            }
    };
    for (const char c : address) {
        if (c == ';') {
            guard();
            names += '\r';
            start = names.size();
        } else if (kRemoved.find(c) == std::string_view::npos) {
            names += c;
        }
    }
    guard();
    return names;
}

} // namespace logix
