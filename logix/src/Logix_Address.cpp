#include "logix/Logix_Address.h"

#include "cip/CIP_IOI.h"
#include "common/qorStrUtils.h"

#include <algorithm>
#include <charconv>

namespace logix {

bool IsAttributeAddress(std::string_view item) {
    if (item.empty() || item.front() != '@')
        return false;
    return std::count(item.begin() + 1, item.end(), '/') >= 2;
}

std::vector<TLogixAddress> SplitAddresses(std::string_view text) {
    std::vector<TLogixAddress> items;
    items.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), ';')) + 1);
    for (;;) {
        const std::size_t semicolon = text.find(';');
        const std::string_view item = qor::Trim(text.substr(0, semicolon));
        if (!item.empty())
            items.push_back(
                {IsAttributeAddress(item) ? TLogixAddressKind::Attribute : TLogixAddressKind::Symbolic,
                 std::string(item)});
        if (semicolon == std::string_view::npos)
            break;
        text.remove_prefix(semicolon + 1);
    }
    return items;
}

std::size_t CountAddresses(std::string_view text) {
    std::size_t count = 0;
    for (;;) {
        const std::size_t semicolon = text.find(';');
        if (!qor::Trim(text.substr(0, semicolon)).empty())
            ++count;
        if (semicolon == std::string_view::npos)
            return count;
        text.remove_prefix(semicolon + 1);
    }
}

TLogixAddressSplit SplitAddressText(std::string_view text) {
    TLogixAddressSplit split;
    for (auto& item : SplitAddresses(text))
        (item.Kind == TLogixAddressKind::Attribute ? split.Attributes : split.Symbolic)
            .push_back(std::move(item.Text));
    return split;
}

namespace {

// Where the tag name ends: a program-scoped name ("Program:Main.Tag") runs to
// the second ".", any other to the first.
std::size_t TagNameEnd(std::string_view address) {
    std::size_t from = 0;
    if (address.size() > 8 && qor::SameText(address.substr(0, 8), "Program:")) {
        from = address.find('.');
        if (from == std::string_view::npos)
            return address.size();
        ++from;
    }
    const std::size_t end = address.find_first_of(".[", from);
    return end == std::string_view::npos ? address.size() : end;
}

} // namespace

std::string_view BaseTagName(std::string_view address) {
    return address.substr(0, TagNameEnd(address));
}

std::string_view FirstMemberName(std::string_view address) {
    const std::size_t dot = address.find('.', TagNameEnd(address));
    if (dot == std::string_view::npos)
        return {};
    std::string_view member = address.substr(dot + 1);
    member = member.substr(0, member.find('.'));
    return member.substr(0, member.find('['));
}

namespace {

bool IsDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "5" or "2:5": a bit number, or a range of them.
bool IsBitPart(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return IsDigits(text);
    return IsDigits(text.substr(0, colon)) && IsDigits(text.substr(colon + 1));
}

} // namespace

std::pair<std::string, std::string> SplitBitSpec(std::string_view address) {
    for (std::size_t i = address.size(); i-- > 0;) {
        const char c = address[i];
        if (c == '#') {
            if (i == 0)
                break;
            return {std::string(address.substr(0, i)), std::string(address.substr(i + 1))};
        }
        if (c == ']') {
            std::string_view bits = address.substr(i + 1);
            if (bits.empty())
                break;
            if (bits.front() == '.')
                bits.remove_prefix(1);
            // "Tag[3].5" selects bit 5; "Motors[1].Speed" is a member.
            if (IsBitPart(bits))
                return {std::string(address.substr(0, i + 1)), std::string(bits)};
            break;
        }
        if (c == '.') {
            const std::string_view bits = address.substr(i + 1);
            if (i > 0 && IsBitPart(bits))
                return {std::string(address.substr(0, i)), std::string(bits)};
            break;
        }
    }
    return {std::string(address), {}};
}

std::vector<TLogixAddressBits> SplitAddressBits(std::string_view text) {
    std::vector<TLogixAddressBits> addresses;
    for (auto& address : SplitAddresses(text)) {
        auto [base, bits] = SplitBitSpec(address.Text);
        addresses.push_back({std::move(address.Text), std::move(base), std::move(bits)});
    }
    return addresses;
}

std::pair<std::uint32_t, std::uint32_t> ParseBitRange(std::string_view bitPart, std::uint32_t width) {
    if (width == 0)
        return {0, 0};
    std::uint32_t first = 0, last = width - 1;
    if (bitPart.empty())
        return {first, last};
    const auto field = [](std::string_view text, std::uint32_t& value) {
        text = qor::Trim(text);
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
    };
    const std::size_t colon = bitPart.find(':');
    std::uint32_t value = 0;
    if (!field(bitPart.substr(0, colon), value) || value >= width)
        return {first, last};
    first = value;
    if (colon == std::string_view::npos)
        return {first, first};
    last = field(bitPart.substr(colon + 1), value) && value < width ? value : width - 1;
    if (last < first)
        last = first;
    return {first, last};
}

std::optional<std::string> AddressError(std::string_view address) {
    if (address.empty())
        return "empty address";
    if (address.front() == '@' && !IsAttributeAddress(address))
        return std::string("\"") + std::string(address) + "\": an attribute address is @class/instance/attribute";
    if (cip::TIOI::BuildPath(address).empty()) {
        if (IsAttributeAddress(address))
            return std::string("\"") + std::string(address) +
                   "\": an attribute address is @class/instance/attribute, each a number in range";
        return std::string("\"") + std::string(address) + "\" does not read as a tag address";
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ParseRoute(std::string_view text) {
    std::vector<std::uint8_t> route;
    for (;;) {
        const std::size_t end = text.find_first_of(",;");
        const std::string_view piece = qor::Trim(text.substr(0, end));
        if (!piece.empty()) {
            unsigned value = 0;
            const auto [next, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
            if (error != std::errc() || next != piece.data() + piece.size() || value > 0xFF)
                return std::nullopt;
            route.push_back(static_cast<std::uint8_t>(value));
        }
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return route;
}

std::optional<std::pair<std::string, std::uint32_t>> SingleSubscript(std::string_view address) {
    const std::string_view base = BaseTagName(address);
    if (base.size() >= address.size() || address[base.size()] != '[' || address.back() != ']')
        return std::nullopt;
    const std::string_view index = address.substr(base.size() + 1, address.size() - base.size() - 2);
    std::uint32_t value = 0;
    const auto [next, error] = std::from_chars(index.data(), index.data() + index.size(), value);
    if (index.empty() || error != std::errc() || next != index.data() + index.size())
        return std::nullopt;
    return std::pair{std::string(base), value};
}

} // namespace logix
