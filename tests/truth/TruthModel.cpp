#include "TruthModel.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>
#include <span>
#include <stdexcept>

namespace truth {

// ---- Expect ----------------------------------------------------------------

namespace {

std::string DoubleText(double v) {
    char text[40];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

} // namespace

std::string Expect::Show() const {
    switch (Type) {
    case Kind::Signed:
        return std::to_string(Int);
    case Kind::Unsigned:
        return std::to_string(UInt);
    case Kind::Real:
    case Kind::Double:
    case Kind::Scaled:
        return DoubleText(Number);
    case Kind::Bool:
        return Boolean ? "true" : "false";
    case Kind::Text:
    case Kind::DateTime:
        return JsonQuote(Text);
    case Kind::Array: {
        std::string out = "[";
        for (std::size_t i = 0; i < Items.size(); ++i)
            out += (i ? "," : "") + Items[i].Show();
        return out + "]";
    }
    }
    return "?";
}

std::string Mismatch(const Expect& e, const JValue& got) {
    using JK = JValue::Kind;
    switch (e.Type) {
    case Expect::Kind::Signed:
        if (const auto v = got.AsInt64(); v && *v == e.Int)
            return {};
        if (got.Type == JK::Number && got.AsDouble() == static_cast<double>(e.Int))
            return "integer written as a floating-point number";
        return "wrong value";
    case Expect::Kind::Unsigned:
        if (const auto v = got.AsUInt64(); v && *v == e.UInt)
            return {};
        if (const auto v = got.AsInt64(); v && static_cast<std::uint64_t>(*v) == e.UInt)
            return "unsigned value written signed";
        return "wrong value";
    case Expect::Kind::Real: {
        const auto d = got.AsDouble();
        if (d && *d == e.Number)
            return {};
        if (d && static_cast<float>(*d) == e.Single)
            return "REAL written as its float text, not as the double of the float";
        return "wrong value";
    }
    case Expect::Kind::Double:
        if (const auto d = got.AsDouble(); d && (*d == e.Number || (std::isnan(*d) && std::isnan(e.Number))))
            return {};
        return "wrong value";
    case Expect::Kind::Scaled: {
        const auto d = got.AsDouble();
        if (d && std::fabs(*d - e.Number) <= 1e-12 * std::max(1.0, std::fabs(e.Number)))
            return {};
        return "wrong scaled value";
    }
    case Expect::Kind::Bool:
        if (got.Type == JK::Bool && got.Boolean == e.Boolean)
            return {};
        if (got.Type == JK::Bool)
            return "wrong bit";
        return "boolean written as " + std::string(got.Type == JK::Number ? "a number" : "another kind");
    case Expect::Kind::Text:
        if (got.Type == JK::String && got.Text == e.Text)
            return {};
        return got.Type == JK::String ? "wrong text" : "text written as another kind";
    case Expect::Kind::DateTime:
        if (got.Type == JK::String &&
            (got.Text == e.Text || got.Text == e.Text + "Z" || got.Text == e.Text + "+00:00"))
            return {};
        return got.Type == JK::String ? "wrong date" : "date written as another kind";
    case Expect::Kind::Array: {
        if (got.Type != JK::Array)
            return "array member written as another kind";
        if (got.Items.size() != e.Items.size())
            return "array of " + std::to_string(got.Items.size()) + " values instead of " +
                   std::to_string(e.Items.size());
        for (std::size_t i = 0; i < e.Items.size(); ++i)
            if (std::string why = Mismatch(e.Items[i], got.Items[i]); !why.empty())
                return "element " + std::to_string(i) + ": " + why;
        return {};
    }
    }
    return "unknown expectation";
}

// ---- Atomic types ----------------------------------------------------------

namespace {

// Each atomic type's name, bits of one element (0: not a number of bits) and
// family: 's' signed and 'u' unsigned integers, 'b' bit strings, 'o' others.
struct AtomInfo {
    Atom Code;
    std::string_view Name;
    unsigned Bits;
    char Family;
};
constexpr AtomInfo kAtoms[] = {
    {Atom::Bool, "BOOL", 1, 'o'},        {Atom::Sint, "SINT", 8, 's'},
    {Atom::Int, "INT", 16, 's'},         {Atom::Dint, "DINT", 32, 's'},
    {Atom::Lint, "LINT", 64, 's'},       {Atom::Usint, "USINT", 8, 'u'},
    {Atom::Uint, "UINT", 16, 'u'},       {Atom::Udint, "UDINT", 32, 'u'},
    {Atom::Ulint, "ULINT", 64, 'u'},     {Atom::Real, "REAL", 32, 'o'},
    {Atom::Lreal, "LREAL", 64, 'o'},     {Atom::Date, "DATE", 0, 'o'},
    {Atom::Dt, "DATE_AND_TIME", 0, 'o'}, {Atom::Byte, "BYTE", 8, 'b'},
    {Atom::Word, "WORD", 16, 'b'},       {Atom::Dword, "DWORD", 32, 'b'},
    {Atom::Lword, "LWORD", 64, 'b'},     {Atom::SString, "SHORT_STRING", 0, 'o'},
    {Atom::Time, "TIME", 32, 'o'},
};

const AtomInfo& InfoOf(Atom a) {
    static constexpr AtomInfo unknown{Atom::Bool, "?", 0, 'o'};
    for (const AtomInfo& info : kAtoms)
        if (info.Code == a)
            return info;
    return unknown;
}

} // namespace

std::string_view AtomName(Atom a) {
    return InfoOf(a).Name;
}
unsigned AtomBits(Atom a) {
    return InfoOf(a).Bits;
}
bool IsBitString(Atom a) {
    return InfoOf(a).Family == 'b';
}
bool IsSignedInteger(Atom a) {
    return InfoOf(a).Family == 's';
}
bool IsUnsignedInteger(Atom a) {
    return InfoOf(a).Family == 'u';
}

namespace {

std::int64_t SignExtend(std::uint64_t raw, unsigned bits) {
    if (bits >= 64)
        return static_cast<std::int64_t>(raw);
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    raw &= mask;
    if (raw & (std::uint64_t{1} << (bits - 1)))
        raw |= ~mask;
    return static_cast<std::int64_t>(raw);
}

// Days since 1972-01-01 and milliseconds of the day as the logger's date text.
std::string DateText(std::int64_t days, std::int64_t ms) {
    using namespace std::chrono;
    const sys_days day = sys_days(year{1972} / January / 1) + std::chrono::days(days);
    const year_month_day ymd(day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                  static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
    return text;
}

// A DATE (days since 1972-01-01) or DATE_AND_TIME (milliseconds of the day in
// the low 32 bits, the day count above) as the logger's date text.
std::string DateOf(Atom a, std::uint64_t raw) {
    if (a == Atom::Date)
        return DateText(static_cast<std::int64_t>(raw & 0xFFFF), 0);
    return DateText(static_cast<std::int64_t>((raw >> 32) & 0xFFFF),
                    static_cast<std::int64_t>(raw & 0xFFFFFFFF));
}

// The value an atomic element exports, unscaled.
Expect AtomValue(Atom a, const Value& v) {
    if (IsSignedInteger(a) || a == Atom::Time)
        return Expect::Signed(SignExtend(v.Raw, AtomBits(a)));
    if (IsUnsignedInteger(a))
        return Expect::Unsigned(v.Raw);
    if (IsBitString(a)) {
        std::vector<Expect> bits;
        for (unsigned b = 0; b < AtomBits(a); ++b)
            bits.push_back(Expect::Bool(((v.Raw >> b) & 1) != 0));
        return Expect::List(std::move(bits));
    }
    switch (a) {
    case Atom::Bool:
        return Expect::Bool(v.Raw != 0);
    case Atom::Real:
        return Expect::Real(std::bit_cast<float>(static_cast<std::uint32_t>(v.Raw)));
    case Atom::Lreal:
        return Expect::Double(std::bit_cast<double>(v.Raw));
    case Atom::Date:
    case Atom::Dt:
        return Expect::Date(DateOf(a, v.Raw));
    default:
        return Expect::String(v.Text);
    }
}

// ASCII letters only, as names are compared.
std::string Upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    return out;
}
std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return out;
}

// The status bits of a TIMER, COUNTER or CONTROL (letters T, C, R), in the
// order the types declare them.
const std::vector<std::string>& StatusFields(char letter) {
    static const std::vector<std::string> timer{"EN", "TT", "DN"};
    static const std::vector<std::string> counter{"CU", "CD", "DN", "OV", "UN"};
    static const std::vector<std::string> control{"EN", "EU", "DN", "EM", "ER", "UL", "IN", "FD"};
    return letter == 'T' ? timer : letter == 'C' ? counter : control;
}

std::unique_ptr<StructType> Predefined(std::string name, StructType::Kind kind,
                                       std::vector<std::string> words, std::vector<std::string> bits) {
    auto t = std::make_unique<StructType>();
    t->Name = std::move(name);
    t->Family = kind;
    for (auto& w : words)
        t->Members.push_back({std::move(w), {Atom::Dint, nullptr}, 0, false});
    for (auto& b : bits)
        t->Members.push_back({std::move(b), {Atom::Bool, nullptr}, 0, false});
    return t;
}

} // namespace

bool StructType::StringShaped() const {
    if (Family == Kind::String)
        return true;
    if (Members.size() != 2 || Upper(Members[0].Name) != "LEN" || Upper(Members[1].Name) != "DATA")
        return false;
    const MemberDef& len = Members[0];
    const MemberDef& data = Members[1];
    return !len.Type.IsStruct() && len.Count == 0 &&
           (IsSignedInteger(len.Type.Atomic) || IsUnsignedInteger(len.Type.Atomic)) &&
           !data.Type.IsStruct() && data.Count > 0 && !data.BoolArray &&
           (data.Type.Atomic == Atom::Sint || data.Type.Atomic == Atom::Usint);
}

std::uint32_t StructType::TextCapacity() const {
    return Family == Kind::String ? 82 : Members[1].Count;
}

const StructType& TimerType() {
    static const auto t = Predefined("TIMER", StructType::Kind::Timer, {"PRE", "ACC"}, StatusFields('T'));
    return *t;
}
const StructType& CounterType() {
    static const auto t = Predefined("COUNTER", StructType::Kind::Counter, {"PRE", "ACC"}, StatusFields('C'));
    return *t;
}
const StructType& ControlType() {
    static const auto t = Predefined("CONTROL", StructType::Kind::Control, {"LEN", "POS"}, StatusFields('R'));
    return *t;
}
const StructType& StringType() {
    static const auto t = [] {
        auto s = std::make_unique<StructType>();
        s->Name = "STRING";
        s->Family = StructType::Kind::String;
        s->Members.push_back({"LEN", {Atom::Dint, nullptr}, 0, false});
        s->Members.push_back({"DATA", {Atom::Sint, nullptr}, 82, false});
        return s;
    }();
    return *t;
}

unsigned DataFile::PerElement() const {
    return Letter == 'T' || Letter == 'C' || Letter == 'R' ? 3 : 1;
}

const Tag* Device::FindTag(std::string_view name) const {
    const std::string key = Upper(name);
    for (const Tag& t : Tags)
        if (Upper(t.Name) == key)
            return &t;
    return nullptr;
}

const DataFile* Device::FindFile(char letter, unsigned number) const {
    for (const DataFile& f : Files)
        if (f.Letter == letter && f.Number == number)
            return &f;
    return nullptr;
}

// ---- Tag text --------------------------------------------------------------

namespace {

std::string AtomText(Atom a, const Value& v) {
    if (IsSignedInteger(a) || a == Atom::Time)
        return std::to_string(SignExtend(v.Raw, AtomBits(a)));
    switch (a) {
    case Atom::Bool:
        return v.Raw ? "1" : "0";
    case Atom::Real:
        return DoubleText(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(v.Raw))));
    case Atom::Lreal:
        return DoubleText(std::bit_cast<double>(v.Raw));
    case Atom::Date:
        return std::to_string(v.Raw & 0xFFFF);
    case Atom::Dt: // the tag text takes DATE_AND_TIME as text only
        return DateOf(a, v.Raw);
    case Atom::SString:
        return "\"" + v.Text + "\"";
    default: {
        char text[24];
        std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v.Raw));
        return text;
    }
    }
}

