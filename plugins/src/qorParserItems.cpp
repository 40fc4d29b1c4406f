#include "plugins/qorParserItems.h"

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

} // namespace qor
