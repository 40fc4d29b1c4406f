#include "common/Variant.h"

#include <ctime>

#include "common/qorStrUtils.h"
#include "platform/Clock.h"
#include "platform/Text.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace qor {

namespace {

using Storage = std::variant<std::monostate, std::int64_t, std::uint64_t, double, bool, std::string,
                             std::vector<Variant>>;

bool IsStringType(VarType t) { return t == VarType::String || t == VarType::UString || t == VarType::OleStr; }

bool ParseFloatText(std::string_view s, double& out) {
    s = Trim(s);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    if (s.empty())
        return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && p == s.data() + s.size() && std::isfinite(out);
}

std::string FormatFloat(double v, int digits) {
    if (std::isnan(v))
        return "NAN";
    if (std::isinf(v))
        return v > 0 ? "INF" : "-INF";
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    return text;
}

std::string FormatDateTime(double days) {
    const TDateTimeParts p = DecodeDateTime(days);
    char text[40];
    if (p.Hour == 0 && p.Minute == 0 && p.Second == 0 && p.Millisecond == 0)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
    else if (p.Millisecond == 0)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour,
                      p.Minute, p.Second);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour,
                      p.Minute, p.Second, p.Millisecond);
    return text;
}

std::string FormatCurrency(std::int64_t scaled) {
    const bool negative = scaled < 0;
    // The magnitude of INT64_MIN does not fit in int64; go through uint64.
    const std::uint64_t m = negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    std::string text = (negative ? "-" : "") + std::to_string(m / 10000);
    std::uint64_t frac = m % 10000;
    if (frac != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(frac));
        std::string f = digits;
        while (f.back() == '0')
            f.pop_back();
        text += "." + f;
    }
    return text;
}

// Rounds half to even, as the OLE conversions do.
bool RoundToInt64(double v, std::int64_t& out) {
    if (!std::isfinite(v))
        return false;
    const double r = std::nearbyint(v);
    if (r < -9223372036854775808.0 || r >= 9223372036854775808.0)
        return false;
    out = static_cast<std::int64_t>(r);
    return true;
}

} // namespace

bool IsIntegerType(VarType t) {
    switch (t) {
    case VarType::Smallint:
    case VarType::Integer:
    case VarType::ShortInt:
    case VarType::Byte:
    case VarType::Word:
    case VarType::LongWord:
    case VarType::Int64:
    case VarType::UInt64:
        return true;
    default:
        return false;
    }
}

namespace {

// Integer text (platform::ParseIntegerText) with the blanks around it ignored.
// Integers that need the full unsigned range are returned in u with
// isUnsigned set.
bool ParseIntegerText(std::string_view s, std::int64_t& out, std::uint64_t& u, bool& isUnsigned) {
    const auto parsed = platform::ParseIntegerText(Trim(s));
    if (!parsed)
        return false;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    isUnsigned = false;
    if (parsed->Negative) {
        if (parsed->Magnitude > kMax + 1)
            return false;
        out = parsed->Magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                            : -static_cast<std::int64_t>(parsed->Magnitude);
        return true;
    }
    if (parsed->Magnitude > kMax) {
        isUnsigned = true;
        u = parsed->Magnitude;
        return true;
    }
    out = static_cast<std::int64_t>(parsed->Magnitude);
    return true;
}

} // namespace


std::string VarTypeName(VarType t) {
    if (VarTypeCode(t) & VarTypeCode(VarType::Array))
        return "Array of " + VarTypeName(VarElementType(t));
    switch (VarElementType(t)) {
    case VarType::Empty:
        return "Empty";
    case VarType::Null:
        return "Null";
    case VarType::Smallint:
        return "Smallint";
    case VarType::Integer:
        return "Integer";
    case VarType::Single:
        return "Single";
    case VarType::Double:
        return "Double";
    case VarType::Currency:
        return "Currency";
    case VarType::Date:
        return "Date";
    case VarType::OleStr:
        return "OleStr";
    case VarType::Boolean:
        return "Boolean";
    case VarType::Variant:
        return "Variant";
    case VarType::ShortInt:
        return "ShortInt";
    case VarType::Byte:
        return "Byte";
    case VarType::Word:
        return "Word";
    case VarType::LongWord:
        return "LongWord";
    case VarType::Int64:
        return "Int64";
    case VarType::UInt64:
        return "UInt64";
    case VarType::String:
        return "String";
    case VarType::UString:
        return "UnicodeString";
    default:
        return "Unknown";
    }
}

Variant::Variant(const std::u16string& v) : type_(VarType::UString), value_(Utf16ToUtf8(v)) {}

