// The plug-in module: its construction, class registration, translator,
// settings and the properties commands read and change.
#include "plugins/qorPluginModule.h"

#include "platform/Module.h"
#include "platform/Resources.h"
#include "options/Wtransl.h"
#include "plugins/qorPluginCallRec.h"
#include "plugins/qorPluginSettings.h"
#include "qorPluginText.h"

#include "platform/Paths.h"

#include <filesystem>

namespace qor {

using detail::Split;

namespace {

std::mutex classMutex;

TqorPluginClass& RegisteredClass() {
    static TqorPluginClass pluginClass;
    return pluginClass;
}

} // namespace

std::string TqorPluginCustomCmd::Line() const {
    return Text1 + "|" + Text2 + "|" + Text3 + "|" + (Flag1 ? "1" : "0") + "|" + (Flag2 ? "1" : "0");
}

std::optional<TqorPluginCustomCmd> TqorPluginCustomCmd::FromLine(std::string_view line) {
    const std::vector<std::string_view> fields = Split(line, '|');
    if (fields.size() < 5)
        return std::nullopt;
    auto flag = [](std::string_view text) {
        try {
            return Variant(text).AsBoolean();
        } catch (const EVariantError&) {
            return false;
        }
    };
    return TqorPluginCustomCmd{std::string(fields[0]), std::string(fields[1]), std::string(fields[2]),
                               flag(fields[3]), flag(fields[4])};
}

int TModuleConfigList::AddConfig(std::string_view name) {
    WriteLock lock(*this);
    entries_.emplace_back(std::string(name), ConfigIdentifier(name));
    return static_cast<int>(entries_.size()) - 1;
}

std::string TModuleConfigList::ConfigText() {
    ReadLock lock(*this);
    std::string text;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (i > 0)
            text += "\r\n";
        text += entries_[i].first;
    }
    return text;
}

int TModuleConfigList::FindConfig(std::uint32_t id, std::string* name) {
    ReadLock lock(*this);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].second == id) {
            if (name)
                *name = entries_[i].first;
            return static_cast<int>(i);
        }
    }
    return -1;
}

int TModuleConfigList::Count() {
    ReadLock lock(*this);
    return static_cast<int>(entries_.size());
}

void RegisterPluginClass(TqorPluginClass pluginClass) {
    std::scoped_lock lock(classMutex);
    RegisteredClass() = std::move(pluginClass);
}

std::shared_ptr<TqorPlugin> CreatePluginObject(TPluginCallRecIntf& rec) {
    TqorPluginClass pluginClass;
    {
        std::scoped_lock lock(classMutex);
        pluginClass = RegisteredClass();
    }
    if (!pluginClass)
        return nullptr;
    std::shared_ptr<TqorPlugin> plugin = pluginClass(rec, 0);
    if (plugin)
        plugin->AfterConstruction();
    return plugin;
}

platform::HMODULE PluginLibraryModule() {
    static const char marker = 0;
    return platform::ModuleOfAddress(&marker);
}

TqorPlugin::TqorPlugin(TPluginCallRecIntf& rec, platform::HMODULE dllHandle) : ModuleDllHandle(dllHandle) {
    IsTemporaryLoad = rec.Original().Params == 0;
    ApplyTemporaryLoad(rec);

    log_ = std::make_unique<TLogDataList>(TLogDataList::kModuleLogLimit);
    translator_ = std::make_unique<TWtransl>();
    Publish("MsgNoData", MsgNoData);
    Publish("MsgWriteComplete", MsgWriteComplete);
    Publish("MsgWriteCompleteError", MsgWriteCompleteError);

    const platform::HMODULE library = PluginLibraryModule();
    const std::string file = platform::GetModuleFileName(library);
    ModulePath = platform::FolderOf(file);
    ModuleName = file.substr(ModulePath.size());
    DisplayFullVersion = platform::GetFileVersion(library);

    SetUpTranslator();

    AddCommand("EVENT", &TqorPlugin::CommandEvent, true);
    AddCommand("LOAD", &TqorPlugin::CommandLoad, true);
    AddCommand("UNLOAD", &TqorPlugin::CommandUnload, false);
    AddCommand("SET-ITEMS", &TqorPlugin::CommandSetItems, false);
    AddCommand("SET-STATE", &TqorPlugin::CommandSetState, false);
    AddCommand("ITEMS", &TqorPlugin::CommandItems, false);
    AddCommand("EVENTS-SUPPORT", &TqorPlugin::CommandEventsSupport, false);
    AddCommand("GET-MODULE-PARAMETER", &TqorPlugin::CommandGetModuleParameter, false);
    AddCommand("SET-MODULE-PARAMETER", &TqorPlugin::CommandSetModuleParameter, false);
    AddCommand("SAVE-SETTINGS-NOW", &TqorPlugin::CommandSaveSettingsNow, false);
    AddCommand("LOAD-SETTINGS-NOW", &TqorPlugin::CommandLoadSettingsNow, false);
}

