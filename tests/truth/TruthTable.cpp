#include "TruthTable.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>

namespace truth {
namespace {

class Gen {
public:
    explicit Gen(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t Bits() { return rng_(); }
    std::int64_t Range(std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_);
    }
    bool Coin() { return (rng_() & 1) != 0; }

    // Printable ASCII without the quote that ends a text in the tag format.
    std::string Text(std::size_t maxLength) {
        const auto n = static_cast<std::size_t>(Range(1, static_cast<std::int64_t>(maxLength)));
        std::string s;
        for (std::size_t i = 0; i < n; ++i) {
            char c = static_cast<char>(Range(0x20, 0x7E));
            if (c == '"')
                c = '\\';
            s += c;
        }
        return s;
    }

    // Half of the time a short decimal, else any finite value of the type's bits.
    template <class F, class Bits>
    F Number(std::int64_t range, F scale) {
        if (Coin())
            return static_cast<F>(Range(-range, range)) / scale;
        for (;;) {
            const F f = std::bit_cast<F>(static_cast<Bits>(rng_()));
            if (std::isfinite(f))
                return f;
        }
    }
    float Single() { return Number<float, std::uint32_t>(100000, 10.0f); }
    double Double() { return Number<double, std::uint64_t>(10000000, 1000.0); }

    Value Atomic(Atom a) {
        Value v;
        switch (a) {
        case Atom::Bool:
            v.Raw = Coin() ? 1 : 0;
            break;
        case Atom::Real:
            v.Raw = std::bit_cast<std::uint32_t>(Single());
            break;
        case Atom::Lreal:
            v.Raw = std::bit_cast<std::uint64_t>(Double());
            break;
        case Atom::Date:
            v.Raw = static_cast<std::uint64_t>(Range(0, 65535));
            break;
        case Atom::Dt:
            v.Raw = (static_cast<std::uint64_t>(Range(0, 65535)) << 32) |
                    static_cast<std::uint64_t>(Range(0, 86399999));
            break;
        case Atom::SString:
            v.Text = Text(40);
            break;
        default: {
            const unsigned bits = AtomBits(a);
            v.Raw = bits >= 64 ? rng_() : rng_() & ((std::uint64_t{1} << bits) - 1);
        }
        }
        return v;
    }

    Value Of(const TypeRef& t) { return t.IsStruct() ? Struct(*t.Struct) : Atomic(t.Atomic); }

