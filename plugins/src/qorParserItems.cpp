#include "plugins/qorParserItems.h"

#include "qorPluginText.h"

namespace qor {

std::string ParserItemsText(std::span<const TParserItem> items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TParserItem& item = items[i];
        if (i > 0)
            text += "\r\n";
        const auto type = static_cast<std::size_t>(item.Type);
        text += item.Desc;
        text += '|';
        text += item.Name;
        text += '|';
        if (type < kParserItemTypeNames.size())
            text += kParserItemTypeNames[type];
        text += '|';
        text += item.Extra;
    }
    return text;
}

std::vector<TParserItem> ParseParserItemsText(std::string_view text) {
    std::vector<TParserItem> items;
    for (const std::string_view line : detail::NonEmptyLines(text)) {
        const std::vector<std::string_view> fields = detail::Split(line, '|');
        if (fields.size() < 2)
            break;
        TParserItem item;
        item.Desc = fields[0];
        item.Name = fields[1];
        if (fields.size() > 2) {
            for (std::size_t t = 0; t < kParserItemTypeNames.size(); ++t) {
                if (detail::SameText(fields[2], kParserItemTypeNames[t])) {
                    item.Type = static_cast<TParserItemType>(t);
                    break;
                }
            }
        }
        if (fields.size() > 3)
            item.Extra = fields[3];
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace qor