TqorPlugin::~TqorPlugin() {
    // The data module's components (data sources and their workers) go first,
    // while the log they may write to on their way out still exists.
    while (ComponentCount() > 0)
        FreeComponent(Components(ComponentCount() - 1));
    destroying_ = true;
}

void TqorPlugin::SetUpTranslator() {
    const std::string host = platform::GetModuleFileName(0);
    const std::string hostFolder = platform::FolderOf(host);
    const std::size_t dot = ModuleName.rfind('.');
    const std::string ownFile =
        ModulePath + (dot == std::string::npos ? ModuleName : ModuleName.substr(0, dot)) + ".lng";
    translator_->Language = "EN";
    Language = "EN";
    std::error_code ec;
    if (std::filesystem::is_regular_file(platform::PathFromUtf8(ownFile), ec)) {
        translator_->FileNames = hostFolder + "plugins.lng|" + ownFile;
        Language = TWtransl::LanguageOfFile(ownFile, "EN");
    } else {
        translator_->FileNames.clear();
    }
    for (const char* text : {"MsgNoData", "MsgWriteComplete", "MsgWriteCompleteError"})
        translator_->ComponentProperties.Add(text);
}

bool TqorPlugin::TranslatorHasFiles() const { return translator_ && !translator_->FileNames.empty(); }

void TqorPlugin::AfterConstruction() {
    if (OnCreate)
        OnCreate();
    if (TranslatorHasFiles()) {
        if (Language.empty())
            Language = "NONE";
        TranslateModule("EN", Language);
        Translated = true;
    }
}

void TqorPlugin::TranslateModule(std::string_view fromLanguage, std::string_view toLanguage) {
    if (TranslatorHasFiles())
        translator_->Translate(toLanguage, *this, fromLanguage);
}

bool TqorPlugin::LoadSettings(const TStringList& map, TPersistent& root, std::string_view iniFile) {
    SettingsBusy = true;
    const bool found = qor::LoadSettings(SettingsLocation(), map, root, iniFile);
    SettingsBusy = false;
    return found;
}

bool TqorPlugin::SaveSettings(const TStringList& map, TPersistent& root, std::string_view iniFile) {
    SettingsBusy = true;
    const bool written = qor::SaveSettings(SettingsLocation(), map, root, iniFile);
    SettingsBusy = false;
    return written;
}

TPluginSettingsLocation TqorPlugin::SettingsLocation() const {
    return {ModuleRegistryRoot1, ModuleRegistryRoot2, ModuleRegistryPath, INISectionPrefix, INIFile};
}

TqorThreadParamsList& TqorPlugin::CustomParams() {
    std::call_once(customParamsMade_, [this] { customParams_ = std::make_unique<TqorThreadParamsList>(); });
    return *customParams_;
}

TModuleConfigList& TqorPlugin::ConfigList() {
    std::call_once(configListMade_, [this] { configList_ = std::make_unique<TModuleConfigList>(); });
    return *configList_;
}

std::uint8_t TqorPlugin::ModuleEnabled() const {
    std::uint8_t mask = 0;
    for (std::size_t k = 0; k < StateFlags.size(); ++k)
        if (StateFlags[k])
            mask = static_cast<std::uint8_t>(mask | (1u << k));
    return mask;
}

void TqorPlugin::AddCommand(std::string name, TCommandHandler handler, bool logExceptions) {
    commands_.push_back({std::move(name), handler, logExceptions});
}

void TqorPlugin::ApplyTemporaryLoad(const TPluginCallRecIntf& rec) {
    if (rec.HasParam("TEMPORARY-LOAD"))
        IsTemporaryLoad = rec.Param("TEMPORARY-LOAD").AsBoolean();
}

void TqorPlugin::ApplyLanguage(const Variant& language) {
    if (language.IsEmptyOrNull())
        return;
    const std::string given = language.AsString();
    // Only a different language is a change; asking for the current one again
    // leaves the module as it is.
    if (given.empty() || Language.empty() || given == Language)
        return;
    // The texts are in the current language now: that is what is looked up.
    Translated = false;
    TranslateModule(Language, given);
    Translated = TranslatorHasFiles();
    Language = given;
    if (OnLanguageChanged)
        OnLanguageChanged();
}

} // namespace qor