void StructTokens(const StructType& t, const Value& v, std::vector<std::string>& out) {
    if (t.StringShaped()) {
        out.push_back("\"" + v.Text + "\"");
        return;
    }
    for (std::size_t i = 0; i < t.Members.size(); ++i) {
        const MemberDef& m = t.Members[i];
        const Value& mv = v.Parts.at(i);
        if (m.Type.IsStruct()) {
            if (m.Count == 0)
                StructTokens(*m.Type.Struct, mv, out);
            else
                for (const Value& e : mv.Parts)
                    StructTokens(*m.Type.Struct, e, out);
        } else if (m.Count > 0) {
            for (const Value& e : mv.Parts)
                out.push_back(AtomText(m.BoolArray ? Atom::Bool : m.Type.Atomic, e));
        } else {
            out.push_back(AtomText(m.Type.Atomic, mv));
        }
    }
}

std::string DimsText(const std::vector<std::uint32_t>& dims) {
    if (dims.empty())
        return {};
    std::string out = "[";
    for (std::size_t i = 0; i < dims.size(); ++i)
        out += (i ? "," : "") + std::to_string(dims[i]);
    return out + "]";
}

std::string TypeName(const TypeRef& t) {
    return t.IsStruct() ? t.Struct->Name : std::string(AtomName(t.Atomic));
}

} // namespace

