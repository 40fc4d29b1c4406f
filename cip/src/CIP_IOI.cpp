#include "cip/CIP_IOI.h"

#include "common/qorStrUtils.h"

#include <charconv>
#include <optional>

namespace cip {

using namespace eip;
using qor::Trim;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A signed 32-bit decimal number, the whole text; nothing otherwise.
std::optional<std::int32_t> ParseInt32(std::string_view s) {
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    if (s.empty())
        return std::nullopt;
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

// An 8-bit form (code, value), a 16-bit form (code + 1, pad, value) and a
// 32-bit form (code + 2, pad, value) when the segment has one.
TPacketDataArray LogicalSegment(std::uint8_t code, std::uint32_t value, bool has32) {
    TPacketDataArray bytes;
    if (value < 0x100) {
        AppendByte(bytes, code);
        AppendByte(bytes, static_cast<std::uint8_t>(value));
    } else if (value < 0x10000) {
        AppendByte(bytes, static_cast<std::uint8_t>(code + 1));
        AppendByte(bytes, 0);
        AppendUInt16(bytes, static_cast<std::uint16_t>(value));
    } else if (has32) {
        AppendByte(bytes, static_cast<std::uint8_t>(code + 2));
        AppendByte(bytes, 0);
        AppendUInt32(bytes, value);
    }
    return bytes;
}

TPacketDataArray FromText(std::string_view number, TPacketDataArray (*segment)(std::uint32_t)) {
    const auto value = ParseInt32(Trim(number));
    if (!value || *value < 0)
        return {};
    return segment(static_cast<std::uint32_t>(*value));
}

} // namespace

TIOISegments TIOI::Tokenize(std::string_view address) {
    // Every piece of the text must land in a segment: an address that is cut
    // short ("Counts[", "Motor.") or carries stray characters is invalid as a
    // whole, never read as the shorter address in front of the fault.
    TIOISegments tokens;
    TIOISegmentKind kind = TIOISegmentKind::Symbolic;
    std::string text;
    // What the last character closed: nothing yet, a name, a subscript list
    // (']'), or a member separator ('.') still waiting for its name.
    enum class Last { Start, Name, Subscript, Dot, At } last = Last::Start;
    const auto add = [&](TIOISegmentKind k) {
        if (!text.empty())
            tokens.push_back({k, text});
        text.clear();
    };
    for (const char c : address) {
        if (kind == TIOISegmentKind::ElementList) {
            if (c == ']') {
                if (text.empty() || text.back() == ',')
                    return {};
                add(TIOISegmentKind::ElementList);
                last = Last::Subscript;
                kind = TIOISegmentKind::Symbolic;
            } else if (IsDigit(c) || (c == ',' && !text.empty() && text.back() != ',')) {
                text += c;
            } else {
                return {};
            }
            continue;
        }
        switch (c) {
        case '@':
            if (last != Last::Start)
                return {};
            kind = TIOISegmentKind::Logical;
            last = Last::At;
            break;
        case '.':
            // A member follows a name or a subscript ("Motors[1].Speed").
            if (kind == TIOISegmentKind::Logical || (last != Last::Name && last != Last::Subscript))
                return {};
            add(kind);
            last = Last::Dot;
            break;
        case '[':
            if (kind == TIOISegmentKind::Logical || last != Last::Name)
                return {};
            add(kind);
            kind = TIOISegmentKind::ElementList;
            break;
        case ']':
        case ',':
            return {};
        default:
            if ((static_cast<unsigned char>(c) < ' ' || c == 0x7F) ||
                (c == ' ' && kind != TIOISegmentKind::Logical))
                return {};
            // A member written straight after a subscript ("Tag[1]Member").
            text += c;
            if (kind != TIOISegmentKind::Logical)
                last = Last::Name;
            break;
        }
    }
    if (kind == TIOISegmentKind::ElementList || last == Last::Dot || (last == Last::At && text.empty()))
        return {};
    add(kind);
    return tokens;
}

TPacketDataArray TIOI::BuildPath(std::string_view address) {
    TPacketDataArray path;
    for (const auto& token : Tokenize(address)) {
        TPacketDataArray bytes;
        switch (token.Kind) {
        case TIOISegmentKind::Symbolic:
            bytes = SymbolicSegment(token.Text);
            break;
        case TIOISegmentKind::ElementList:
            bytes = ElementSegments(token.Text);
            break;
        case TIOISegmentKind::Logical:
            bytes = LogicalPath(token.Text);
            break;
        }
        if (bytes.empty())
            return {};
        AppendArray(path, bytes);
    }
    return path;
}

TPacketDataArray TIOI::SymbolicSegment(std::string_view name) {
    const std::size_t n = name.size();
    // The length byte counts at most 255 characters: a longer name cannot be
    // encoded (a wrapped count would name another tag).
    if (n > 0xFF)
        return {};
    TPacketDataArray bytes;
    NewZeroedArray(n + 2 + n % 2, bytes);
    bytes[0] = 0x91;
    bytes[1] = static_cast<std::uint8_t>(n);
    CopyFromMemory(name.data(), static_cast<std::int64_t>(n), 0, static_cast<std::int64_t>(n), 2, bytes);
    return bytes;
}

TPacketDataArray TIOI::ElementSegments(std::string_view numbers) {
    TPacketDataArray bytes;
    for (;;) {
        const std::size_t comma = numbers.find(',');
        const auto value = ParseInt32(numbers.substr(0, comma));
        if (!value)
            return {};
        AppendArray(bytes, ElementSegment(static_cast<std::uint32_t>(*value)));
        if (comma == std::string_view::npos)
            break;
        numbers.remove_prefix(comma + 1);
    }
    return bytes;
}

TPacketDataArray TIOI::ClassSegment(std::string_view number) {
    return FromText(number, static_cast<TPacketDataArray (*)(std::uint32_t)>(&TIOI::ClassSegment));
}
TPacketDataArray TIOI::InstanceSegment(std::string_view number) {
    return FromText(number, static_cast<TPacketDataArray (*)(std::uint32_t)>(&TIOI::InstanceSegment));
}
TPacketDataArray TIOI::AttributeSegment(std::string_view number) {
    return FromText(number, static_cast<TPacketDataArray (*)(std::uint32_t)>(&TIOI::AttributeSegment));
}

TPacketDataArray TIOI::ElementSegment(std::uint32_t value) { return LogicalSegment(0x28, value, true); }
TPacketDataArray TIOI::ClassSegment(std::uint32_t value) { return LogicalSegment(0x20, value, false); }
TPacketDataArray TIOI::InstanceSegment(std::uint32_t value) { return LogicalSegment(0x24, value, true); }
TPacketDataArray TIOI::AttributeSegment(std::uint32_t value) { return LogicalSegment(0x30, value, false); }

TPacketDataArray TIOI::LogicalPath(std::string_view text) {
    // Exactly class/instance/attribute: a fourth number, or a missing one,
    // makes the address invalid rather than another attribute.
    TPacketDataArray bytes;
    for (int part = 0; part < 3; ++part) {
        const std::size_t slash = text.find('/');
        if ((part < 2) == (slash == std::string_view::npos))
            return {};
        const std::string_view piece = Trim(text.substr(0, slash));
        const TPacketDataArray segment = part == 0   ? ClassSegment(piece)
                                         : part == 1 ? InstanceSegment(piece)
                                                     : AttributeSegment(piece);
        if (segment.empty())
            return {};
        AppendArray(bytes, segment);
        if (slash != std::string_view::npos)
            text.remove_prefix(slash + 1);
    }
    return bytes;
}

} // namespace cip
