// The binary component stream ("TPF0"): the stored form of a component with
// its published properties and its children, as the host's form engine and the
// plug-in's data-module resource carry it.
//
// Layout (all integers little-endian):
//   "TPF0", then one object:
//     [0xF0 | flags [child position as an integer value]]   only when flags != 0
//     class name, object name                                 (length byte + bytes)
//     properties: name (length byte + bytes) and a value, repeated; 0x00 ends them
//     children: objects as above, repeated; 0x00 ends them
//   A value is a type byte (TValueType) and its data.
//
// This header offers the stream as a neutral tree (TStreamObject) that carries
// every value with its stored type, so a stream read and written again is the
// same bytes. Mapping the tree to live components is in qorComponent.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

// The value types of the stream. 0x15 is read as a UTF-16 string, as Free
// Pascal writes it; 0x16 is an unsigned 64-bit integer.
enum class TValueType : std::uint8_t {
    Null = 0x00,       // end of a list; also "no value"
    List = 0x01,       // values up to a Null
    Int8 = 0x02,
    Int16 = 0x03,
    Int32 = 0x04,
    Extended = 0x05,   // 80-bit floating point
    String = 0x06,     // length byte + bytes
    Ident = 0x07,      // length byte + bytes: an identifier (enumeration value, event handler, reference)
    False = 0x08,
    True = 0x09,
    Binary = 0x0A,     // 32-bit length + bytes
    Set = 0x0B,        // element names, ended by an empty name
    LString = 0x0C,    // 32-bit length + bytes
    Nil = 0x0D,        // an unassigned reference
    Collection = 0x0E, // items (each an optional order value, List, properties, Null), ended by Null
    Single = 0x0F,     // 32-bit floating point
    Currency = 0x10,   // 64-bit integer, in units of 1/10000
    Date = 0x11,       // 64-bit floating point, days since 1899-12-30
    WString = 0x12,    // 32-bit count + UTF-16LE code units
    Int64 = 0x13,
    UTF8String = 0x14, // 32-bit length + UTF-8 bytes
    UString = 0x15,    // as WString
    QWord = 0x16,
};

// A stream that cannot be read: truncated, an unknown value type, a bad signature.
class EReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TStreamCollectionItem;

// One value with the type it is stored as. Only the fields of its type are used.
struct TStreamValue {
    TValueType Type = TValueType::Null;
    std::int64_t Int = 0;      // Int8, Int16, Int32, Int64; Currency in 1/10000
    std::uint64_t UInt = 0;    // QWord
    double Float = 0;          // Extended, Single, Date
    std::string Text;          // String, LString, WString, UString, UTF8String, Ident (held as UTF-8)
    std::vector<std::uint8_t> Bytes;           // Binary
    std::vector<std::string> Elements;         // Set
    std::vector<TStreamValue> Items;           // List
    std::vector<TStreamCollectionItem> Collection; // Collection

    // Values as the writer of a component stores them: the smallest integer
    // type that holds the number, a short string up to 255 bytes of ASCII,
    // a long one beyond, UTF-8 when the text is not ASCII.
    // A value without data: Null, Nil, False or True.
    static TStreamValue Of(TValueType type);
    static TStreamValue Integer(std::int64_t v);
    static TStreamValue Str(std::string_view text);
    static TStreamValue Identifier(std::string_view name);
    static TStreamValue Boolean(bool v);
    static TStreamValue Float80(double v);
    static TStreamValue Bin(std::vector<std::uint8_t> bytes);
    static TStreamValue SetOf(std::vector<std::string> elements);
    static TStreamValue ListOf(std::vector<TStreamValue> items);

    bool IsInteger() const;   // Int8..Int64, QWord
    bool IsString() const;    // any text type except Ident
    bool IsFloat() const;     // Extended, Single, Date, Currency
    // The value as an integer; throws EReadError for a non-integer type.
    std::int64_t AsInteger() const;
    // The value as a number (integers, floats, currency); throws EReadError otherwise.
    double AsFloat() const;

    // Defined where TStreamCollectionItem is complete.
    bool operator==(const TStreamValue&) const;
};

struct TStreamProperty {
    std::string Name; // may be a path ("Font.Name", "Lines.Strings")
    TStreamValue Value;
    bool operator==(const TStreamProperty&) const = default;
};

struct TStreamCollectionItem {
    std::optional<TStreamValue> Order; // an integer value before the item, when the writer gave one
    std::vector<TStreamProperty> Properties;
    bool operator==(const TStreamCollectionItem&) const = default;
};

// Filer flags of an object header.
inline constexpr std::uint8_t ffInherited = 0x01;
inline constexpr std::uint8_t ffChildPos = 0x02;
inline constexpr std::uint8_t ffInline = 0x04;

struct TStreamObject {
    std::uint8_t Flags = 0;
    std::int32_t ChildPos = 0; // only with ffChildPos
    std::string ClassName;
    std::string Name;
    std::vector<TStreamProperty> Properties;
    std::vector<TStreamObject> Children;

    // First property of that name (compared without regard to ASCII case).
    const TStreamProperty* FindProperty(std::string_view name) const;
    const TStreamObject* FindChild(std::string_view name) const;
    bool operator==(const TStreamObject&) const = default;
};

// The four bytes every component stream starts with.
inline constexpr std::string_view kStreamSignature = "TPF0";

// Reads one component stream starting at its signature. Trailing bytes after
// the object are allowed (a resource may be padded); consumed, when given,
// receives the number of bytes the stream occupied. Throws EReadError.
TStreamObject ReadObjectStream(std::span<const std::uint8_t> bytes, std::size_t* consumed = nullptr);
// The stream of an object, signature first.
std::vector<std::uint8_t> WriteObjectStream(const TStreamObject& object);

// The 80-bit extended format (sign, 15-bit exponent, 64-bit mantissa with an
// explicit integer bit), as the stream stores floats.
std::array<std::uint8_t, 10> DoubleToExtended(double v);
double ExtendedToDouble(std::span<const std::uint8_t, 10> bytes);

} // namespace qor
