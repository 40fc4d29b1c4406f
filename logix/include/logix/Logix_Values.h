// The values of a read under their names: the one place where a decoded tag
// becomes the named values that data packets, the tool's output and the table
// show. Every type the Logix layer decodes is covered: atomic values with
// their full ranges, bits, strings, dates and durations, the predefined
// structures, user types nested to any depth, and arrays of all of them.
//
// Names are built from the address's export name (its stem):
//   elements     stem + k (1-based) when the request reads Number > 1 elements
//   bits         name + b (0-based); with Number >= 10, name + "_" + b
//   members      name + "." + member, nested with full dotted names; elements
//                of structure arrays inside a structure as [i] (0-based)
// so that no two values of one address share a name.
#pragma once

#include "logix/Logix_Types.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace logix {

class TLogixTag;

// One value of a read under its name. Atomic array members of a structure are
// one array value; everything else is a single value.
struct TLogixValue {
    std::string Name;
    Variant Value;

    friend bool operator==(const TLogixValue&, const TLogixValue&) = default;
};

// How the values of one address are named and shaped.
struct TLogixNaming {
    std::string Stem;            // the address's export name
    std::uint16_t Number = 1;    // elements the request reads; above 1 the names are numbered
    bool AllElements = true;     // every element read; false: only the first (one of several addresses)
    bool ElementSeparator = false; // "_" between the stem and the element numbers
    std::string BitPart;         // the bits a bit string or integer gives ("5", "2:5"; empty: all)
    bool IntegerBits = false;    // integer elements as their bits (the request's type is BOOL)
    double Scale = 1;            // numbers of the tag's own elements are multiplied (then floating point)
    // TIMER, COUNTER and CONTROL tags as their members (stem.PRE, stem.ACC,
    // ...) instead of their counting value alone (ACC, ACC, POS).
    bool StructureMembers = false;
};

// The named values of a decoded tag. Raises nothing: a value the tag does not
// hold is left out.
std::vector<TLogixValue> FlattenTag(const TLogixTag& tag, const TLogixNaming& naming);

// The export name of an address when none is configured, one per ";" address
// (separated by CR): the characters a name cannot hold (" ' * + / : ; < = > ?
// [ ] \ |) are removed, and a name that starts with a device name of the file
// system (com, lpt, con, aux, prn, nul) gets a "_" in front.
std::string ExportNameFromAddress(std::string_view address);

} // namespace logix
