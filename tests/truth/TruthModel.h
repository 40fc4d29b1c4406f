// The independent truth of the truth test: a typed model of a controller's
// tags and data files, its text in the simulator's tag format, and the
// name -> value pairs the logger and the diagnostic tool must export for each
// read address (the export rules the product promises: element numbers, bits,
// dotted member names, strings as text, unique names). Nothing here comes from
// the client's code; it is written from those rules and the wire layouts.
#pragma once

#include "TruthJson.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace truth {

// ---- What a value must be ------------------------------------------------

// One exported value as the outputs write it to JSON.
struct Expect {
    enum class Kind {
        Signed,   // an integer, compared exactly
        Unsigned, // an unsigned integer up to 2^64 - 1, compared exactly
        Real,     // a REAL: exactly the double of the float
        Double,   // an LREAL: exactly
        Scaled,   // a value times a scale: a floating-point number, to 1e-12 relative
        Bool,
        Text,
        DateTime, // the logger's date text "YYYY-MM-DDTHH:MM:SS.mmm"
        Array,
    };
    Kind Type = Kind::Signed;
    std::int64_t Int = 0;
    std::uint64_t UInt = 0;
    double Number = 0;
    float Single = 0;
    bool Boolean = false;
    std::string Text = {};
    std::vector<Expect> Items = {};

    static Expect Signed(std::int64_t v) { return {.Type = Kind::Signed, .Int = v}; }
    static Expect Unsigned(std::uint64_t v) { return {.Type = Kind::Unsigned, .UInt = v}; }
    static Expect Real(float v) { return {.Type = Kind::Real, .Number = v, .Single = v}; }
    static Expect Double(double v) { return {.Type = Kind::Double, .Number = v}; }
    static Expect ScaledValue(double v) { return {.Type = Kind::Scaled, .Number = v}; }
    static Expect Bool(bool v) { return {.Type = Kind::Bool, .Boolean = v}; }
    static Expect String(std::string v) { return {.Type = Kind::Text, .Text = std::move(v)}; }
    static Expect Date(std::string text) { return {.Type = Kind::DateTime, .Text = std::move(text)}; }
    static Expect List(std::vector<Expect> items) { return {.Type = Kind::Array, .Items = std::move(items)}; }

    std::string Show() const;
};

// Empty when the JSON value is the expected one; otherwise why not (the
// reason names a known kind of fault where it can: a REAL rounded through its
// float text, a ULINT written signed, a date written as a number).
std::string Mismatch(const Expect& expected, const JValue& got);

// ---- The device ----------------------------------------------------------

// Atomic CIP types by their codes.
enum class Atom : std::uint16_t {
    Bool = 0xC1,
    Sint = 0xC2,
    Int = 0xC3,
    Dint = 0xC4,
    Lint = 0xC5,
    Usint = 0xC6,
    Uint = 0xC7,
    Udint = 0xC8,
    Ulint = 0xC9,
    Real = 0xCA,
    Lreal = 0xCB,
    Date = 0xCD,
    Dt = 0xCF,
    Byte = 0xD1,
    Word = 0xD2,
    Dword = 0xD3,
    Lword = 0xD4,
    SString = 0xDA,
    Time = 0xDB,
};
std::string_view AtomName(Atom a);
// Bits of one element (BOOL 1, SINT 8, ..., LWORD 64); 0 for the others.
unsigned AtomBits(Atom a);
bool IsBitString(Atom a);
bool IsSignedInteger(Atom a);
bool IsUnsignedInteger(Atom a);

struct StructType;

struct TypeRef {
    Atom Atomic = Atom::Dint;
    const StructType* Struct = nullptr;
    bool IsStruct() const { return Struct != nullptr; }
};

struct MemberDef {
    std::string Name;
    TypeRef Type;
    std::uint32_t Count = 0; // array size, 0 for a scalar
    bool BoolArray = false;  // BOOL[Count]: held as DWORD words
};

struct StructType {
    enum class Kind { User, Timer, Counter, Control, String };
    std::string Name;
    Kind Family = Kind::User;
    std::vector<MemberDef> Members;

