// Request paths (IOI) as the device reads them: logical class, instance,
// attribute, member/element and connection-point segments, ANSI extended
// symbolic segments, electronic keys and port segments.
#pragma once

#include "sim/SimBytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct PathSegment {
    enum class Kind : std::uint8_t {
        Port, // Value = port number, Link = link address bytes
        Class,
        Instance,
        Element, // logical member id segment 0x28/0x29/0x2A: an array subscript after a symbol
        ConnectionPoint,
        Attribute,
        Key,      // electronic key (skipped)
        Symbolic, // Name
    };
    Kind SegmentKind = Kind::Class;
    std::uint32_t Value = 0;
    std::string Name;
    Bytes Link;
};

// Parses a whole padded path. Returns nothing when a segment is unknown,
// reserved or runs past the end (a device answers that with 0x04, or for a
// route with extended status 0x0315).
std::optional<std::vector<PathSegment>> ParsePath(ByteView path);

} // namespace sim
