#include "logix/Logix_Address.h"

#include "common/qorStrUtils.h"

#include <algorithm>

namespace logix {

bool IsAttributeAddress(std::string_view item) {
    if (item.empty() || item.front() != '@')
        return false;
    return std::count(item.begin() + 1, item.end(), '/') >= 2;
}

std::vector<TLogixAddress> SplitAddresses(std::string_view text) {
    std::vector<TLogixAddress> items;
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

} // namespace logix