std::string Device::TagText() const {
    std::string out = "# Generated by the truth test's table generator.\n";
    for (const auto& t : Types) {
        out += "TYPE " + t->Name + "\n";
        for (const MemberDef& m : t->Members)
            out += "  " + (m.BoolArray ? std::string("BOOL") : TypeName(m.Type)) + " " + m.Name +
                   (m.Count > 0 ? "[" + std::to_string(m.Count) + "]" : "") + "\n";
        out += "END\n";
    }
    for (const Tag& tag : Tags) {
        std::vector<std::string> tokens;
        for (const Value& e : tag.Elements) {
            if (tag.BoolArray)
                tokens.push_back(e.Raw ? "1" : "0");
            else if (tag.Type.IsStruct())
                StructTokens(*tag.Type.Struct, e, tokens);
            else
                tokens.push_back(AtomText(tag.Type.Atomic, e));
        }
        out += (tag.BoolArray ? std::string("BOOL") : TypeName(tag.Type)) + " " + tag.Name +
               DimsText(tag.Dims) + " =";
        for (const std::string& token : tokens)
            out += " " + token;
        out += "\n";
    }
    for (const DataFile& f : Files) {
        out += std::string(1, f.Letter) + std::to_string(f.Number) + "[" +
               std::to_string(f.Words.size() / f.PerElement()) + "] =";
        for (const std::uint32_t w : f.Words) {
            if (f.Letter == 'F')
                out += " " + DoubleText(static_cast<double>(std::bit_cast<float>(w)));
            else if (f.Letter == 'L')
                out += " " + std::to_string(static_cast<std::int32_t>(w));
            else
                out += " " + std::to_string(static_cast<std::int16_t>(w));
        }
        out += "\n";
    }
    return out;
}

// ---- Addresses -------------------------------------------------------------

namespace {

// The pieces of text between separators, trimmed of the characters `blank`
// takes; empty ones dropped.
template <class Blank>
std::vector<std::string> Pieces(std::string_view text, std::string_view separators, Blank blank) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
        std::string_view piece = text.substr(start, end - start);
        while (!piece.empty() && blank(piece.front()))
            piece.remove_prefix(1);
        while (!piece.empty() && blank(piece.back()))
            piece.remove_suffix(1);
        if (!piece.empty())
            out.emplace_back(piece);
        start = end + 1;
    }
    return out;
}

} // namespace

std::vector<std::string> SplitAddresses(std::string_view text) {
    return Pieces(text, ";", [](char c) { return c == ' ' || c == '\t'; });
}

std::string DerivedName(std::string_view address) {
    static constexpr std::string_view removed = "\"'*+/:;<=>?[]\\|";
    std::string out;
    for (const char c : address)
        if (removed.find(c) == std::string_view::npos)
            out += c;
    const std::string head = Lower(std::string_view(out).substr(0, 3));
    for (const char* reserved : {"com", "lpt", "con", "aux", "prn", "nul"})
        if (head == reserved)
            return "_" + out;
    return out;
}

