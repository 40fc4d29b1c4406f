#include "TagText.h"

#include "logix/Logix_Struct.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace eiptool {

using logix::TLogixTag;
using logix::TLogixUDT;
using qor::Variant;
using qor::VarType;

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when none starts there.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t n = 0;
    unsigned min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    unsigned cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        default:
            break;
        }
        if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
            out += buf;
        } else if (u < 0x80) {
            out += c;
        } else if (const std::size_t n = Utf8Length(text, i)) {
            out.append(text.substr(i, n));
            i += n - 1;
        } else if (u < 0xA0) {
            // A controller's text is in its own code page; a byte that starts
            // no UTF-8 sequence is taken as Latin-1 (C1 controls escaped).
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
            out += buf;
        } else {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
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
    case VarType::Date: {
        // As the logger writes dates (a controller's dates carry no offset).
        const std::string text = qor::IsoDateTimeText(value.AsDateTime());
        return text.empty() ? "null" : JsonString(text);
    }
    case VarType::String:
    case VarType::UString:
    case VarType::OleStr:
        return JsonString(value.AsString());
    default:
        return value.AsString();
    }
}

std::string TypeNameOf(const TLogixTag& tag) {
    // The controller calls its string type ASCIISTRING82; users know STRING.
    if (tag.LogixType() == logix::TLogixType::STRING)
        return "STRING";
    if (const auto* udt = dynamic_cast<const TLogixUDT*>(&tag))
        return udt->Template ? udt->Template->Name : "STRUCT";
    const std::string name = logix::TypeName(tag.DataType);
    return name.empty() ? "0x" + std::to_string(tag.DataType) : name;
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

std::string JsonLine(const logix::TLogixReadOutcome& outcome, const logix::TLogixNaming& naming, bool raw) {
    if (!outcome.Ok())
        return "{\"name\":" + JsonString(outcome.Name) + ",\"error\":" + std::to_string(outcome.ErrorCode) +
               ",\"text\":" + JsonString(outcome.ErrorText) + "}";
    std::string line = "{\"name\":" + JsonString(outcome.Name) + ",\"type\":" +
                       JsonString(raw ? "raw" : TypeNameOf(*outcome.Tag)) + ",\"values\":";
    line += "{";
    bool first = true;
    for (const logix::TLogixValue& value : logix::FlattenTag(*outcome.Tag, naming)) {
        line += (first ? "" : ",") + JsonString(value.Name) + ":" + JsonOfVariant(value.Value);
        first = false;
    }
    // The raw reply of an attribute read without a type is a text value, as
    // the logger gives it; its bytes beside it, since they are rarely text.
    return line + "}" + (raw ? ",\"bytes\":" + RawBytes(*outcome.Tag, true) : std::string()) + "}";
}

std::string TextLines(const logix::TLogixReadOutcome& outcome, const logix::TLogixNaming& naming, bool raw) {
    if (!outcome.Ok())
        return outcome.Name + ": error " + std::to_string(outcome.ErrorCode) + " (" + outcome.ErrorText + ")";
    const std::string head = outcome.Name + " (" + (raw ? std::string("raw") : TypeNameOf(*outcome.Tag)) + ")";
    if (raw)
        return head + " = " + RawBytes(*outcome.Tag, false);
    const auto values = logix::FlattenTag(*outcome.Tag, naming);
    if (values.size() == 1)
        return head + " = " + JsonOfVariant(values.front().Value);
    std::string text = head;
    for (const logix::TLogixValue& value : values)
        text += "\n  " + value.Name + " = " + JsonOfVariant(value.Value);
    return text;
}

} // namespace eiptool
