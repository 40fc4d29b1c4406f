// The read-address syntax of a request item: one text that names symbolic tags
// (Tag, Tag[3], Tag[1,2], Tag.Member[4], Tag[1]Member, Program:Main.Tag) and
// CIP attributes (@class/instance/attribute), several of them separated by ";".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

namespace logix {

enum class TLogixAddressKind : std::uint8_t {
    Symbolic,
    Attribute,
};

struct TLogixAddress {
    TLogixAddressKind Kind = TLogixAddressKind::Symbolic;
    std::string Text; // trimmed

    friend bool operator==(const TLogixAddress&, const TLogixAddress&) = default;
};

// An item is an attribute address when it starts with "@" and has at least two
// "/" after it; "@1/1" is read as a symbolic name.
bool IsAttributeAddress(std::string_view item);

// The address text cut at ";", each item trimmed, empty items dropped, in the
// order written.
std::vector<TLogixAddress> SplitAddresses(std::string_view text);
// How many addresses SplitAddresses finds in text.
std::size_t CountAddresses(std::string_view text);

// The symbolic and attribute addresses of a text, each in written order: how
// the engine groups them into reads (the symbolic ones first, as one Read Tag or
// one Multiple Service Packet, then each attribute).
struct TLogixAddressSplit {
    std::vector<std::string> Symbolic;
    std::vector<std::string> Attributes;
};
TLogixAddressSplit SplitAddressText(std::string_view text);

// The tag's own name without members and indexes: "Motor" of "Motor.Speed[2]",
// "Program:Main.Motor" of "Program:Main.Motor[1].Speed".
std::string_view BaseTagName(std::string_view address);

// The first member name below the tag ("Speed" of "Motor.Speed[2]"), cut at
// its first "["; empty when there is none.
std::string_view FirstMemberName(std::string_view address);

// (base address, bit part) of an address whose end selects bits: "Tag#5" and
// "Tag#2:5" (after "#"), "Tag[3].5" and "Counter.5" (a trailing "." and a bit
// number or range). A member name after the index ("Motors[1].Speed") is no
// bit part: the address is read whole. Without a bit part: (address, "").
std::pair<std::string, std::string> SplitBitSpec(std::string_view address);

// The addresses of a text in the order written, each with what is read (the
// address without its bit part) and the bit part.
struct TLogixAddressBits {
    std::string Written; // trimmed, as the user wrote it
    std::string Base;
    std::string BitPart;
};
std::vector<TLogixAddressBits> SplitAddressBits(std::string_view text);

// The bits a bit part selects in a value of width bits, as (first, last): "5"
// bit 5, "2:5" bits 2 to 5, "5:2" bit 5, "4:99" bits 4 to width - 1; empty or
// unreadable: all bits.
std::pair<std::uint32_t, std::uint32_t> ParseBitRange(std::string_view bitPart, std::uint32_t width);

// Why an address cannot be read as written (an unclosed subscript, a member
// name missing, an attribute address without exactly class/instance/attribute),
// or nothing when it can. Checked before anything is sent.
std::optional<std::string> AddressError(std::string_view address);

// The route of a device path text: each piece between "," and ";" a number
// 0..255 (one route byte); blank pieces are skipped. Nothing when a piece is
// not such a number ("1,300", "1,x"): a route is never shortened.
std::optional<std::vector<std::uint8_t>> ParseRoute(std::string_view text);

// A single subscript straight after the tag name ("Alarms[33]" gives
// ("Alarms", 33)); nothing for other addresses.
std::optional<std::pair<std::string, std::uint32_t>> SingleSubscript(std::string_view address);

} // namespace logix