namespace {

std::vector<std::string> SplitNames(std::string_view text) {
    return Pieces(text, ";\r\n", [](char c) { return static_cast<unsigned char>(c) < 33; });
}

std::optional<std::uint32_t> Whole(std::string_view s) {
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return v;
}

// The bits a bit part selects of an element of `width` bits.
std::vector<unsigned> BitRange(const std::optional<std::string>& part, unsigned width) {
    std::vector<unsigned> all(width);
    for (unsigned b = 0; b < width; ++b)
        all[b] = b;
    if (!part || part->empty())
        return all;
    const auto colon = part->find(':');
    const auto first = Whole(std::string_view(*part).substr(0, colon));
    if (!first || *first >= width)
        return all;
    unsigned last = *first;
    if (colon != std::string::npos) {
        const auto second = Whole(std::string_view(*part).substr(colon + 1));
        last = second && *second < width ? *second : width - 1;
        if (last < *first)
            last = *first;
    }
    std::vector<unsigned> out;
    for (unsigned b = *first; b <= last; ++b)
        out.push_back(b);
    return out;
}

struct Step {
    std::string Member; // empty for the tag itself
    std::vector<std::uint32_t> Index;
};

struct Symbolic {
    std::string TagName;
    std::vector<Step> Steps;
    std::optional<std::string> BitPart;
};

bool IdentChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Tag{[i,j]}{.Member{[i]}}[#bits | .a[:b] after "]"]; nothing when it does not parse.
std::optional<Symbolic> ParseSymbolic(std::string_view s) {
    Symbolic out;
    std::size_t at = 0;
    auto ident = [&]() -> std::optional<std::string> {
        const std::size_t from = at;
        while (at < s.size() && IdentChar(s[at]))
            ++at;
        if (at == from || (s[from] >= '0' && s[from] <= '9'))
            return std::nullopt;
        return std::string(s.substr(from, at - from));
    };
    auto index = [&](std::vector<std::uint32_t>& into) {
        while (at < s.size() && s[at] == '[') {
            const auto close = s.find(']', at);
            if (close == std::string_view::npos)
                return false;
            std::string_view inside = s.substr(at + 1, close - at - 1);
            std::size_t p = 0;
            for (;;) {
                const auto comma = inside.find(',', p);
                const auto v = Whole(inside.substr(p, comma == std::string_view::npos ? comma : comma - p));
                if (!v)
                    return false;
                into.push_back(*v);
                if (comma == std::string_view::npos)
                    break;
                p = comma + 1;
            }
            at = close + 1;
        }
        return true;
    };
    if (Upper(s.substr(0, 8)) == "PROGRAM:") {
        at = 8;
        const auto program = ident();
        if (!program || at >= s.size() || s[at] != '.')
            return std::nullopt;
        ++at;
        const auto name = ident();
        if (!name)
            return std::nullopt;
        out.TagName = "Program:" + *program + "." + *name;
    } else {
        const auto name = ident();
        if (!name)
            return std::nullopt;
        out.TagName = *name;
    }
    Step first;
    if (!index(first.Index))
        return std::nullopt;
    out.Steps.push_back(first);
    while (at < s.size()) {
        if (s[at] == '#') {
            out.BitPart = std::string(s.substr(at + 1));
            return out;
        }
        if (s[at] != '.')
            return std::nullopt;
        ++at;
        // After "]", ".digits[:digits]" is a bit part.
        if (!out.Steps.back().Index.empty() && at < s.size() && s[at] >= '0' && s[at] <= '9') {
            const std::string_view rest = s.substr(at);
            const auto colon = rest.find(':');
            if (!Whole(rest.substr(0, colon)) ||
                (colon != std::string_view::npos && !Whole(rest.substr(colon + 1))))
                return std::nullopt;
            out.BitPart = std::string(rest);
            return out;
        }
        Step step;
        const auto member = ident();
        if (!member)
            return std::nullopt;
        step.Member = *member;
        if (!index(step.Index))
            return std::nullopt;
        out.Steps.push_back(step);
    }
    return out;
}

// What a read names: elements of one type from a position to the end of the
// innermost array (or the one element named).
struct Target {
    TypeRef Type;
    std::span<const Value> Elements; // into the device, or into Words
    std::vector<Value> Words;        // a whole BOOL array's words
    bool SingleBit = false;          // a BOOL array element: Elements[0].Raw is the bit
};

std::vector<Value> BitsToWords(std::span<const Value> bits) {
    std::vector<Value> words((bits.size() + 31) / 32);
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i].Raw)
            words[i / 32].Raw |= std::uint64_t{1} << (i % 32);
    return words;
}

std::optional<Target> Resolve(const Device& device, const Symbolic& a) {
    const Tag* tag = device.FindTag(a.TagName);
    if (tag == nullptr)
        return std::nullopt;
    Target t;
    t.Type = tag->Type;
    std::vector<std::uint32_t> dims = tag->Dims;
    bool boolArray = tag->BoolArray;
    t.Elements = tag->Elements;
    for (std::size_t s = 0; s < a.Steps.size(); ++s) {
        const Step& step = a.Steps[s];
        if (s > 0) {
            if (!t.Type.IsStruct() || !dims.empty() || boolArray || t.SingleBit)
                return std::nullopt;
            const StructType& st = *t.Type.Struct;
            std::size_t m = 0;
            while (m < st.Members.size() && Upper(st.Members[m].Name) != Upper(step.Member))
                ++m;
            if (m == st.Members.size() || st.StringShaped())
                return std::nullopt;
            const MemberDef& def = st.Members[m];
            const Value& mv = t.Elements[0].Parts.at(m);
            t.Type = def.Type;
            boolArray = def.BoolArray;
            dims.clear();
            if (def.Count > 0) {
                dims.push_back(def.Count);
                t.Elements = mv.Parts;
            } else {
                t.Elements = std::span<const Value>(&mv, 1);
            }
        }
        if (step.Index.empty())
            continue;
        if (dims.empty())
            return std::nullopt;
        if (boolArray) {
            if (step.Index.size() != 1 || step.Index[0] >= t.Elements.size())
                return std::nullopt;
            t.Elements = t.Elements.subspan(step.Index[0], 1);
            t.SingleBit = true;
            t.Type = {Atom::Bool, nullptr};
            boolArray = false;
            dims.clear();
            continue;
        }
        if (step.Index.size() != dims.size())
            return std::nullopt;
        std::size_t flat = 0;
        for (std::size_t d = 0; d < dims.size(); ++d) {
            if (step.Index[d] >= dims[d])
                return std::nullopt;
            flat = flat * dims[d] + step.Index[d];
        }
        t.Elements = t.Elements.subspan(flat);
        dims.clear();
    }
    if (boolArray) {
        // A whole BOOL array reads as its DWORD words.
        t.Words = BitsToWords(t.Elements);
        t.Elements = t.Words;
        t.Type = {Atom::Dword, nullptr};
    }
    // Moving the words keeps their storage, so Elements stays valid.
    return t;
}