Variant Variant::MakeNull() { return Variant(VarType::Null, std::monostate{}); }

Variant Variant::FromDateTime(double days) { return Variant(VarType::Date, days); }

Variant Variant::FromCurrency(std::int64_t scaledBy10000) { return Variant(VarType::Currency, scaledBy10000); }

Variant Variant::FromText(std::string utf8, VarType stringType) {
    if (!IsStringType(stringType))
        throw EVariantError("Not a string type (" + VarTypeName(stringType) + ")");
    return Variant(stringType, std::move(utf8));
}

Variant Variant::MakeArray(std::vector<Variant> elements, VarType elementType) {
    return Variant(VarType::Array | VarElementType(elementType), std::move(elements));
}

bool Variant::IsString() const { return IsStringType(type_); }

bool Variant::IsNumeric() const {
    return IsIntegerType(type_) || type_ == VarType::Single || type_ == VarType::Double ||
           type_ == VarType::Currency || type_ == VarType::Date;
}

void Variant::ThrowCast(VarType target) const {
    throw EVariantError("Could not convert variant of type (" + VarTypeName(type_) + ") into type (" +
                        VarTypeName(target) + ")");
}

void Variant::ThrowOverflow(VarType target) const {
    throw EVariantError("Overflow while converting variant of type (" + VarTypeName(type_) + ") into type (" +
                        VarTypeName(target) + ")");
}