    // Exactly LEN (an integer) and DATA (a SINT/USINT array).
    bool StringShaped() const;
    std::uint32_t TextCapacity() const;
};

// One element's value: an atomic value's bits (two's complement, IEEE), a
// text (SHORT_STRING, string-shaped structures), or the parts of a structure
// (one per member; an array member's parts are its elements, a BOOL array
// member's its bits).
struct Value {
    std::uint64_t Raw = 0;
    std::string Text;
    std::vector<Value> Parts;
};

struct Tag {
    std::string Name; // program-scoped: "Program:Main.X"
    TypeRef Type;
    std::vector<std::uint32_t> Dims;
    bool BoolArray = false;      // BOOL[Dims[0]]: Elements are the bits, rounded up to whole words
    std::vector<Value> Elements; // row-major
};

// A PCCC data file: 16-bit words (N, B; T, C, R three per element), F floats
// as their bits, L 32-bit values.
struct DataFile {
    char Letter = 'N';
    unsigned Number = 7;
    std::vector<std::uint32_t> Words;
    unsigned PerElement() const; // words per element: 3 for T C R, else 1
};

struct Device {
    enum class Family { Logix, Micro800, MicroLogix };
    Family Personality = Family::Logix;
    std::string ProductName;
    std::vector<std::unique_ptr<StructType>> Types; // in declaration order (nested first)
    std::vector<Tag> Tags;
    std::vector<DataFile> Files;

    const Tag* FindTag(std::string_view name) const;
    const DataFile* FindFile(char letter, unsigned number) const;
    // The text in the simulator's tag format.
    std::string TagText() const;
};

// The predefined types (TIMER, COUNTER, CONTROL, STRING), shared.
const StructType& TimerType();
const StructType& CounterType();
const StructType& ControlType();
const StructType& StringType();

// ---- What is read and what must come out ---------------------------------

// One request item as the options dialog stores it.
struct Item {
    std::string Caption;
    std::string Address;
    std::optional<std::string> Names; // the Name element's text; nothing: no Name element
    std::uint16_t Number = 1;
    std::uint16_t DataType = 0;
    double Scale = 1;
    std::string Route;
};

// What one address of an item must give.
struct Outcome {
    std::string Address;
    // What kind of read it is ("structure", "BOOL array element", "PCCC T
    // sub-element", ...), to group failures by.
    std::string Kind;
    bool Ok = false;
    std::vector<std::pair<std::string, Expect>> Values;
};

struct ItemTruth {
    const Item* Source = nullptr;
    std::vector<Outcome> Addresses;
    // Every name the item exports when all its good addresses answered.
    std::map<std::string, const Expect*> ByName() const;
};

enum class Reader {
    Engine, // the logger's data packets
    Tool,   // eiptool read --json (TIMER/COUNTER/CONTROL as their members)
};

// The truth of a data source's items (names unique across them as the
// product makes them). Throws std::logic_error when the items ask for a case
// the export rules leave open (the generator must not make such items).
std::vector<ItemTruth> ComputeTruth(const Device& device, const std::vector<Item>& items, Reader reader);

// The same, one item after the other: Add throws std::logic_error for an
// item the rules leave open next to the earlier ones, and then keeps its
// state, so a generator can try the item elsewhere.
class SourceBuilder {
public:
    SourceBuilder(const Device& device, Reader reader);
    ItemTruth Add(const Item& item);

private:
    const Device& device_;
    Reader reader_;
    std::set<std::string> seen_;     // declared names, lower case
    std::set<std::string> exported_; // every value name, lower case
};

// The name an address gets when no name is configured.
std::string DerivedName(std::string_view address);
// Addresses of an address text, trimmed, empty ones dropped.
std::vector<std::string> SplitAddresses(std::string_view text);

// The request list XML text the options dialog stores.
std::string RequestListXml(const std::vector<Item>& items, unsigned pollMs, unsigned timeoutMs);

} // namespace truth