// Every value below a structure element, with full dotted names.
void Flatten(const std::string& prefix, const StructType& type, const Value& v,
             std::vector<std::pair<std::string, Expect>>& out) {
    for (std::size_t i = 0; i < type.Members.size(); ++i) {
        const MemberDef& m = type.Members[i];
        const Value& mv = v.Parts.at(i);
        const std::string name = prefix + "." + m.Name;
        if (m.Type.IsStruct()) {
            const StructType& nested = *m.Type.Struct;
            auto one = [&](const std::string& n, const Value& e) {
                if (nested.StringShaped())
                    out.emplace_back(n, Expect::String(e.Text));
                else
                    Flatten(n, nested, e, out);
            };
            if (m.Count == 0) {
                one(name, mv);
            } else {
                for (std::size_t e = 0; e < mv.Parts.size(); ++e)
                    one(name + "[" + std::to_string(e) + "]", mv.Parts[e]);
            }
            continue;
        }
        if (m.BoolArray) {
            std::vector<Expect> bits;
            for (const Value& w : BitsToWords(mv.Parts))
                for (unsigned b = 0; b < 32; ++b)
                    bits.push_back(Expect::Bool(((w.Raw >> b) & 1) != 0));
            out.emplace_back(name, Expect::List(std::move(bits)));
            continue;
        }
        if (IsBitString(m.Type.Atomic)) {
            std::vector<Expect> bits;
            for (const Value& e : m.Count > 0 ? mv.Parts : std::vector<Value>{mv})
                for (const Expect& b : AtomValue(m.Type.Atomic, e).Items)
                    bits.push_back(b);
            out.emplace_back(name, Expect::List(std::move(bits)));
            continue;
        }
        if (m.Count > 0) {
            std::vector<Expect> items;
            for (const Value& e : mv.Parts)
                items.push_back(AtomValue(m.Type.Atomic, e));
            out.emplace_back(name, Expect::List(std::move(items)));
            continue;
        }
        out.emplace_back(name, AtomValue(m.Type.Atomic, mv));
    }
}

// How one address's elements are named and valued.
struct Naming {
    std::vector<std::string> ElementNames; // one per element read
    std::string BitSeparator;              // between an element's name and a bit number
    std::optional<std::string> BitPart;
    std::uint16_t DataType = 0;
    double Scale = 1;
    Reader Who = Reader::Engine;
};

Expect ScaleOf(const Expect& e, double scale) {
    switch (e.Type) {
    case Expect::Kind::Signed:
        return Expect::ScaledValue(static_cast<double>(e.Int) * scale);
    case Expect::Kind::Unsigned:
        return Expect::ScaledValue(static_cast<double>(e.UInt) * scale);
    case Expect::Kind::Real:
    case Expect::Kind::Double:
        return Expect::ScaledValue(e.Number * scale);
    default:
        return e;
    }
}

void PredefinedMembers(const std::string& name, const StructType& type, const Value& v,
                       std::vector<std::pair<std::string, Expect>>& out) {
    for (std::size_t i = 0; i < type.Members.size(); ++i)
        out.emplace_back(name + "." + type.Members[i].Name,
                         AtomValue(type.Members[i].Type.Atomic, v.Parts.at(i)));
}

void ExportElements(const Target& t, const Naming& n, std::vector<std::pair<std::string, Expect>>& out) {
    for (std::size_t k = 0; k < n.ElementNames.size(); ++k) {
        const std::string& name = n.ElementNames[k];
        const Value& v = t.Elements[k];
        if (t.SingleBit) {
            out.emplace_back(name, Expect::Bool(v.Raw != 0));
            continue;
        }
        if (t.Type.IsStruct()) {
            const StructType& st = *t.Type.Struct;
            if (st.StringShaped()) {
                out.emplace_back(name, Expect::String(v.Text));
            } else if (st.Family == StructType::Kind::User) {
                Flatten(name, st, v, out);
            } else if (n.Who == Reader::Tool) {
                PredefinedMembers(name, st, v, out);
            } else {
                // TIMER and COUNTER give ACC, CONTROL its POS (the second word).
                out.emplace_back(name, AtomValue(Atom::Dint, v.Parts.at(1)));
            }
            continue;
        }
        const Atom a = t.Type.Atomic;
        const bool bits = IsBitString(a) || (n.DataType == 0xC1 && IsSignedInteger(a));
        if (bits) {
            for (const unsigned b : BitRange(n.BitPart, AtomBits(a)))
                out.emplace_back(name + n.BitSeparator + std::to_string(b),
                                 Expect::Bool(((v.Raw >> b) & 1) != 0));
            continue;
        }
        const Expect e = AtomValue(a, v);
        const bool numeric =
            IsSignedInteger(a) || IsUnsignedInteger(a) || a == Atom::Real || a == Atom::Lreal;
        out.emplace_back(name, numeric && n.Scale != 1 ? ScaleOf(e, n.Scale) : e);
    }
}