std::int64_t Variant::AsInt64() const {
    if (IsArray())
        ThrowCast(VarType::Int64);
    switch (type_) {
    case VarType::Empty:
    case VarType::Null:
        return 0;
    case VarType::Boolean:
        return std::get<bool>(value_) ? -1 : 0;
    case VarType::UInt64: {
        const std::uint64_t u = std::get<std::uint64_t>(value_);
        if (u > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
            ThrowOverflow(VarType::Int64);
        return static_cast<std::int64_t>(u);
    }
    case VarType::Currency: {
        std::int64_t r = 0;
        RoundToInt64(static_cast<double>(std::get<std::int64_t>(value_)) / 10000.0, r);
        return r;
    }
    case VarType::Single:
    case VarType::Double:
    case VarType::Date: {
        std::int64_t r = 0;
        if (!RoundToInt64(std::get<double>(value_), r))
            ThrowOverflow(VarType::Int64);
        return r;
    }
    case VarType::String:
    case VarType::UString:
    case VarType::OleStr: {
        const std::string& s = std::get<std::string>(value_);
        std::int64_t i = 0;
        std::uint64_t u = 0;
        bool isUnsigned = false;
        if (ParseIntegerText(s, i, u, isUnsigned)) {
            if (isUnsigned)
                ThrowOverflow(VarType::Int64);
            return i;
        }
        double d = 0;
        if (ParseFloatText(s, d)) {
            if (!RoundToInt64(d, i))
                ThrowOverflow(VarType::Int64);
            return i;
        }
        ThrowCast(VarType::Int64);
    }
    default:
        if (IsIntegerType(type_))
            return std::get<std::int64_t>(value_);
        ThrowCast(VarType::Int64);
    }
}

std::int32_t Variant::AsInteger() const {
    // Full-range unsigned values must report overflow, not fail inside AsInt64.
    if (type_ == VarType::UInt64 &&
        std::get<std::uint64_t>(value_) > std::uint64_t(std::numeric_limits<std::int32_t>::max()))
        ThrowOverflow(VarType::Integer);
    const std::int64_t v = AsInt64();
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        ThrowOverflow(VarType::Integer);
    return static_cast<std::int32_t>(v);
}

std::uint64_t Variant::AsUInt64() const {
    if (type_ == VarType::UInt64)
        return std::get<std::uint64_t>(value_);
    if (IsString()) {
        std::int64_t i = 0;
        std::uint64_t u = 0;
        bool isUnsigned = false;
        if (ParseIntegerText(std::get<std::string>(value_), i, u, isUnsigned) && isUnsigned)
            return u;
    }
    const std::int64_t v = AsInt64();
    if (v < 0)
        ThrowOverflow(VarType::UInt64);
    return static_cast<std::uint64_t>(v);
}

bool Variant::AsBoolean() const {
    if (IsArray())
        ThrowCast(VarType::Boolean);
    switch (type_) {
    case VarType::Empty:
    case VarType::Null:
        return false;
    case VarType::Boolean:
        return std::get<bool>(value_);
    case VarType::UInt64:
        return std::get<std::uint64_t>(value_) != 0;
    case VarType::Single:
    case VarType::Double:
    case VarType::Date:
        return std::get<double>(value_) != 0.0;
    case VarType::String:
    case VarType::UString:
    case VarType::OleStr: {
        const std::string_view s = Trim(std::get<std::string>(value_));
        if (SameText(s, "true"))
            return true;
        if (SameText(s, "false"))
            return false;
        std::int64_t i = 0;
        std::uint64_t u = 0;
        bool isUnsigned = false;
        if (ParseIntegerText(s, i, u, isUnsigned))
            return isUnsigned || i != 0;
        double d = 0;
        if (ParseFloatText(s, d))
            return d != 0.0;
        ThrowCast(VarType::Boolean);
    }
    default:
        if (IsIntegerType(type_) || type_ == VarType::Currency)
            return std::get<std::int64_t>(value_) != 0;
        ThrowCast(VarType::Boolean);
    }
}

double Variant::AsDouble() const {
    if (IsArray())
        ThrowCast(VarType::Double);
    switch (type_) {
    case VarType::Empty:
    case VarType::Null:
        return 0.0;
    case VarType::Boolean:
        return std::get<bool>(value_) ? -1.0 : 0.0;
    case VarType::UInt64:
        return static_cast<double>(std::get<std::uint64_t>(value_));
    case VarType::Currency:
        return static_cast<double>(std::get<std::int64_t>(value_)) / 10000.0;
    case VarType::Single:
    case VarType::Double:
    case VarType::Date:
        return std::get<double>(value_);
    case VarType::String:
    case VarType::UString:
    case VarType::OleStr: {
        const std::string& s = std::get<std::string>(value_);
        double d = 0;
        if (ParseFloatText(s, d))
            return d;
        std::int64_t i = 0;
        std::uint64_t u = 0;
        bool isUnsigned = false;
        if (ParseIntegerText(s, i, u, isUnsigned))
            return isUnsigned ? static_cast<double>(u) : static_cast<double>(i);
        ThrowCast(VarType::Double);
    }
    default:
        if (IsIntegerType(type_))
            return static_cast<double>(std::get<std::int64_t>(value_));
        ThrowCast(VarType::Double);
    }
}

double Variant::AsDateTime() const {
    if (type_ == VarType::Boolean)
        ThrowCast(VarType::Date);
    return AsDouble();
}

std::int64_t Variant::AsCurrency() const {
    if (type_ == VarType::Currency)
        return std::get<std::int64_t>(value_);
    std::int64_t r = 0;
    if (!RoundToInt64(AsDouble() * 10000.0, r))
        ThrowOverflow(VarType::Currency);
    return r;
}

std::string Variant::AsString() const {
    if (IsArray())
        ThrowCast(VarType::String);
    switch (type_) {
    case VarType::Empty:
    case VarType::Null:
        return {};
    case VarType::Boolean:
        return std::get<bool>(value_) ? "True" : "False";
    case VarType::UInt64:
        return std::to_string(std::get<std::uint64_t>(value_));
    case VarType::Currency:
        return FormatCurrency(std::get<std::int64_t>(value_));
    case VarType::Single:
        return FormatFloat(std::get<double>(value_), 7);
    case VarType::Double:
        return FormatFloat(std::get<double>(value_), 15);
    case VarType::Date:
        return FormatDateTime(std::get<double>(value_));
    case VarType::String:
    case VarType::UString:
    case VarType::OleStr:
        return std::get<std::string>(value_);
    default:
        if (IsIntegerType(type_))
            return std::to_string(std::get<std::int64_t>(value_));
        ThrowCast(VarType::String);
    }
}

std::u16string Variant::AsWideString() const { return Utf8ToUtf16(AsString()); }

const std::vector<Variant>& Variant::AsArray() const {
    if (!IsArray())
        ThrowCast(VarType::Array | VarType::Variant);
    return std::get<std::vector<Variant>>(value_);
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.IsArray() || b.IsArray())
        return a.IsArray() && b.IsArray() && a.AsArray() == b.AsArray();
    if (a.IsEmpty() || b.IsEmpty())
        return a.IsEmpty() && b.IsEmpty();
    if (a.IsNull() || b.IsNull())
        return a.IsNull() && b.IsNull();
    if (a.type_ == VarType::Boolean || b.type_ == VarType::Boolean)
        return a.type_ == b.type_ && std::get<bool>(a.value_) == std::get<bool>(b.value_);
    if (a.IsString() || b.IsString())
        return a.IsString() && b.IsString() && std::get<std::string>(a.value_) == std::get<std::string>(b.value_);
    if (!a.IsNumeric() || !b.IsNumeric())
        return false;
    const bool aInt = IsIntegerType(a.type_), bInt = IsIntegerType(b.type_);
    if (aInt && bInt) {
        const bool aU = a.type_ == VarType::UInt64, bU = b.type_ == VarType::UInt64;
        if (aU && bU)
            return std::get<std::uint64_t>(a.value_) == std::get<std::uint64_t>(b.value_);
        if (aU || bU) {
            const std::uint64_t u = aU ? std::get<std::uint64_t>(a.value_) : std::get<std::uint64_t>(b.value_);
            const std::int64_t i = aU ? std::get<std::int64_t>(b.value_) : std::get<std::int64_t>(a.value_);
            return i >= 0 && static_cast<std::uint64_t>(i) == u;
        }
        return std::get<std::int64_t>(a.value_) == std::get<std::int64_t>(b.value_);
    }
    if (a.type_ == VarType::Currency && b.type_ == VarType::Currency)
        return std::get<std::int64_t>(a.value_) == std::get<std::int64_t>(b.value_);
    return a.AsDouble() == b.AsDouble();
}

