// IOI paths: turning a tag address text into CIP path segments (symbolic names,
// array subscripts, class/instance/attribute), and the fixed object paths.
//
// Nothing here raises: a text that cannot be encoded gives an empty path, which
// the request classes refuse when packed ("Request_Path cannot be null").
#pragma once

#include "eip/EIP_Conversion.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cip {

using eip::TPacketDataArray;

enum class TIOISegmentKind : std::uint8_t {
    Symbolic = 0x91,
    ElementList = 0x28, // decimal numbers separated by commas
    Logical = 0x20,     // up to three numbers separated by '/'
};

struct TIOISegment {
    TIOISegmentKind Kind = TIOISegmentKind::Symbolic;
    std::string Text;

    friend bool operator==(const TIOISegment&, const TIOISegment&) = default;
};
using TIOISegments = std::vector<TIOISegment>;

// The fixed object paths (class, instance).
inline constexpr std::array<std::uint8_t, 4> ConnectionManagerPath{0x20, 0x06, 0x24, 0x01};
inline constexpr std::array<std::uint8_t, 4> MessageRouterPath{0x20, 0x02, 0x24, 0x01};
inline constexpr std::array<std::uint8_t, 4> PCCCObjectPath{0x20, 0x67, 0x24, 0x01};
inline constexpr std::array<std::uint8_t, 4> IdentityObjectPath{0x20, 0x01, 0x24, 0x01};

inline TPacketDataArray ToArray(const std::array<std::uint8_t, 4>& path) {
    return TPacketDataArray(path.begin(), path.end());
}

class TIOI {
public:
    // The address split into names, element lists and logical paths; empty when
    // the address is invalid.
    static TIOISegments Tokenize(std::string_view address);
    // The packed path of the address; empty when it cannot be encoded.
    static TPacketDataArray BuildPath(std::string_view address);

    static TPacketDataArray SymbolicSegment(std::string_view name);
    static TPacketDataArray ElementSegments(std::string_view numbers);
    static TPacketDataArray ClassSegment(std::string_view number);
    static TPacketDataArray InstanceSegment(std::string_view number);
    static TPacketDataArray AttributeSegment(std::string_view number);
    static TPacketDataArray LogicalPath(std::string_view text);

    // The same segments from numbers (compared as unsigned 32-bit values).
    static TPacketDataArray ElementSegment(std::uint32_t value);
    static TPacketDataArray ClassSegment(std::uint32_t value);
    static TPacketDataArray InstanceSegment(std::uint32_t value);
    static TPacketDataArray AttributeSegment(std::uint32_t value);
};

} // namespace cip
