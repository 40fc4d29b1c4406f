// What the module tells the host about itself: parser items, custom commands
// and the module information record.
#include "plugins/qorPluginModule.h"

#include <cstring>
#include <limits>

namespace qor {

int TqorPlugin::AddParserItem(std::string_view name, std::string_view desc, std::string_view extra,
                              TParserItemType type) {
    ParserItems.push_back({std::string(name), std::string(desc), type, std::string(extra)});
    return static_cast<int>(ParserItems.size()) - 1;
}

void TqorPlugin::AddStandardParserItems(bool withClientId) {
    const std::size_t count = withClientId ? kStandardParserItems.size() : kStandardParserItems.size() - 1;
    for (std::size_t i = 0; i < count; ++i)
        AddParserItem(kStandardParserItems[i].Name, kStandardParserItems[i].Desc, {},
                      kStandardParserItems[i].Type);
}

std::string TqorPlugin::ParserItemsText() const { return qor::ParserItemsText(ParserItems); }

void TqorPlugin::SetParserItemsText(std::string_view text, bool replace) {
    std::vector<TParserItem> parsed = ParseParserItemsText(text);
    if (replace)
        ParserItems = std::move(parsed);
    else
        ParserItems.insert(ParserItems.end(), std::make_move_iterator(parsed.begin()),
                           std::make_move_iterator(parsed.end()));
}

std::string TqorPlugin::CustomCommandsText() const {
    std::string text;
    for (const TqorPluginCustomCmd& cmd : CustomCommands)
        text += cmd.Line() + "\r\n";
    return text;
}

bool TqorPlugin::GetModuleInfo(TPluginModuleInfo* info, std::uint32_t* neededSize) {
    const std::string text1 = Description;
    const std::string text2 = CustomCommandsText();
    const std::uint64_t needed = std::uint64_t{kPluginModuleInfoFixedSize} + text1.size() + text2.size();
    if (needed > std::numeric_limits<std::uint32_t>::max())
        return false;
    if (neededSize)
        *neededSize = static_cast<std::uint32_t>(needed);
    if (info == nullptr)
        return false;
    const std::uint32_t size = info->Size;
    if (size < kPluginModuleInfoFixedSize)
        return false;
    auto* base = reinterpret_cast<std::uint8_t*>(info);
    std::memset(base, 0, kPluginModuleInfoFixedSize);
    info->Size = size;
    info->TypeAndCapabilities = ModuleType | (std::uint32_t{ModuleCapabilities} & 0x07u) << 16;
    info->InterfaceVersion = kModuleInterfaceVersion;
    info->VersionNumber = VersionNumber;
    info->InfoFlag = InfoFlag;
    if (needed > size)
        return false;
    std::uint8_t* text = base + kPluginModuleInfoFixedSize;
    if (!text1.empty()) {
        std::memcpy(text, text1.data(), text1.size());
        info->DescriptionLength = static_cast<std::uint32_t>(text1.size());
        info->DescriptionText = reinterpret_cast<std::uintptr_t>(text);
        text += text1.size();
    }
    if (!text2.empty()) {
        std::memcpy(text, text2.data(), text2.size());
        info->CustomCommandsLength = static_cast<std::uint32_t>(text2.size());
        info->CustomCommandsText = reinterpret_cast<std::uintptr_t>(text);
    }
    return true;
}

} // namespace qor