double EncodeDateTime(const TDateTimeParts& p) {
    using namespace std::chrono;
    const sys_days date = year_month_day{year{p.Year}, month{static_cast<unsigned>(p.Month)},
                                         day{static_cast<unsigned>(p.Day)}};
    const sys_days epoch = year_month_day{year{1899}, December, day{30}};
    const double days = static_cast<double>((date - epoch).count());
    const double time = (p.Hour * 3600000.0 + p.Minute * 60000.0 + p.Second * 1000.0 + p.Millisecond) / 86400000.0;
    // Before the epoch the whole days count down but the time of day still
    // counts up: -1.25 is 1899-12-29 06:00.
    return days >= 0 ? days + time : days - time;
}

TDateTimeParts DecodeDateTime(double value) {
    using namespace std::chrono;
    TDateTimeParts p;
    if (!std::isfinite(value) || std::fabs(value) > 3.0e6)
        return p;
    double whole = std::trunc(value);
    auto ms = static_cast<std::int64_t>(std::llround(std::fabs(value - whole) * 86400000.0));
    if (ms >= 86400000) {
        ms -= 86400000;
        whole += value >= 0 ? 1 : -1;
    }
    const sys_days epoch = year_month_day{year{1899}, December, day{30}};
    const year_month_day ymd{epoch + days{static_cast<int>(whole)}};
    p.Year = static_cast<int>(ymd.year());
    p.Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    p.Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    p.Hour = static_cast<int>(ms / 3600000);
    p.Minute = static_cast<int>(ms / 60000 % 60);
    p.Second = static_cast<int>(ms / 1000 % 60);
    p.Millisecond = static_cast<int>(ms % 1000);
    return p;
}

std::string IsoDateTimeText(double days) {
    // Beyond year 9999 the decoded parts no longer fit the four-digit form.
    if (!std::isfinite(days) || days < -657434.0 || days > 2958466.0)
        return {};
    const TDateTimeParts p = DecodeDateTime(days);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                  p.Second, p.Millisecond);
    return text;
}

// 1970-01-01 is day 25569 of the date-time scale.
double DateTimeFromUnixMilliseconds(std::int64_t ms) { return 25569.0 + static_cast<double>(ms) / 86400000.0; }

std::int64_t DateTimeToUnixMilliseconds(double days) { return std::llround((days - 25569.0) * 86400000.0); }

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        auto cont = [&](std::size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF && cont(1)) {
            cp = (c & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu);
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF && cont(1) && cont(2)) {
            const std::uint32_t v = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu);
            if (v >= 0x800 && (v < 0xD800 || v > 0xDFFF)) {
                cp = v;
                len = 3;
            }
        } else if (c >= 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3)) {
            const std::uint32_t v =
                (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu);
            if (v >= 0x10000 && v <= 0x10FFFF) {
                cp = v;
                len = 4;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | cp >> 6));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | cp >> 12));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | cp >> 18));
            out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

double LocalDateTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    // The reentrant form: packets are stamped on several threads at once.
    if (!platform::LocalTime(seconds, &local))
        return DateTimeFromUnixMilliseconds(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    TDateTimeParts parts;
    parts.Year = local.tm_year + 1900;
    parts.Month = local.tm_mon + 1;
    parts.Day = local.tm_mday;
    parts.Hour = local.tm_hour;
    parts.Minute = local.tm_min;
    parts.Second = local.tm_sec > 59 ? 59 : local.tm_sec; // a leap second stays inside its minute
    parts.Millisecond = static_cast<int>(ms < 0 ? ms + 1000 : ms);
    return EncodeDateTime(parts);
}

} // namespace qor
