// The module parameters the host reads and writes by name
// (GET-MODULE-PARAMETER, SET-MODULE-PARAMETER).
#include "plugins/qorPluginModule.h"

#include "options/Wtransl.h"
#include "platform/Module.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "qorPluginText.h"

#include <algorithm>
#include <filesystem>
#include <optional>

namespace qor {

using detail::SameText;
using detail::Split;
using detail::StartsWithText;

namespace {

constexpr std::string_view kCustomPrefix = "Custom";
constexpr std::size_t kParserItemPrefixLength = 14; // "ParserItemName", "ParserItemDesc", "ParserItemType"

std::string WithTrailingSeparator(std::string path) {
    if (path.empty() || !platform::IsPathSeparator(path.back()))
        path += platform::kPathSeparator;
    return path;
}

// A folder name made of a host text: the characters a file name cannot hold
// on the hosts' systems become "-".
std::string FolderName(std::string_view text) {
    std::string name(text);
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos; }, '-');
    return name;
}

// An index for a custom parameter key: an integer of fewer than 3 characters.
std::optional<int> CustomIndex(std::string_view key) {
    if (key.empty() || key.size() >= 3)
        return std::nullopt;
    const std::int32_t index = detail::IntegerOr(key, -1);
    if (index < 0)
        return std::nullopt;
    return index;
}

} // namespace

std::string TqorPlugin::AppDataPath() const {
    // The fourth segment of the registry path names the application, e.g.
    // "Software\Vendor\Logger\Module" -> "Module". It becomes a folder name:
    // "/" and the names "." and ".." would lead elsewhere.
    const std::vector<std::string_view> segments = Split(ModuleRegistryPath, '\\');
    std::string segment = segments.size() > 3 ? FolderName(segments[3]) : std::string();
    if (segment == "." || segment == "..")
        segment.clear();
    const std::filesystem::path common = platform::CommonAppDataFolder(segment);
    std::string path = common.empty() ? ModulePath : platform::PathToUtf8(common);
    if (path.empty())
        return {};
    return segment.empty() ? WithTrailingSeparator(path)
                           : WithTrailingSeparator(WithTrailingSeparator(path) + segment);
}

std::string TqorPlugin::ModuleConfigId() const {
    const std::size_t open = INISectionPrefix.find('{');
    if (open == std::string::npos)
        return {};
    const std::size_t close = INISectionPrefix.find('}', open + 1);
    if (close == std::string::npos)
        return {};
    const std::string part = INISectionPrefix.substr(open + 1, close - open - 1);
    const std::vector<std::string_view> fields = Split(part, ':');
    if (fields.size() > 1 && !fields[1].empty())
        return std::string(fields[1]);
    return part;
}

std::string TqorPlugin::ModuleDataPath() {
    std::string folder;
    std::string typeName;
    if (ConfigList().FindConfig(static_cast<std::uint32_t>(ModuleLoadForConfig), &typeName) >= 0) {
        folder = FolderName(typeName);
    } else if (const std::string_view first =
                   std::string_view(Description)
                       .substr(0, std::string_view(Description).find_first_of("\r\n"));
               !first.empty()) {
        folder = FolderName(first);
    } else {
        const std::size_t dot = ModuleName.rfind('.');
        folder = platform::AnsiLowerCase(dot == std::string::npos ? ModuleName : ModuleName.substr(0, dot));
    }
    return WithTrailingSeparator(WithTrailingSeparator(AppDataPath() + ModuleConfigId()) + folder);
}

