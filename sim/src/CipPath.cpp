#include "sim/CipPath.h"

namespace sim {
namespace {

// Logical segment: 001 type(3 bits) format(2 bits). Formats: 0 8-bit,
// 1 16-bit, 2 32-bit; the wider forms carry a pad byte before the value.
bool ReadLogical(ByteReader& r, std::uint8_t segment, std::uint32_t& value) {
    switch (segment & 0x03) {
    case 0:
        value = r.U8();
        return true;
    case 1:
        r.Skip(1);
        value = r.U16();
        return true;
    case 2:
        r.Skip(1);
        value = r.U32();
        return true;
    default:
        return false;
    }
}

} // namespace

std::optional<std::vector<PathSegment>> ParsePath(ByteView path) {
    std::vector<PathSegment> segments;
    ByteReader r(path);
    try {
        while (!r.AtEnd()) {
            const std::uint8_t segment = r.U8();
            PathSegment s;
            if ((segment & 0xE0) == 0x00) {
                // Port segment: port id in the low nibble (15 = a 16-bit port
                // follows), bit 4 set when the link address has a size byte.
                s.SegmentKind = PathSegment::Kind::Port;
                const bool longLink = (segment & 0x10) != 0;
                std::size_t linkSize = 1;
                if (longLink) {
                    linkSize = r.U8();
                }
                s.Value = segment & 0x0F;
                if (s.Value == 0x0F) {
                    s.Value = r.U16();
                }
                if (linkSize == 0) {
                    return std::nullopt;
                }
                ByteView link = r.Take(linkSize);
                s.Link.assign(link.begin(), link.end());
                if (longLink && (linkSize % 2) != 0) {
                    r.Skip(1);
                }
            } else if (segment == 0x91) {
                s.SegmentKind = PathSegment::Kind::Symbolic;
                const std::uint8_t n = r.U8();
                if (n == 0) {
                    return std::nullopt;
                }
                ByteView name = r.Take(n);
                s.Name.assign(name.begin(), name.end());
                if (n % 2 != 0) {
                    r.Skip(1);
                }
            } else if (segment == 0x34) {
                // Electronic key: key format 4 and eight bytes of key data.
                s.SegmentKind = PathSegment::Kind::Key;
                if (r.U8() != 0x04) {
                    return std::nullopt;
                }
                r.Skip(8);
            } else if ((segment & 0xE0) == 0x20) {
                switch ((segment >> 2) & 0x07) {
                case 0:
                    s.SegmentKind = PathSegment::Kind::Class;
                    break;
                case 1:
                    s.SegmentKind = PathSegment::Kind::Instance;
                    break;
                case 2:
                    s.SegmentKind = PathSegment::Kind::Element;
                    break;
                case 3:
                    s.SegmentKind = PathSegment::Kind::ConnectionPoint;
                    break;
                case 4:
                    s.SegmentKind = PathSegment::Kind::Attribute;
                    break;
                default:
                    return std::nullopt;
                }
                if (!ReadLogical(r, segment, s.Value)) {
                    return std::nullopt;
                }
                // A 32-bit class or attribute id is reserved.
                if ((segment & 0x03) == 2 && (s.SegmentKind == PathSegment::Kind::Class ||
                                              s.SegmentKind == PathSegment::Kind::Attribute)) {
                    return std::nullopt;
                }
            } else {
                return std::nullopt;
            }
            segments.push_back(std::move(s));
        }
    } catch (const ETruncated&) {
        return std::nullopt;
    }
    return segments;
}

} // namespace sim