    Value Struct(const StructType& t) {
        Value v;
        if (t.StringShaped()) {
            v.Text = Coin() && t.TextCapacity() > 4 ? Text(t.TextCapacity()) : Text(4);
            return v;
        }
        for (const MemberDef& m : t.Members) {
            if (m.Count == 0) {
                v.Parts.push_back(Of(m.Type));
                continue;
            }
            Value array;
            for (std::uint32_t i = 0; i < m.Count; ++i)
                array.Parts.push_back(m.BoolArray ? Atomic(Atom::Bool) : Of(m.Type));
            v.Parts.push_back(std::move(array));
        }
        return v;
    }

private:
    std::mt19937_64 rng_;
};

Value Raw(std::uint64_t raw) {
    Value v;
    v.Raw = raw;
    return v;
}
Value Float(float f) {
    return Raw(std::bit_cast<std::uint32_t>(f));
}
Value Double(double d) {
    return Raw(std::bit_cast<std::uint64_t>(d));
}
Value Text(std::string s) {
    Value v;
    v.Text = std::move(s);
    return v;
}

TypeRef A(Atom a) {
    return {a, nullptr};
}
TypeRef S(const StructType& s) {
    return {Atom::Dint, &s};
}

Tag Scalar(std::string name, Atom a, Value v) {
    Tag t;
    t.Name = std::move(name);
    t.Type = A(a);
    t.Elements.push_back(std::move(v));
    return t;
}

Tag Array(Gen& g, std::string name, TypeRef type, std::vector<std::uint32_t> dims) {
    Tag t;
    t.Name = std::move(name);
    t.Type = type;
    t.Dims = std::move(dims);
    std::size_t n = 1;
    for (auto d : t.Dims)
        n *= d;
    for (std::size_t i = 0; i < n; ++i)
        t.Elements.push_back(g.Of(type));
    return t;
}

Item Make(std::string address, std::optional<std::string> names = std::string(), std::uint16_t number = 1,
          std::uint16_t dataType = 0, double scale = 1) {
    Item i;
    i.Address = std::move(address);
    i.Names = std::move(names);
    i.Number = number;
    i.DataType = dataType;
    i.Scale = scale;
    return i;
}

const StructType& AddType(Device& d, std::string name, std::vector<MemberDef> members) {
    auto t = std::make_unique<StructType>();
    t->Name = std::move(name);
    t->Members = std::move(members);
    d.Types.push_back(std::move(t));
    return *d.Types.back();
}

MemberDef M(std::string name, TypeRef type, std::uint32_t count = 0) {
    return {std::move(name), type, count, false};
}
MemberDef BoolArrayMember(std::string name, std::uint32_t bits) {
    return {std::move(name), A(Atom::Dword), bits, true};
}

// The Logix controller's table; the items read from it go to `pool`.
void BuildLogix(Gen& g, Device& d) {
    d.Personality = Device::Family::Logix;
    d.ProductName = "Simulated Controller";
    struct Extreme {
        const char* Name;
        Atom Type;
        std::uint64_t Lo, Hi;
    };
    const Extreme ints[] = {
        {"Sint", Atom::Sint, 0x80, 0x7F},
        {"Int", Atom::Int, 0x8000, 0x7FFF},
        {"Dint", Atom::Dint, 0x80000000, 0x7FFFFFFF},
        {"Lint", Atom::Lint, 0x8000000000000000, 0x7FFFFFFFFFFFFFFF},
        {"Usint", Atom::Usint, 0, 0xFF},
        {"Uint", Atom::Uint, 0, 0xFFFF},
        {"Udint", Atom::Udint, 0, 0xFFFFFFFF},
        {"Ulint", Atom::Ulint, 0, 0xFFFFFFFFFFFFFFFF},
        {"Day", Atom::Date, 0, 0xFFFF},
        {"Dur", Atom::Time, 0x80000000, 0x7FFFFFFF},
        {"Stamp", Atom::Dt, 0, (std::uint64_t{0xFFFF} << 32) | 86399999},
    };
    for (const Extreme& e : ints) {
        d.Tags.push_back(Scalar(std::string(e.Name) + "_Lo", e.Type, Raw(e.Lo)));
        d.Tags.push_back(Scalar(std::string(e.Name) + "_Hi", e.Type, Raw(e.Hi)));
        d.Tags.push_back(Scalar(std::string(e.Name) + "_R", e.Type, g.Atomic(e.Type)));
    }
    using FloatLimits = std::numeric_limits<float>;
    const std::pair<const char*, float> singles[] = {{"Real_Hi", FloatLimits::max()},
                                                     {"Real_Lo", FloatLimits::lowest()},
                                                     {"Real_Tiny", FloatLimits::denorm_min()},
                                                     {"Real_Small", FloatLimits::min()},
                                                     {"Real_Tenth", 0.1f},
                                                     {"Real_Third", 1.0f / 3.0f},
                                                     {"Real_NegZero", -0.0f},
                                                     {"Real_Big", 16777217.0f}};
    for (const auto& [name, value] : singles)
        d.Tags.push_back(Scalar(name, Atom::Real, Float(value)));
    d.Tags.push_back(Scalar("Real_R", Atom::Real, g.Atomic(Atom::Real)));
    using DoubleLimits = std::numeric_limits<double>;
    const std::pair<const char*, double> doubles[] = {{"Lreal_Hi", DoubleLimits::max()},
                                                      {"Lreal_Lo", DoubleLimits::lowest()},
                                                      {"Lreal_Tiny", DoubleLimits::denorm_min()},
                                                      {"Lreal_Tenth", 0.1},
                                                      {"Lreal_Third", 1.0 / 3.0},
                                                      {"Lreal_Big", 9007199254740993.0}};
    for (const auto& [name, value] : doubles)
        d.Tags.push_back(Scalar(name, Atom::Lreal, Double(value)));
    d.Tags.push_back(Scalar("Lreal_R", Atom::Lreal, g.Atomic(Atom::Lreal)));
    d.Tags.push_back(Scalar("Flag_On", Atom::Bool, Raw(1)));
    d.Tags.push_back(Scalar("Flag_Off", Atom::Bool, Raw(0)));
    d.Tags.push_back(Scalar("Bits8", Atom::Byte, g.Atomic(Atom::Byte)));
    d.Tags.push_back(Scalar("Bits16", Atom::Word, g.Atomic(Atom::Word)));
    d.Tags.push_back(Scalar("Bits32", Atom::Dword, Raw(0x80000001u | (g.Bits() & 0x7FFFFFFE))));
    d.Tags.push_back(
        Scalar("Bits64", Atom::Lword, Raw(0x8000000000000001u | (g.Bits() & 0x7FFFFFFFFFFFFFFE))));
    d.Tags.push_back(Scalar("Bits64_Ones", Atom::Lword, Raw(0xFFFFFFFFFFFFFFFF)));
    d.Tags.push_back(Scalar("Short_Text", Atom::SString, Text(g.Text(40))));
    d.Tags.push_back(Scalar("Short_Empty", Atom::SString, Text("")));
    // Names the host reserves for devices get a "_" in front.
    d.Tags.push_back(Scalar("Console1", Atom::Dint, g.Atomic(Atom::Dint)));
    d.Tags.push_back(Scalar("AuxPump", Atom::Int, g.Atomic(Atom::Int)));
    d.Tags.push_back(Scalar("nul_count", Atom::Udint, g.Atomic(Atom::Udint)));

    // Arrays of one to three dimensions.
    d.Tags.push_back(Array(g, "ArrSint", A(Atom::Sint), {7}));
    d.Tags.push_back(Array(g, "ArrInt", A(Atom::Int), {9}));
    d.Tags.push_back(Array(g, "ArrDint", A(Atom::Dint), {20}));
    d.Tags.push_back(Array(g, "ArrLint", A(Atom::Lint), {5}));
    d.Tags.push_back(Array(g, "ArrUsint", A(Atom::Usint), {6}));
    d.Tags.push_back(Array(g, "ArrUint", A(Atom::Uint), {6}));
    d.Tags.push_back(Array(g, "ArrUdint", A(Atom::Udint), {6}));
    Tag ulints = Array(g, "ArrUlint", A(Atom::Ulint), {4});
    ulints.Elements[0].Raw = 0xFFFFFFFFFFFFFFFF;
    d.Tags.push_back(std::move(ulints));
    d.Tags.push_back(Array(g, "ArrReal", A(Atom::Real), {8}));
    d.Tags.push_back(Array(g, "ArrLreal", A(Atom::Lreal), {5}));
    d.Tags.push_back(Array(g, "ArrDate", A(Atom::Date), {3}));
    d.Tags.push_back(Array(g, "ArrTime", A(Atom::Time), {3}));
    d.Tags.push_back(Array(g, "ArrDt", A(Atom::Dt), {2}));
    d.Tags.push_back(Array(g, "Mat", A(Atom::Int), {3, 4}));
    d.Tags.push_back(Array(g, "Cube", A(Atom::Dint), {2, 3, 4}));
    // Larger than one reply: read in fragments.
    d.Tags.push_back(Array(g, "Big", A(Atom::Dint), {400}));
    d.Tags.push_back(Array(g, "SCADA", A(Atom::Dint), {30}));
    d.Tags.push_back(Array(g, "Words", A(Atom::Word), {3}));
    d.Tags.push_back(Array(g, "Dwords", A(Atom::Dword), {12}));
    Tag alarms;
    alarms.Name = "Alarms";
    alarms.Type = A(Atom::Bool);
    alarms.BoolArray = true;
    alarms.Dims = {96};
    for (int i = 0; i < 96; ++i)
        alarms.Elements.push_back(Raw(g.Coin() ? 1 : 0));
    alarms.Elements[33].Raw = 1;
    alarms.Elements[32].Raw = 0;
    d.Tags.push_back(std::move(alarms));
    for (int i = 0; i < 150; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Lst%03d", i);
        d.Tags.push_back(Scalar(name, Atom::Dint, g.Atomic(Atom::Dint)));
    }
    d.Tags.push_back(Scalar("Program:Main.Setp", Atom::Real, g.Atomic(Atom::Real)));
    d.Tags.push_back(Array(g, "Program:Main.Arr", A(Atom::Dint), {5}));

    // Strings and the predefined structures.
    Tag msg = Array(g, "Msg", S(StringType()), {});
    d.Tags.push_back(msg);
    Tag empty = Array(g, "Msg_Empty", S(StringType()), {});
    empty.Elements[0].Text.clear();
    d.Tags.push_back(empty);
    Tag full = Array(g, "Msg_Full", S(StringType()), {});
    full.Elements[0].Text = g.Text(1);
    while (full.Elements[0].Text.size() < 82)
        full.Elements[0].Text += static_cast<char>('A' + full.Elements[0].Text.size() % 26);
    d.Tags.push_back(full);
    d.Tags.push_back(Array(g, "Names", S(StringType()), {4}));
    d.Tags.push_back(Array(g, "Tmr", S(TimerType()), {}));
    d.Tags.push_back(Array(g, "Cnt", S(CounterType()), {}));
    d.Tags.push_back(Array(g, "Ctl", S(ControlType()), {}));
    d.Tags.push_back(Array(g, "Timers", S(TimerType()), {3}));
    d.Tags.push_back(Array(g, "Counters", S(CounterType()), {2}));
    d.Tags.push_back(Array(g, "Controls", S(ControlType()), {2}));

    // User types three deep, with packed BOOLs, member arrays, strings,
    // timers, BOOL arrays and arrays of structures inside structures.
    const StructType& str12 = AddType(d, "Str12", {M("LEN", A(Atom::Dint)), M("DATA", A(Atom::Sint), 12)});
    const StructType& leaf = AddType(d, "Leaf_UDT",
                                     {M("A", A(Atom::Bool)), M("B", A(Atom::Bool)), M("Small", A(Atom::Sint)),
                                      M("Precise", A(Atom::Lreal)), M("Caption", S(str12))});
    const StructType& mid = AddType(d, "Mid_UDT",
                                    {M("Id", A(Atom::Dint)), M("Leaf", S(leaf)), M("Leaves", S(leaf), 2),
                                     M("Hold", S(TimerType())), BoolArrayMember("Flags", 40),
                                     M("Vals", A(Atom::Real), 3), M("Go", A(Atom::Bool))});
    const StructType& top =
        AddType(d, "Top_UDT",
                {M("Code", A(Atom::Int)), M("Run", A(Atom::Bool)), M("Mid", S(mid)), M("Mids", S(mid), 2),
                 M("Text", S(StringType())), M("Texts", S(StringType()), 2), M("Count", S(CounterType())),
                 M("Ctl", S(ControlType())), M("Big", A(Atom::Ulint)), M("Day", A(Atom::Date)),
                 M("Mask", A(Atom::Dword)), M("Hist", A(Atom::Lint), 3), M("Stamp", A(Atom::Dt)),
                 M("Dur", A(Atom::Time))});
    d.Tags.push_back(Array(g, "Label", S(str12), {}));
    d.Tags.push_back(Array(g, "Labels", S(str12), {3}));
    Tag topTag = Array(g, "Top", S(top), {});
    topTag.Elements[0].Parts[8].Raw = 0xFFFFFFFFFFFFFFFF; // Big
    d.Tags.push_back(topTag);
    d.Tags.push_back(Array(g, "Tops", S(top), {3}));
    d.Tags.push_back(Array(g, "Program:Main.TopP", S(top), {}));
}

// What is read from the Logix controller, each item on its own; the caller
// packs them into data sources.
std::vector<Item> LogixItems(const Device& d) {
    std::vector<Item> items;
    // Every scalar atomic tag, named after itself.
    for (const Tag& t : d.Tags)
        if (!t.Type.IsStruct() && t.Dims.empty() && t.Name.rfind("Lst", 0) != 0)
            items.push_back(Make(t.Name));
    for (const char* a : {"Msg", "Msg_Empty", "Msg_Full", "Names[2]", "Label", "Labels[1]", "Tmr", "Cnt",
                          "Ctl", "Timers[2]", "Controls[1]"})
        items.push_back(Make(a));
    // Whole arrays with their element numbers.
    const std::pair<const char*, std::uint16_t> arrays[] = {{"ArrSint", 7},     {"ArrInt", 9},
                                                            {"ArrDint", 20},    {"ArrLint", 5},
                                                            {"ArrUsint", 6},    {"ArrUint", 6},
                                                            {"ArrUdint", 6},    {"ArrUlint", 4},
                                                            {"ArrReal", 8},     {"ArrLreal", 5},
                                                            {"ArrDate", 3},     {"ArrTime", 3},
                                                            {"ArrDt", 2},       {"Mat[1,0]", 4},
                                                            {"Cube", 24},       {"Big", 400},
                                                            {"Big[250]", 5},    {"Program:Main.Arr", 5},
                                                            {"Names", 4},       {"Timers", 3},
                                                            {"Counters", 2},    {"Controls", 2},
                                                            {"Labels", 3},      {"Words", 3},
                                                            {"Dwords", 12},     {"Tops", 3},
                                                            {"Top.Hist[1]", 2}, {"Tops[0].Mids[1].Vals", 3},
                                                            {"Cube[1,2,0]", 4}};
    for (const auto& [a, n] : arrays)
        items.push_back(Make(a, std::string(), n));
    for (const char* a : {"Mat[2,3]", "Cube[1,2,3]", "ArrDint[19]", "ArrUlint[0]", "Program:Main.Arr[4]"})
        items.push_back(Make(a));
    // BOOL arrays: one element is one bit; a whole read gives the bits of its words.
    for (const char* a :
         {"Alarms[0]", "Alarms[1]", "Alarms[31]", "Alarms[32]", "Alarms[33]", "Alarms[63]", "Alarms[95]"})
        items.push_back(Make(a));
    items.push_back(Make("Alarms"));
    items.push_back(Make("Alarms", std::string(), 3));
    items.push_back(Make("Dwords", std::string(), 2));
    // Bit parts and the BOOL data type.
    for (const char* a : {"Bits32#5", "Bits32#2:6", "Bits16#4:99", "Bits16#9:3", "Bits8#x", "Bits64#40:63"})
        items.push_back(Make(a));
    for (const char* a : {"Dint_R", "Lint_R", "Sint_R#2:5", "Int_R#x", "ArrDint[3].5", "ArrDint[4].2:40",
                          "ArrInt[1].9:3", "Int_Hi#15"})
        items.push_back(Make(a, std::string(), 1, 0xC1));
    items.push_back(Make("ArrDint[0]", std::string(), 3, 0xC1));
    // Structures, their members and members of array elements.
    for (const char* a : {"Top",
                          "Program:Main.TopP",
                          "Tops[1]",
                          "Tops[2].Mid.Leaf.Precise",
                          "Top.Mid.Leaves[1].Caption",
                          "Top.Mid.Hold",
                          "Top.Mid",
                          "Top.Text",
                          "Top.Texts[1]",
                          "Top.Run",
                          "Top.Mask",
                          "Top.Count",
                          "Top.Ctl",
                          "Top.Big",
                          "Top.Day",
                          "Top.Stamp",
                          "Top.Dur",
                          "Top.Mids[1].Leaves[0].Caption",
                          "Program:Main.TopP.Mid.Leaf.Caption",
                          "Tops[0].Mid.Go",
                          "Top.Mid.Flags",
                          "tops[2].MID.id",
                          "Top.Mid.Hold.PRE",
                          "Tops[1].Mid.Hold.DN"})
        items.push_back(Make(a));
    // Addresses that must fail, alone.
    for (const char* a :
         {"Missing_Tag", "Dint_Hi.Member", "Program:Nope.X", "Counts[", "Tag.", "ArrInt[99]", "Mat[1]",
          "Top.Nope", "Tops.Code", "Top[0]", "Tops[3]", "Top.Mid.Leaves[5]", "@1/1/99", "@1/1/1/99"})
        items.push_back(Make(a));
    items.push_back(Make("ArrInt[8]", std::string(), 3));
    // Identity attributes with a data type, and the product name as raw text.
    items.push_back(Make("@1/1/1", std::string("VENDOR"), 1, 0xC7));
    items.push_back(Make("@1/1/6", std::string("SERIAL"), 1, 0xC8));
    items.push_back(Make("@1/1/3", std::string(), 1, 0xC7));
    items.push_back(Make("@1/1/5", std::string(), 1, 0xC3));
    items.push_back(Make("@1/1/7"));
    items.push_back(Make("@1/1/7", std::string("PRODUCT"), 1, 0xDA));
    return items;
}

// Lists of addresses in one request: several Multiple Service Packets, bad
// addresses among good ones, attributes among symbols, fewer names than
// addresses.
std::vector<Item> LogixLists() {
    std::vector<Item> items;
    std::string l150, n150, big150, l60;
    for (int i = 0; i < 150; ++i) {
        char a[16], n[16];
        std::snprintf(a, sizeof a, "Lst%03d", i);
        std::snprintf(n, sizeof n, "V%03d", i);
        l150 += (i ? ";" : "") + std::string(a);
        n150 += (i ? ";" : "") + std::string(n);
        big150 += (i ? ";" : "") + std::string("Big[") + std::to_string(i) + "]";
        if (i < 60)
            l60 += (i ? ";" : "") + std::string(i == 30 ? "Nope_In_List;" : "") + a;
    }
    items.push_back(Make(l150, n150));
    items.push_back(Make(big150));
    items.push_back(Make(l60, std::string("A0;A1;A2;A3;A4;A5;A6;A7;A8;A9")));
    items.push_back(Make("Sint_Lo;Missing_A;Int_Lo"));
    items.push_back(Make("@1/1/7;Dint_Lo"));
    items.push_back(Make("Dint_Hi;@1/1/1", std::string(), 1, 0xC7));
    items.push_back(Make("@1/1/1/99;Udint_Hi"));
    items.push_back(Make("Lint_Lo;Counts[;Ulint_Hi"));
    items.push_back(Make(" Udint_Lo ; Usint_Hi ;;Uint_Hi"));
    items.push_back(Make("Tops[1].Code;Top.Mid.Leaf.Precise;Msg;Top.Mid.Leaves[0].Caption"));
    items.push_back(Make("Tops[2];Tmr;Alarms[33]"));
    items.push_back(Make("ArrDint[25];ArrDint[2]"));
    items.push_back(Make("ArrInt[2];ArrLint[3]", std::string(), 3));
    items.push_back(Make("Real_Third;Lreal_Third;Real_Tiny", std::string("R3;L3;RT")));
    return items;
}

// Names that would repeat: no Name element twice, SCADA[1] and SCADA[11] with
// eleven elements each, letter case, an explicit name equal to a default one.
std::vector<Item> LogixNames() {
    std::vector<Item> items;
    items.push_back(Make("Sint_Hi", std::nullopt));
    items.push_back(Make("Int_Hi", std::nullopt));
    items.push_back(Make("Dint_Hi", std::nullopt));
    items.push_back(Make("SCADA[1]", std::string(), 11));
    items.push_back(Make("SCADA[11]", std::string(), 11));
    items.push_back(Make("Usint_Hi"));
    items.push_back(Make("USINT_HI"));
    items.push_back(Make("Sint_Lo;Int_Lo;Dint_Lo", std::string("FIRST")));
    items.push_back(Make("Real_Tenth", std::string("ITEM")));
    items.push_back(Make("Lint_Hi", std::string("Lint_Hi")));
    items.push_back(Make("Lint_Lo", std::string("Low64")));
    return items;
}

std::vector<Item> LogixScaled() {
    std::vector<Item> items;
    items.push_back(Make("Dint_R", std::string("HALF"), 1, 0, 0.5));
    items.push_back(Make("Int_Lo", std::string(), 1, 0, 0.1));
    items.push_back(Make("ArrReal", std::string("R"), 3, 0, -2));
    items.push_back(Make("Ulint_Hi", std::string(), 1, 0, 2));
    items.push_back(Make("Real_Third", std::string(), 1, 0, 3));
    items.push_back(Make("Lreal_Tenth", std::string(), 1, 0, 10));
    items.push_back(Make("Sint_Lo;Int_Hi", std::string("S10;I10"), 1, 0, 10));
    items.push_back(Make("Bits32", std::string("BS"), 1, 0, 5));
    items.push_back(Make("Tops[2]", std::string("TS"), 1, 0, 2));
    items.push_back(Make("Msg", std::string("MS"), 1, 0, 2));
    items.push_back(Make("Day_Hi", std::string("DS"), 1, 0, 2));
    return items;
}

void BuildMicro800(Gen& g, Device& d) {
    d.Personality = Device::Family::Micro800;
    d.ProductName = "Simulated Micro800";
    d.Tags.push_back(Scalar("M_Sint", Atom::Sint, Raw(0x80)));
    d.Tags.push_back(Scalar("M_Int", Atom::Int, Raw(0x7FFF)));
    d.Tags.push_back(Scalar("M_Dint", Atom::Dint, g.Atomic(Atom::Dint)));
    d.Tags.push_back(Scalar("M_Lint", Atom::Lint, Raw(0x8000000000000000)));
    d.Tags.push_back(Scalar("M_Usint", Atom::Usint, Raw(0xFF)));
    d.Tags.push_back(Scalar("M_Uint", Atom::Uint, g.Atomic(Atom::Uint)));
    d.Tags.push_back(Scalar("M_Udint", Atom::Udint, Raw(0xFFFFFFFF)));
    d.Tags.push_back(Scalar("M_Ulint", Atom::Ulint, Raw(0xFFFFFFFFFFFFFFFF)));
    d.Tags.push_back(Scalar("M_Real", Atom::Real, Float(0.1f)));
    d.Tags.push_back(Scalar("M_Lreal", Atom::Lreal, g.Atomic(Atom::Lreal)));
    d.Tags.push_back(Scalar("M_Bool", Atom::Bool, Raw(1)));
    d.Tags.push_back(Scalar("M_Text", Atom::SString, Text(g.Text(30))));
    d.Tags.push_back(Array(g, "Trend", A(Atom::Dint), {300}));
    d.Tags.push_back(Array(g, "Reals", A(Atom::Real), {50}));
}

std::vector<Item> Micro800Items(const Device& d) {
    std::vector<Item> items;
    for (const Tag& t : d.Tags)
        if (t.Dims.empty())
            items.push_back(Make(t.Name));
    items.push_back(Make("Trend", std::string(), 300));
    items.push_back(Make("Trend[250]", std::string(), 5));
    items.push_back(Make("Reals", std::string(), 50));
    items.push_back(Make("Trend[7]"));
    items.push_back(Make("M_Missing"));
    items.push_back(Make("Trend[300]"));
    return items;
}

void BuildMicroLogix(Gen& g, Device& d) {
    d.Personality = Device::Family::MicroLogix;
    d.ProductName = "Simulated MicroLogix 1400";
    auto words = [&](char letter, unsigned number, std::size_t n) {
        DataFile f;
        f.Letter = letter;
        f.Number = number;
        for (std::size_t i = 0; i < n; ++i)
            f.Words.push_back(static_cast<std::uint32_t>(g.Bits() & 0xFFFF));
        return f;
    };
    DataFile n7 = words('N', 7, 20);
    n7.Words[0] = 0x8000;
    n7.Words[1] = 0x7FFF;
    d.Files.push_back(n7);
    DataFile f8;
    f8.Letter = 'F';
    f8.Number = 8;
    for (const float v :
         {0.1f, -1.5f, std::numeric_limits<float>::max(), 1.0f / 3.0f, g.Single(), g.Single()})
        f8.Words.push_back(std::bit_cast<std::uint32_t>(v));
    d.Files.push_back(f8);
    d.Files.push_back(words('B', 3, 4));
    DataFile l9;
    l9.Letter = 'L';
    l9.Number = 9;
    for (const std::uint32_t v : {0x80000000u, 0x7FFFFFFFu, static_cast<std::uint32_t>(g.Bits()),
                                  static_cast<std::uint32_t>(g.Bits())})
        l9.Words.push_back(v);
    d.Files.push_back(l9);
    for (const auto& [letter, number] : {std::pair{'T', 4u}, std::pair{'C', 5u}, std::pair{'R', 6u}}) {
        DataFile f;
        f.Letter = letter;
        f.Number = number;
        for (int e = 0; e < 3; ++e) {
            f.Words.push_back(static_cast<std::uint32_t>(g.Bits() & 0xFF00)); // status bits in the high byte
            f.Words.push_back(static_cast<std::uint32_t>(g.Range(0, 32767)));
            f.Words.push_back(static_cast<std::uint32_t>(g.Bits() & 0xFFFF));
        }
        d.Files.push_back(f);
    }
}

std::vector<Item> MicroLogixItems() {
    std::vector<Item> items;
    for (const char* a : {"N7:0",     "N7:1",     "N7:19",   "F8:0",    "F8:2",    "B3:1",    "B3:0/2",
                          "B3:1/15",  "B3/17",    "B3/35",   "N7:3/3",  "L9:0",    "L9:1",    "T4:1",
                          "T4:1.PRE", "T4:1.ACC", "T4:1.EN", "T4:1.TT", "T4:1.DN", "C5:1",    "C5:1.PRE",
                          "C5:1.ACC", "C5:1.CU",  "C5:1.CD", "C5:1.DN", "C5:1.OV", "C5:1.UN", "R6:0",
                          "R6:1.LEN", "R6:1.POS", "R6:1.EN", "R6:1.EU", "R6:1.DN", "R6:1.EM", "R6:1.ER",
                          "R6:1.UL",  "R6:1.IN",  "R6:1.FD", "N7:50",   "N99:0",   "X9:0",    "T4:9.PRE"})
        items.push_back(Make(a));
    const std::pair<const char*, std::uint16_t> arrays[] = {
        {"N7:5", 3}, {"F8:2", 4}, {"L9:2", 2}, {"T4:0", 3}, {"N7:18", 5}};
    for (const auto& [a, n] : arrays)
        items.push_back(Make(a, std::string(), n));
    items.push_back(Make("N7:4", std::string("N7S"), 1, 0, 0.5));
    return items;
}

// Each item into the first group that takes it (`fits`, and no name next to
// the group's items that the export rules leave open), else into a new group
// made by `make`; `add` puts an item into its group.
template <class Group, class Fits, class Make, class Add>
std::vector<Group> Place(const Device& device, const std::vector<Item>& items, Fits fits, Make make,
                         Add add) {
    std::vector<Group> groups;
    std::vector<std::unique_ptr<SourceBuilder>> builders;
    for (const Item& item : items) {
        std::size_t i = 0;
        for (; i < groups.size(); ++i) {
            if (!fits(groups[i], item))
                continue;
            try {
                builders[i]->Add(item);
                break;
            } catch (const std::logic_error&) {
            }
        }
        if (i == groups.size()) {
            groups.push_back(make(groups.size() + 1, item));
            builders.push_back(std::make_unique<SourceBuilder>(device, Reader::Engine));
            builders.back()->Add(item); // throws for an item the rules leave open on its own
        }
        add(groups[i], item);
    }
    return groups;
}

// Items into data sources of at most `most` items whose names do not repeat.
std::vector<Source> Pack(const Device& device, const std::vector<Item>& items, const std::string& prefix,
                         std::size_t most) {
    return Place<Source>(
        device, items, [&](const Source& s, const Item&) { return s.Items.size() < most; },
        [&](std::size_t n, const Item&) {
            Source s;
            s.Name = prefix + std::to_string(n);
            s.Family = device.Personality;
            return s;
        },
        [](Source& s, const Item& item) { s.Items.push_back(item); });
}

// One qorhost read per group of addresses of the same element count whose
// names do not repeat; failing addresses only in the batch made for them.
std::vector<ReadBatch> Batches(const Device& device, const std::vector<Item>& items,
                               const std::string& prefix) {
    std::vector<Item> readable;
    for (const Item& item : items)
        // Failing addresses are read by the lists and the failure batch.
        if (item.DataType == 0 && item.Scale == 1 && item.Names && item.Names->empty() &&
            SplitAddresses(item.Address).size() == 1 &&
            SourceBuilder(device, Reader::Engine).Add(item).Addresses[0].Ok)
            readable.push_back(item);
    return Place<ReadBatch>(
        device, readable,
        [](const ReadBatch& b, const Item& item) {
            return b.Number == item.Number && b.Addresses.size() < 40;
        },
        [&](std::size_t n, const Item& item) {
            ReadBatch b;
            b.Name = prefix + std::to_string(n);
            b.Family = device.Personality;
            b.Number = item.Number;
            return b;
        },
        [](ReadBatch& b, const Item& item) { b.Addresses.push_back(item.Address); });
}

} // namespace

std::vector<Item> ReadBatch::AsItems() const {
    std::vector<Item> items;
    for (const std::string& a : Addresses) {
        Item i = Make(a, std::string(), Number);
        i.Caption = a;
        items.push_back(std::move(i));
    }
    return items;
}

const Device& Table::DeviceOf(Device::Family f) const {
    return f == Device::Family::Micro800 ? Micro800 : f == Device::Family::MicroLogix ? MicroLogix : Logix;
}

std::string SourceType(Device::Family f) {
    static const char* const types[] = {"Ethernet/IP", "Ethernet/IP [AB Micro 800]",
                                        "Ethernet/IP [MicroLogix 1400]"};
    return types[static_cast<std::size_t>(f)];
}

std::string FamilyName(Device::Family f) {
    static const char* const names[] = {"logix", "micro800", "micrologix"};
    return names[static_cast<std::size_t>(f)];
}

Table Generate(std::uint64_t seed) {
    Table t;
    t.Seed = seed;
    Gen g(seed);
    BuildLogix(g, t.Logix);
    BuildMicro800(g, t.Micro800);
    BuildMicroLogix(g, t.MicroLogix);

    const std::vector<Item> logix = LogixItems(t.Logix);
    const std::vector<Item> m800 = Micro800Items(t.Micro800);
    const std::vector<Item> ml = MicroLogixItems();
    auto add = [&](std::vector<Source> sources) {
        for (Source& s : sources)
            t.Sources.push_back(std::move(s));
    };
    add(Pack(t.Logix, logix, "logix", 40));
    add(Pack(t.Logix, LogixLists(), "lists", 20));
    Source names;
    names.Name = "names";
    names.Items = LogixNames();
    ComputeTruth(t.Logix, names.Items, Reader::Engine);
    t.Sources.push_back(names);
    add(Pack(t.Logix, LogixScaled(), "scaled", 20));
    // One packet for all items: names stay unique across them.
    Source combined;
    combined.Name = "combined";
    combined.ExportAll = true;
    combined.Items = {Make("Sint_Hi", std::nullopt), Make("Int_Hi", std::nullopt), Make("Dint_Lo"),
                      Make("Real_Tenth;Nope_Combined"), Make("Msg", std::string("ITEM"))};
    ComputeTruth(t.Logix, combined.Items, Reader::Engine);
    t.Sources.push_back(combined);
    add(Pack(t.Micro800, m800, "micro800-", 40));
    add(Pack(t.MicroLogix, ml, "micrologix-", 60));
    // Captions name the items in the packets (EIP_REQ): unique in the run.
    std::size_t n = 0;
    for (Source& s : t.Sources)
        for (Item& i : s.Items) {
            char caption[16];
            std::snprintf(caption, sizeof caption, "R%04zu", ++n);
            i.Caption = caption;
            i.Route = s.Family == Device::Family::Logix ? "0" : "";
        }

    auto addBatches = [&](std::vector<ReadBatch> batches) {
        for (ReadBatch& b : batches)
            t.Reads.push_back(std::move(b));
    };
    addBatches(Batches(t.Logix, logix, "logix-read-"));
    addBatches(Batches(t.Micro800, m800, "micro800-read-"));
    addBatches(Batches(t.MicroLogix, ml, "micrologix-read-"));
    t.ToolLists = {"Sint_Lo;Missing_A;Int_Lo", "Tops[1].Code;Top.Mid.Leaf.Precise;Msg;Tmr;Alarms[33]",
                   "@1/1/7;Dint_Lo;Counts[;Ulint_Hi"};
    return t;
}

} // namespace truth