// ---- PCCC ------------------------------------------------------------------

struct PcccAddress {
    char Letter = 'N';
    unsigned File = 0;
    unsigned Element = 0;
    std::optional<unsigned> Bit;      // "/n"
    std::optional<std::string> Field; // ".PRE", ".DN", ...
};

std::optional<PcccAddress> ParsePccc(std::string_view s) {
    PcccAddress a;
    if (s.empty() || std::string_view("NFBLTCR").find(s[0]) == std::string_view::npos)
        return std::nullopt;
    a.Letter = s[0];
    std::size_t at = 1;
    auto number = [&]() -> std::optional<unsigned> {
        const std::size_t from = at;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9')
            ++at;
        return Whole(s.substr(from, at - from));
    };
    const auto file = number();
    if (!file || *file > 255)
        return std::nullopt;
    a.File = *file;
    bool element = false;
    if (at < s.size() && s[at] == ':') {
        ++at;
        const auto e = number();
        if (!e)
            return std::nullopt;
        a.Element = *e;
        element = true;
    }
    if (at < s.size() && s[at] == '/') {
        ++at;
        const auto b = number();
        if (!b)
            return std::nullopt;
        a.Bit = *b;
    } else if (at < s.size() && s[at] == '.') {
        a.Field = Upper(s.substr(at + 1));
        at = s.size();
    }
    if (at != s.size() || (!element && !a.Bit))
        return std::nullopt;
    return a;
}

// Bit of a T/C/R control word holding a status, by name: the status names
// stand from bit 15 down.
std::optional<unsigned> StatusBit(char letter, const std::string& field) {
    const std::vector<std::string>& fields = StatusFields(letter);
    const auto it = std::find(fields.begin(), fields.end(), field);
    if (it == fields.end())
        return std::nullopt;
    return 15 - static_cast<unsigned>(it - fields.begin());
}

// The values of a PCCC address read with `count` elements; nothing when the
// read must fail.
std::optional<std::vector<std::pair<std::string, Expect>>>
PcccValues(const Device& device, const PcccAddress& a, const std::vector<std::string>& names, Reader who) {
    const DataFile* f = device.FindFile(a.Letter, a.File);
    if (f == nullptr)
        return std::nullopt;
    const unsigned per = f->PerElement();
    const std::size_t elements = f->Words.size() / per;
    std::vector<std::pair<std::string, Expect>> out;
    auto word = [&](std::size_t e, unsigned w) { return f->Words.at(e * per + w); };
    if (a.Bit) {
        // B3/17: bit 17 of the file counted from the element; N7:0/3: bit 3 of N7:0.
        const std::size_t e = a.Element + *a.Bit / 16;
        if (names.size() != 1 || e >= elements || per != 1 || a.Letter == 'F' || a.Letter == 'L')
            return std::nullopt;
        out.emplace_back(names[0], Expect::Bool(((word(e, 0) >> (*a.Bit % 16)) & 1) != 0));
        return out;
    }
    if (a.Element + names.size() > elements)
        return std::nullopt;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::size_t e = a.Element + k;
        // N signed and B unsigned words, F floats, L 32-bit values: no sub-elements.
        const auto plain = [w = word(e, 0)](char letter) -> std::optional<Expect> {
            switch (letter) {
            case 'N':
                return Expect::Signed(static_cast<std::int16_t>(w));
            case 'B':
                return Expect::Unsigned(w & 0xFFFF);
            case 'F':
                return Expect::Real(std::bit_cast<float>(w));
            case 'L':
                return Expect::Signed(static_cast<std::int32_t>(w));
            default:
                return std::nullopt;
            }
        }(a.Letter);
        if (plain) {
            if (a.Field)
                return std::nullopt;
            out.emplace_back(names[k], *plain);
        } else {
            const std::string first = a.Letter == 'R' ? "LEN" : "PRE";
            const std::string second = a.Letter == 'R' ? "POS" : "ACC";
            auto field = [&](const std::string& which) -> std::optional<Expect> {
                if (which == first)
                    return Expect::Signed(static_cast<std::int16_t>(word(e, 1)));
                if (which == second)
                    return Expect::Signed(static_cast<std::int16_t>(word(e, 2)));
                if (const auto bit = StatusBit(a.Letter, which))
                    return Expect::Bool(((word(e, 0) >> *bit) & 1) != 0);
                return std::nullopt;
            };
            if (a.Field) {
                const auto v = field(*a.Field);
                if (!v)
                    return std::nullopt;
                out.emplace_back(names[k], *v);
            } else if (who == Reader::Tool) {
                out.emplace_back(names[k] + "." + first, *field(first));
                out.emplace_back(names[k] + "." + second, *field(second));
                for (const std::string& s : StatusFields(a.Letter))
                    out.emplace_back(names[k] + "." + s, *field(s));
            } else {
                out.emplace_back(names[k], *field(second));
            }
        }
    }
    return out;
}

// ---- Attributes ------------------------------------------------------------

struct Attribute {
    std::uint32_t Class = 0, Instance = 0, Id = 0;
};

