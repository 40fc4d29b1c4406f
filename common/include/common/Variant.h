// The tagged value of the system: parameter list values, decoded tag values
// and everything that crosses the host boundary as a variant.
//
// Type numbers are those of the Windows/OLE variant type field, because the
// host and stored settings (an item's Tag holds the variant type of its value)
// speak them. Texts are UTF-8 whatever their type number says: 0x100 (String),
// 0x102 (UnicodeString) and 8 (OleStr) differ only in how they cross the
// boundary (see common/qorParamLstIntf.h).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qor {

enum class VarType : std::uint16_t {
    Empty = 0x0000, // Unassigned
    Null = 0x0001,
    Smallint = 0x0002, // signed 16-bit
    Integer = 0x0003,  // signed 32-bit
    Single = 0x0004,
    Double = 0x0005,
    Currency = 0x0006, // 64-bit integer scaled by 10000
    Date = 0x0007,     // double: days since 1899-12-30, time of day as the fraction
    OleStr = 0x0008,
    Boolean = 0x000B,
    Variant = 0x000C, // element type of a variant array
    ShortInt = 0x0010, // signed 8-bit
    Byte = 0x0011,     // unsigned 8-bit
    Word = 0x0012,     // unsigned 16-bit
    LongWord = 0x0013, // unsigned 32-bit
    Int64 = 0x0014,
    UInt64 = 0x0015,
    String = 0x0100,  // 8-bit text
    UString = 0x0102, // wide text
    Array = 0x2000,   // flag: an array of the element type in the low bits
    ByRef = 0x4000,   // flag: only seen in records crossing the boundary
};

constexpr std::uint16_t VarTypeCode(VarType t) { return static_cast<std::uint16_t>(t); }
constexpr VarType operator|(VarType a, VarType b) { return VarType(VarTypeCode(a) | VarTypeCode(b)); }
// The type without the array and by-reference flags.
constexpr VarType VarElementType(VarType t) { return VarType(VarTypeCode(t) & 0x0FFF); }
// The signed and unsigned integer types of 8 to 64 bits.
bool IsIntegerType(VarType t);


// Conversion failures; the message names both types like
// "Could not convert variant of type (String) into type (Integer)".
class EVariantError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Name of a type number as the messages use it, e.g. "Integer", "Array of Variant".
std::string VarTypeName(VarType t);

class Variant {
public:
    Variant() = default; // Empty
    Variant(bool v) : type_(VarType::Boolean), value_(v) {}
    Variant(std::int8_t v) : type_(VarType::ShortInt), value_(std::int64_t{v}) {}
    Variant(std::uint8_t v) : type_(VarType::Byte), value_(std::int64_t{v}) {}
    Variant(std::int16_t v) : type_(VarType::Smallint), value_(std::int64_t{v}) {}
    Variant(std::uint16_t v) : type_(VarType::Word), value_(std::int64_t{v}) {}
    Variant(std::int32_t v) : type_(VarType::Integer), value_(std::int64_t{v}) {}
    Variant(std::uint32_t v) : type_(VarType::LongWord), value_(std::int64_t{v}) {}
    Variant(long v) : type_(VarType::Int64), value_(std::int64_t{v}) {}
    Variant(long long v) : type_(VarType::Int64), value_(std::int64_t{v}) {}
    Variant(unsigned long v) : type_(VarType::UInt64), value_(std::uint64_t{v}) {}
    Variant(unsigned long long v) : type_(VarType::UInt64), value_(std::uint64_t{v}) {}
    Variant(float v) : type_(VarType::Single), value_(double{v}) {}
    Variant(double v) : type_(VarType::Double), value_(v) {}
    Variant(const char* v) : type_(VarType::String), value_(std::string(v ? v : "")) {}
    Variant(std::string_view v) : type_(VarType::String), value_(std::string(v)) {}
    Variant(std::string v) : type_(VarType::String), value_(std::move(v)) {}
    Variant(char* v) : Variant(static_cast<const char*>(v)) {}
    Variant(const std::u16string& v); // UString, converted to UTF-8
    // Any other pointer would silently become a boolean.
    template <class T>
    Variant(T*) = delete;

