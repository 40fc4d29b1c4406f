// The read-address syntax of a request item: one text that names symbolic tags
// (Tag, Tag[3], Tag[1,2], Tag.Member[4], Tag[1]Member, Program:Main.Tag) and
// CIP attributes (@class/instance/attribute), several of them separated by ";".
#pragma once

#include <cstdint>
#include <string>
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

} // namespace logix