// "@c/i/a": true with the parts; "@c/i/a/x" and other forms with two or more
// "/" that are not three numbers: an invalid address.
std::optional<Attribute> ParseAttribute(std::string_view s) {
    std::vector<std::uint32_t> parts;
    std::size_t p = 1;
    for (;;) {
        const auto slash = s.find('/', p);
        const auto v = Whole(s.substr(p, slash == std::string_view::npos ? slash : slash - p));
        if (!v)
            return std::nullopt;
        parts.push_back(*v);
        if (slash == std::string_view::npos)
            break;
        p = slash + 1;
    }
    if (parts.size() != 3)
        return std::nullopt;
    return Attribute{parts[0], parts[1], parts[2]};
}

// The Identity object's attributes as the device answers them: its bytes.
std::optional<std::string> IdentityBytes(const Device& device, const Attribute& a) {
    if (a.Class != 1 || a.Instance != 1)
        return std::nullopt;
    std::string b;
    auto le = [&](std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            b += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    // The simulated identity of each personality (Logix, Micro800, MicroLogix):
    // vendor 0x04D2, device type 0x0E, product code, status 0x0060, serial number.
    struct Number {
        std::uint32_t Id;
        int Size;
        std::uint64_t Value[3];
    };
    static constexpr Number kNumbers[] = {{1, 2, {0x04D2, 0x04D2, 0x04D2}},
                                          {2, 2, {0x000E, 0x000E, 0x000E}},
                                          {3, 2, {0x005A, 0x00BC, 0x005F}},
                                          {5, 2, {0x0060, 0x0060, 0x0060}},
                                          {6, 4, {0x00C0FFEE, 0x00800800, 0x00140014}}};
    if (a.Id == 7)
        return static_cast<char>(device.ProductName.size()) + device.ProductName;
    for (const Number& n : kNumbers)
        if (n.Id == a.Id) {
            le(n.Value[static_cast<std::size_t>(device.Personality)], n.Size);
            return b;
        }
    return std::nullopt;
}

std::optional<Expect> AttributeValue(const std::string& bytes, std::uint16_t type) {
    // A UINT, UDINT, INT or DINT: exactly its bytes, little-endian.
    const auto number = [&](std::size_t n, bool isSigned) -> std::optional<Expect> {
        if (bytes.size() != n)
            return std::nullopt;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
        return isSigned ? Expect::Signed(SignExtend(v, 8 * static_cast<unsigned>(n))) : Expect::Unsigned(v);
    };
    switch (type) {
    case 0:
    case 0xD0:
        // Without a type the reply data is taken as text, as it came.
        return Expect::String(bytes);
    case 0xDA:
        return Expect::String(bytes.substr(1, static_cast<unsigned char>(bytes[0])));
    case 0xC7:
    case 0xC8:
        return number(type == 0xC7 ? 2 : 4, false);
    case 0xC3:
    case 0xC4:
        return number(type == 0xC3 ? 2 : 4, true);
    default:
        return std::nullopt;
    }
}

// ---- Unique names ----------------------------------------------------------

std::string KindOf(const Symbolic& a, const Target& t, std::size_t count, std::uint16_t dataType) {
    std::string kind;
    if (t.SingleBit) {
        kind = "BOOL array element";
    } else if (t.Type.IsStruct()) {
        const StructType& st = *t.Type.Struct;
        kind = st.StringShaped() ? (st.Family == StructType::Kind::String ? "STRING" : "LEN+DATA string")
               : st.Family == StructType::Kind::User ? "structure"
                                                     : "TIMER/COUNTER/CONTROL";
    } else if (IsBitString(t.Type.Atomic)) {
        kind = "bit string";
    } else if (dataType == 0xC1 && IsSignedInteger(t.Type.Atomic)) {
        kind = "integer as bits";
    } else {
        kind = std::string(AtomName(t.Type.Atomic));
    }
    if (a.BitPart)
        kind += " with a bit part";
    if (count > 1)
        kind = "array of " + kind;
    if (a.Steps.size() > 1)
        kind = "member: " + kind;
    return kind;
}

} // namespace

std::map<std::string, const Expect*> ItemTruth::ByName() const {
    std::map<std::string, const Expect*> out;
    for (const Outcome& o : Addresses)
        for (const auto& [name, value] : o.Values)
            out.emplace(name, &value);
    return out;
}

SourceBuilder::SourceBuilder(const Device& device, Reader reader) : device_(device), reader_(reader) {}