Variant TqorPlugin::GetModuleParameter(std::string_view name) {
    auto is = [name](std::string_view known) { return SameText(name, known); };
    auto handle = [](std::uintptr_t h) { return Variant(static_cast<long long>(h)); };

    if (is("LogTitle"))
        return LogTitle;
    if (is("Description"))
        return Description;
    if (is("EventsSupported"))
        return EventsSupported;
    if (is("CustomCommands"))
        return CustomCommandsText();
    if (is("TranslatorComponentProperties"))
        return Translator().ComponentProperties.Text();
    if (is("ModuleType"))
        return std::int32_t{ModuleType};
    if (is("ParserItems"))
        return ParserItemsText();
    if (is("OWNER-FORM"))
        return handle(OwnerForm);
    if (is("ModuleEnabled"))
        return std::int32_t{ModuleEnabled()};
    if (is("ModuleDllHandle"))
        return handle(ModuleDllHandle);
    if (is("ModuleLoadCount"))
        return ModuleLoadCount.load();
    if (is("ModuleIndex"))
        return ModuleIndex.load();
    if (is("ModulePluginHandle"))
        return handle(ModulePluginHandle);
    if (is("ModuleLoadForConfig"))
        return ModuleLoadForConfig;
    if (is("ParentApp"))
        return handle(ParentApp);
    if (is("ModulePath"))
        return ModulePath;
    if (is("ModuleName"))
        return ModuleName;
    if (is("ApplicationFullName"))
        return ApplicationFullName;
    if (is("INIFile"))
        return INIFile;
    if (is("ModuleRegistryPath"))
        return ModuleRegistryPath;
    if (is("INISectionPrefix"))
        return INISectionPrefix;
    if (is("DisplayFullVersion"))
        return DisplayFullVersion;
    if (is("DataSourceLoadFor"))
        return DataSourceLoadFor;
    if (is("ModuleRegistryRoot1"))
        return std::int32_t{ModuleRegistryRoot1};
    if (is("ModuleRegistryRoot2"))
        return std::int32_t{ModuleRegistryRoot2};
    if (is("AppDataPath"))
        return AppDataPath();
    if (is("ModuleConfigId"))
        return ModuleConfigId();
    if (is("ModuleDataPath"))
        return ModuleDataPath();
    if (is("ParserItemsCount"))
        return static_cast<std::int32_t>(ParserItems.size());
    if (is("TerminateNow"))
        return TerminateNow.load();
    if (is("IsTemporaryLoad"))
        return IsTemporaryLoad;
    if (is("TESTTRANSL")) {
        const std::vector<std::string> args = platform::GetCommandLineArgs();
        return std::find(args.begin(), args.end(), "/TESTTRANSL") != args.end();
    }
    if (name.starts_with(kCustomPrefix))
        return GetCustomParameter(name.substr(kCustomPrefix.size()));

    for (const std::string_view field : {"ParserItemName", "ParserItemDesc", "ParserItemType"}) {
        if (!StartsWithText(name, field))
            continue;
        const std::int32_t n = detail::IntegerOr(name.substr(kParserItemPrefixLength, 3), -1);
        if (n < 0 || static_cast<std::size_t>(n) >= ParserItems.size())
            return {};
        const TParserItem& item = ParserItems[static_cast<std::size_t>(n)];
        if (field == "ParserItemName")
            return item.Name;
        if (field == "ParserItemDesc")
            return item.Desc;
        return std::int32_t{static_cast<std::uint8_t>(item.Type)};
    }
    return {};
}

bool TqorPlugin::SetModuleParameter(std::string_view name, const Variant& value) {
    auto is = [name](std::string_view known) { return SameText(name, known); };
    try {
        if (is("LogTitle")) {
            // Worker threads read the title while they log.
            TLogDataList::WriteLock lock(*log_);
            LogTitle = value.AsString();
            return true;
        }
        if (is("Description")) {
            Description = value.AsString();
            return true;
        }
        if (is("EventsSupported")) {
            EventsSupported = value.AsString();
            return true;
        }
        if (is("CustomCommands")) {
            const std::string text = value.AsString();
            for (const std::string_view line : detail::NonEmptyLines(text))
                if (std::optional<TqorPluginCustomCmd> cmd = TqorPluginCustomCmd::FromLine(line))
                    CustomCommands.push_back(std::move(*cmd));
            return true;
        }
        if (is("TranslatorComponentProperties")) {
            const std::string text = value.AsString();
            for (const std::string_view part : Split(text, ';'))
                for (const std::string_view name : Split(part, '|'))
                    if (!name.empty())
                        Translator().ComponentProperties.Add(std::string(name));
            return true;
        }
        if (is("ModuleType")) {
            ModuleType = static_cast<std::uint8_t>(value.AsInt64() & 0xFF);
            return true;
        }
        if (is("ParserItems")) {
            SetParserItemsText(value.AsString(), true);
            return true;
        }
        if (is("OWNER-FORM")) {
            OwnerForm = static_cast<platform::HWND>(value.AsInt64());
            return true;
        }
        if (is("SUBSCRIBE-FOR-DATA")) {
            SubscribeForData = value.AsBoolean();
            return true;
        }
        if (name.starts_with(kCustomPrefix))
            return SetCustomParameter(name.substr(kCustomPrefix.size()), value);
    } catch (const EVariantError&) {
        // A value that does not convert sets nothing.
    }
    return false;
}

Variant TqorPlugin::GetCustomParameter(std::string_view key) {
    if (!key.empty() && (key.front() == ':' || key.front() == '_' || key.front() == ' '))
        key.remove_prefix(1);
    TqorThreadParamsList::Locked list(CustomParams());
    if (SameText(key, "COUNT"))
        return list->Count();
    if (const std::optional<int> index = CustomIndex(key); index && *index < list->Count())
        return list->GetItem(*index)->Value;
    if (const TqorParamsListItem* item = list->FindItem(key))
        return item->Value;
    return Variant::MakeNull();
}

bool TqorPlugin::SetCustomParameter(std::string_view key, const Variant& value) {
    if (!key.empty() && (key.front() == ':' || key.front() == '_' || key.front() == ' '))
        key.remove_prefix(1);
    TqorThreadParamsList::Locked list(CustomParams());
    if (SameText(key, "COUNT")) {
        list->Clear();
        return true;
    }
    if (const std::optional<int> index = CustomIndex(key); index && *index < list->Count()) {
        TqorParamsListItem* item = list->GetItem(*index);
        item->Value = value;
        item->Flags |= kItemHasValue;
        return true;
    }
    return list->SetValue(key, value, true) != nullptr;
}

} // namespace qor