    static Variant MakeNull();
    static Variant FromDateTime(double days);
    static Variant FromCurrency(std::int64_t scaledBy10000);
    // Text with an explicit string type (OleStr, String or UString).
    static Variant FromText(std::string utf8, VarType stringType);
    // An array; elementType is the declared element type (Variant for a mixed array).
    static Variant MakeArray(std::vector<Variant> elements, VarType elementType = VarType::Variant);

    VarType Type() const { return type_; }
    bool IsEmpty() const { return type_ == VarType::Empty; }
    bool IsNull() const { return type_ == VarType::Null; }
    // "Missing" for a parameter: Unassigned or Null.
    bool IsEmptyOrNull() const { return IsEmpty() || IsNull(); }
    bool IsString() const;
    bool IsArray() const { return (VarTypeCode(type_) & VarTypeCode(VarType::Array)) != 0; }
    bool IsNumeric() const; // integers, floats, currency, date (not boolean)

    // Conversions. Empty and Null convert to 0, false and "" (the callers that
    // must tell a missing value apart test IsEmptyOrNull first). Boolean true
    // is -1 as a number, like the OLE VARIANT_TRUE. Floats round half to even.
    // Text converts when it holds a decimal or hexadecimal ("$FF", "0xFF")
    // integer, a number with "." as decimal separator, or (to boolean) "True"
    // or "False" in any case. Anything else raises EVariantError, as does a
    // value outside the target range.
    std::int32_t AsInteger() const;
    std::int64_t AsInt64() const;
    std::uint64_t AsUInt64() const;
    bool AsBoolean() const;
    double AsDouble() const;
    double AsDateTime() const;
    std::int64_t AsCurrency() const; // scaled by 10000
    // Integers in decimal; floats with up to 15 (Single: 7) significant digits;
    // "True"/"False"; dates as "YYYY-MM-DD hh:mm:ss" (".zzz" when there are
    // milliseconds, the time left out at midnight); currency with up to four decimals.
    std::string AsString() const;
    std::u16string AsWideString() const;
    const std::vector<Variant>& AsArray() const;

    // Equal when both are Empty, both Null, both booleans of the same value,
    // both numbers of the same value (whatever their widths), both texts of
    // the same characters (whatever their string types), or both arrays of
    // equal elements. Values of different kinds are never equal.
    friend bool operator==(const Variant& a, const Variant& b);

private:
    Variant(VarType t, std::variant<std::monostate, std::int64_t, std::uint64_t, double, bool, std::string,
                                    std::vector<Variant>>
                           v)
        : type_(t), value_(std::move(v)) {}

    [[noreturn]] void ThrowCast(VarType target) const;
    [[noreturn]] void ThrowOverflow(VarType target) const;

    VarType type_ = VarType::Empty;
    // Integers of every width but UInt64 as int64; UInt64 as uint64; Single,
    // Double and Date as double; Currency as its scaled int64; texts as UTF-8.
    std::variant<std::monostate, std::int64_t, std::uint64_t, double, bool, std::string, std::vector<Variant>>
        value_;
};

// Date-time helpers: days since 1899-12-30, the time of day as the fraction.
struct TDateTimeParts {
    int Year = 1899, Month = 12, Day = 30, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};
double EncodeDateTime(const TDateTimeParts& parts);
TDateTimeParts DecodeDateTime(double days);
// "YYYY-MM-DDTHH:MM:SS.mmm" of a date-time (no offset: the value is wall-clock
// time as its source gave it); empty for one outside years 0001..9999.
std::string IsoDateTimeText(double days);
// Milliseconds since 1970-01-01 (no time zone applied) as a date-time, and back.
double DateTimeFromUnixMilliseconds(std::int64_t ms);
std::int64_t DateTimeToUnixMilliseconds(double days);
// The current local date and time, to the millisecond (what packets and tag
// reads are stamped with).
double LocalDateTimeNow();

// UTF-8 <-> UTF-16. Invalid UTF-8 bytes become U+FFFD; unpaired surrogates too.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

} // namespace qor