ItemTruth SourceBuilder::Add(const Item& item) {
    const Device& device = device_;
    const Reader reader = reader_;
    // Committed only when the whole item is sound.
    std::set<std::string> seen = seen_;
    std::set<std::string> exported = exported_;
    {
        ItemTruth truth;
        truth.Source = &item;
        const std::vector<std::string> addresses = SplitAddresses(item.Address);
        std::vector<std::string> names;
        if (!item.Names)
            names = {"ITEM"};
        else
            names = SplitNames(*item.Names);
        const bool single = addresses.size() == 1;
        const bool numbered = item.Number > 1;
        const std::size_t count = single ? item.Number : 1;
        for (std::size_t j = 0; j < addresses.size(); ++j) {
            const std::string& address = addresses[j];
            std::string stem = j < names.size() ? names[j] : DerivedName(address);
            if (stem.empty())
                stem = "VALUE";
            // The names this address declares, and how they are made unique.
            auto declared = [&](const std::string& s, bool setOff) {
                std::vector<std::string> out;
                if (!numbered)
                    out.push_back(s);
                else if (!single)
                    out.push_back(s + "1");
                else
                    for (std::size_t k = 1; k <= count; ++k)
                        out.push_back(s + (setOff ? "_" : "") + std::to_string(k));
                return out;
            };
            auto collides = [&](const std::vector<std::string>& list) {
                return std::any_of(list.begin(), list.end(),
                                   [&](const std::string& n) { return seen.count(Lower(n)); });
            };
            std::vector<std::string> elementNames = declared(stem, false);
            if (collides(elementNames)) {
                if (numbered && single && !collides(declared(stem, true))) {
                    elementNames = declared(stem, true);
                } else if (numbered) {
                    throw std::logic_error("item " + item.Caption + ": a numbered name repeated twice over");
                } else {
                    for (int m = 2;; ++m) {
                        const std::vector<std::string> candidate{stem + "_" + std::to_string(m)};
                        if (!collides(candidate)) {
                            elementNames = candidate;
                            break;
                        }
                    }
                }
            }
            for (const std::string& n : elementNames)
                seen.insert(Lower(n));

            Outcome outcome;
            outcome.Address = address;
            Naming naming;
            naming.ElementNames = elementNames;
            naming.BitSeparator = item.Number >= 10 ? "_" : "";
            naming.DataType = item.DataType;
            naming.Scale = item.Scale;
            naming.Who = reader;
            outcome.Kind = "address that must fail";
            if (device.Personality == Device::Family::MicroLogix) {
                if (const auto a = ParsePccc(address)) {
                    outcome.Kind = std::string("PCCC ") + a->Letter +
                                   (a->Bit     ? " bit"
                                    : a->Field ? " sub-element"
                                               : "") +
                                   (count > 1 ? " elements" : "");
                    if (auto values = PcccValues(device, *a, elementNames, reader)) {
                        outcome.Ok = true;
                        outcome.Values = std::move(*values);
                        if (item.Scale != 1)
                            for (auto& [n, v] : outcome.Values)
                                v = ScaleOf(v, item.Scale);
                    } else {
                        outcome.Kind = "address that must fail";
                    }
                } else {
                    outcome.Kind = "invalid address";
                }
            } else if (address.front() == '@' && std::count(address.begin(), address.end(), '/') >= 2) {
                outcome.Kind = "invalid address";
                if (const auto a = ParseAttribute(address)) {
                    outcome.Kind = "attribute";
                    const auto bytes = IdentityBytes(device, *a);
                    const auto value = bytes ? AttributeValue(*bytes, item.DataType) : std::nullopt;
                    if (value && count == 1) {
                        outcome.Ok = true;
                        outcome.Values.emplace_back(elementNames[0], *value);
                    } else {
                        outcome.Kind = "address that must fail";
                    }
                }
            } else if (const auto sym = ParseSymbolic(address)) {
                naming.BitPart = sym->BitPart;
                if (const auto target = Resolve(device, *sym)) {
                    outcome.Kind = KindOf(*sym, *target, count, item.DataType);
                    if (target->SingleBit && count > 1)
                        throw std::logic_error("item " + item.Caption + ": several elements from one BOOL");
                    if (count <= target->Elements.size()) {
                        outcome.Ok = true;
                        ExportElements(*target, naming, outcome.Values);
                    } else {
                        outcome.Kind = "address that must fail";
                    }
                }
            } else {
                outcome.Kind = "invalid address";
            }
            for (const auto& [n, v] : outcome.Values)
                if (!exported.insert(Lower(n)).second)
                    throw std::logic_error("item " + item.Caption + ": name " + n +
                                           " would repeat within the data source");
            truth.Addresses.push_back(std::move(outcome));
        }
        seen_ = std::move(seen);
        exported_ = std::move(exported);
        return truth;
    }
}

std::vector<ItemTruth> ComputeTruth(const Device& device, const std::vector<Item>& items, Reader reader) {
    SourceBuilder builder(device, reader);
    std::vector<ItemTruth> result;
    for (const Item& item : items)
        result.push_back(builder.Add(item));
    return result;
}

// ---- Request list ----------------------------------------------------------

namespace {

std::string XmlText(std::string_view s) {
    std::string out;
    for (const char c : s)
        out += c == '&'   ? "&amp;"
               : c == '<' ? "&lt;"
               : c == '>' ? "&gt;"
               : c == '"' ? "&quot;"
                          : std::string(1, c);
    return out;
}

} // namespace

std::string RequestListXml(const std::vector<Item>& items, unsigned pollMs, unsigned timeoutMs) {
    std::string out = "<?xml version=\"1.0\"?>\n<RequestList>\n <MODBUSRTUQUERY>\n";
    for (const Item& item : items) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "T%02X", static_cast<unsigned>(item.DataType));
        out += "  <Request caption=\"" + XmlText(item.Caption) + "\">\n";
        out += "   <Enabled>1</Enabled>\n";
        out += "   <Device>" + XmlText(item.Route) + "</Device>\n";
        out += "   <Address>" + XmlText(item.Address) + "</Address>\n";
        out += "   <Number>" + std::to_string(item.Number) + "</Number>\n";
        out += "   <DataType>" + std::string(hex) + "</DataType>\n";
        out += "   <Timeout>" + std::to_string(timeoutMs) + "</Timeout>\n";
        out += "   <RequestMethod>\n    <MethodOnce>0</MethodOnce>\n    <MethodPoll check=\"2\">\n";
        out += "     <PollInterval>" + std::to_string(pollMs) + "</PollInterval>\n";
        out += "     <PollUnits>MS</PollUnits>\n    </MethodPoll>\n   </RequestMethod>\n";
        if (item.Names)
            out += "   <Name>" + XmlText(*item.Names) + "</Name>\n";
        out += "   <Default>0</Default>\n";
        out += "   <Scale>" + DoubleText(item.Scale) + "</Scale>\n";
        out += "  </Request>\n";
    }
    out += " </MODBUSRTUQUERY>\n</RequestList>\n";
    return out;
}

} // namespace truth
