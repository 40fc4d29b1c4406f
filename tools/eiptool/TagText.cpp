#include "TagText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace eiptool {

namespace {

using logix::TLogixTag;
using logix::TLogixUDT;
using logix::TTemplateInfo;
using logix::TUDTItem;
using qor::Variant;
using qor::VarType;

constexpr int MaxNesting = logix::MaxTemplateDepth;

std::string JsonOfElement(const TLogixUDT& owner, const TUDTItem& item, int depth);

// One member of a structure element: atomic members as their values, nested
// structures as objects (arrays of them as arrays of objects).
std::string JsonOfMember(const TLogixUDT& owner, const TUDTItem& item, logix::TMemberInfo& member,
                         int depth) {
    if (!member.IsStructure())
        return JsonOfVariant(item.GetMember(member.Name));
    logix::TTemplateInfoList* cache = owner.TemplateCache();
    TTemplateInfo* nested = cache != nullptr ? cache->FindByInstance(member.TemplateInstance()) : nullptr;
    if (nested == nullptr || nested->StructureSize == 0 || depth >= MaxNesting)
        return "null";
    const eip::TPacketDataArray bytes = item.MemberBytes(member.Name);
    const auto element = [&](std::size_t at) {
        TUDTItem sub(const_cast<TLogixUDT*>(&owner), nested);
        const std::size_t end = std::min(bytes.size(), at + nested->StructureSize);
        sub.Data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at, end)),
                        bytes.begin() + static_cast<std::ptrdiff_t>(end));
        sub.Data.resize(nested->StructureSize, 0);
        return JsonOfElement(owner, sub, depth + 1);
    };
    if (!member.IsArray())
        return element(0);
    std::string out = "[";
    for (std::uint32_t i = 0; i < member.ElementCount(); ++i)
        out += (i ? "," : "") + element(std::size_t{i} * nested->StructureSize);
    return out + "]";
}

std::string JsonOfElement(const TLogixUDT& owner, const TUDTItem& item, int depth) {
    if (const auto text = item.AsString())
        return JsonString(*text);
    std::string out = "{";
    bool first = true;
    for (auto& member : item.Template->Members) {
        if (member->Hidden)
            continue;
        out +=
            (first ? "" : ",") + JsonString(member->Name) + ":" + JsonOfMember(owner, item, *member, depth);
        first = false;
    }
    return out + "}";
}

// Values a user reads: a single BOOL is one value, not its 32-bit host, and a
// bit string as many bits as its elements hold.
std::size_t ShownCount(const logix::TLogixTagEx& tag) {
    std::size_t count = tag.ValueCount();
    switch (tag.DataType) {
    case logix::cipType::BOOL:
        count = tag.ElementCount;
        break;
    case logix::cipType::BYTE:
    case logix::cipType::WORD:
    case logix::cipType::DWORD:
    case logix::cipType::LWORD:
        count = std::size_t{tag.ElementCount} * 8 * logix::TypeSize(tag.DataType);
        break;
    default:
        break;
    }
    return std::min(count, tag.ValueCount());
}

} // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x",
                              static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string JsonOfVariant(const Variant& value) {
    if (value.IsArray()) {
        std::string out = "[";
        const auto& items = value.AsArray();
        for (std::size_t i = 0; i < items.size(); ++i)
            out += (i ? "," : "") + JsonOfVariant(items[i]);
        return out + "]";
    }
    switch (qor::VarElementType(value.Type())) {
    case VarType::Empty:
    case VarType::Null:
        return "null";
    case VarType::Boolean:
        return value.AsBoolean() ? "true" : "false";
    case VarType::Single:
    case VarType::Double: {
        const double d = value.AsDouble();
        if (!std::isfinite(d))
            return "null";
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        // The shortest text that reads back as the same value.
        for (int digits = 1; digits <= 17; ++digits) {
            char shorter[40];
            std::snprintf(shorter, sizeof shorter, "%.*g", digits, d);
            if (std::strtod(shorter, nullptr) == d)
                return shorter;
        }
        return buf;
    }
    case VarType::Date:
    case VarType::String:
    case VarType::UString:
    case VarType::OleStr:
        return JsonString(value.AsString());
    default:
        return value.AsString();
    }
}

std::string TypeNameOf(const TLogixTag& tag) {
    if (const auto* udt = dynamic_cast<const TLogixUDT*>(&tag))
        return udt->Template ? udt->Template->Name : "STRUCT";
    const std::string name = logix::TypeName(tag.DataType);
    return name.empty() ? "0x" + std::to_string(tag.DataType) : name;
}

std::string JsonValues(const TLogixTag& tag) {
    std::string out = "[";
    if (const auto* udt = dynamic_cast<const TLogixUDT*>(&tag)) {
        for (std::size_t i = 0; i < udt->ItemCount(); ++i)
            out += (i ? "," : "") + JsonOfElement(*udt, udt->ItemAt(static_cast<std::ptrdiff_t>(i)), 0);
    } else if (const auto* ex = dynamic_cast<const logix::TLogixTagEx*>(&tag)) {
        for (std::size_t i = 0; i < ShownCount(*ex); ++i)
            out += (i ? "," : "") + JsonOfVariant(ex->Values[i]);
    }
    return out + "]";
}

bool IsRawAttribute(const logix::TLogixReadOutcome& outcome, std::uint16_t typeCode) {
    return typeCode == 0 && outcome.Ok() && outcome.Name.starts_with('@') &&
           dynamic_cast<const logix::TLogixSSTRING*>(outcome.Tag.get()) != nullptr;
}

namespace {

std::string RawBytes(const TLogixTag& tag, bool json) {
    const auto& ex = dynamic_cast<const logix::TLogixTagEx&>(tag);
    const std::string bytes = ex.ValueCount() > 0 ? ex.Values[0].AsString() : std::string();
    std::string out = json ? "[" : "";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char buf[8];
        const auto byte = static_cast<unsigned>(static_cast<unsigned char>(bytes[i]));
        std::snprintf(buf, sizeof buf, json ? "%u" : "%02x", byte);
        out += (i ? (json ? "," : " ") : "") + std::string(buf);
    }
    return json ? out + "]" : out;
}

} // namespace

std::string JsonLine(const logix::TLogixReadOutcome& outcome, bool raw) {
    if (!outcome.Ok())
        return "{\"name\":" + JsonString(outcome.Name) + ",\"error\":" + std::to_string(outcome.ErrorCode) +
               ",\"text\":" + JsonString(outcome.ErrorText) + "}";
    return "{\"name\":" + JsonString(outcome.Name) + ",\"type\":" +
           JsonString(raw ? "raw" : TypeNameOf(*outcome.Tag)) +
           ",\"values\":" + (raw ? RawBytes(*outcome.Tag, true) : JsonValues(*outcome.Tag)) + "}";
}

std::string TextLines(const logix::TLogixReadOutcome& outcome, bool raw) {
    if (!outcome.Ok())
        return outcome.Name + ": error " + std::to_string(outcome.ErrorCode) + " (" + outcome.ErrorText + ")";
    if (raw)
        return outcome.Name + " (raw) = " + RawBytes(*outcome.Tag, false);
    return outcome.Name + " (" + TypeNameOf(*outcome.Tag) + ") = " + JsonValues(*outcome.Tag);
}

} // namespace eiptool
