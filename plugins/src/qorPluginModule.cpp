#include "plugins/qorPluginModule.h"

#include "common/qorAssert.h"
#include "platform/Debug.h"
#include "platform/Messages.h"
#include "platform/Module.h"
#include "platform/Resources.h"
#include "platform/Thread.h"
#include "plugins/qorPluginCallRec.h"

#include <cstring>
#include <limits>

namespace qor {

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

std::uint32_t ConfigIdentifier(std::string_view name) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : name) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc; // no final inversion: the identifiers the host knows are made this way
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

    CreateTranslator();

    const platform::HMODULE library = PluginLibraryModule();
    const std::string file = platform::GetModuleFileName(library);
    const std::size_t slash = file.find_last_of('/');
    ModulePath = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
    ModuleName = slash == std::string::npos ? file : file.substr(slash + 1);
    DisplayFullVersion = platform::GetFileVersion(library);

    AddCommand("LOAD", &TqorPlugin::CommandLoad, true);
    AddCommand("UNLOAD", &TqorPlugin::CommandUnload, false);
    AddCommand("ITEMS", &TqorPlugin::CommandItems, false);
}

TqorPlugin::~TqorPlugin() = default;

void TqorPlugin::AfterConstruction() {
    if (OnCreate)
        OnCreate();
    if (TranslatorHasFiles()) {
        if (Language.empty())
            Language = "NONE";
        TranslateModule(Language);
        Translated = true;
    }
}

void TqorPlugin::CreateTranslator() {}

void TqorPlugin::TranslateModule(std::string_view) {}

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
    Translated = false;
    TranslateModule(given);
    Translated = TranslatorHasFiles();
    Language = given;
    if (OnLanguageChanged)
        OnLanguageChanged();
}

std::int32_t TqorPlugin::ExecuteCommand(const std::string& command, TPluginCallRecIntf& rec) {
    std::int32_t result = -2;
    std::scoped_lock lock(commandLock_);
    ++nesting_;
    struct Unnest {
        int& n;
        ~Unnest() { --n; }
    } unnest{nesting_};
    try {
        // The lock is re-entrant, so a command issued from inside another one
        // on the same thread (a handler calling back into the host, which
        // calls the plug-in again) gets here and is refused.
        if (nesting_ > 1)
            throw EAssertionFailed("Nested plugin commands are not allowed", kPluginModuleSource);
        if (command == "LOAD")
            ApplyLanguage(rec.Param("LANGUAGE"));
        if (rec.HasParam("MSG-PROC-HANDLE"))
            HostWindow = static_cast<platform::HWND>(rec.Param("MSG-PROC-HANDLE").AsInt64());
        if (rec.HasParam("OWNER-FORM"))
            OwnerForm = static_cast<platform::HWND>(rec.Param("OWNER-FORM").AsInt64());

        for (const TCommandEntry& entry : commands_) {
            if (entry.Name != command)
                continue;
            try {
                return (this->*entry.Handler)(rec);
            } catch (const std::exception& e) {
                if (entry.LogExceptions)
                    LogException(command, e.what());
            } catch (...) {
                if (entry.LogExceptions)
                    LogException(command, "Unknown exception");
            }
            return -3;
        }

        if (OnCommand) {
            try {
                OnCommand(command, rec, result);
            } catch (const std::exception& e) {
                LogException(command, e.what());
                result = -3;
            } catch (...) {
                LogException(command, "Unknown exception");
                result = -3;
            }
        }
        return result;
    } catch (...) {
        return -3;
    }
}

void TqorPlugin::ResolveHostCallbacks() {
    auto resolve = [this](const char* name) {
        if (ParentApp == 0)
            return TDataLoggerCallback{nullptr};
        return reinterpret_cast<TDataLoggerCallback>(platform::GetProcAddress(ParentApp, name));
    };
    DataLogger_SendNotify = resolve(kCallbackSendNotify);
    DataLogger_SendDataEx = resolve(kCallbackSendDataEx);
    DataLogger_DataSourceData = resolve(kCallbackDataSourceData);
    DataLogger_DataSourceState = resolve(kCallbackDataSourceState);
    DataLogger_ManageDynForm = resolve(kCallbackManageDynForm);
}

std::int32_t TqorPlugin::CommandLoad(TPluginCallRecIntf& rec) {
    if (++ModuleLoadCount > 1)
        return 0;
    LoadThreadId = platform::GetCurrentThreadId();
    DialogOpen = false;
    ModuleIndex = rec.Rec().ModuleIndex;

    ModuleRegistryPath = rec.ParamText("REGISTRY-PATH");
    INISectionPrefix = rec.ParamText("INI-SECTION-PREFIX");
    ParentApp = static_cast<platform::HMODULE>(rec.Param("HANDLE").AsInt64());
    ApplicationFullName = rec.ParamText("APPLICATION-NAME");
    if (ParentApp == 0 && !ApplicationFullName.empty())
        ParentApp = platform::GetModuleHandle(ApplicationFullName.c_str());

    ModuleLoadForConfig = 0;
    if (ModuleCapabilities & (1u << 2)) {
        // The identifier is a 32-bit pattern: hosts send it signed or unsigned.
        const std::int64_t id = rec.Param("CONFIG-ID").AsInt64();
        if (id < std::numeric_limits<std::int32_t>::min() || id > std::numeric_limits<std::uint32_t>::max())
            throw EVariantError("CONFIG-ID out of range");
        ModuleLoadForConfig = static_cast<std::int32_t>(static_cast<std::uint32_t>(id));
    }
    INIFile = rec.ParamText("INI-FILE");

    ResolveHostCallbacks();

    TerminateNow = false;
    if (LogHasLines())
        PostToHost(PLUGIN_MSG_LOG_CHANGED);

    std::int32_t handlerResult = 0;
    if (OnLoad)
        OnLoad(rec, handlerResult);
    return 0;
}

std::int32_t TqorPlugin::CommandUnload(TPluginCallRecIntf& rec) {
    const std::int32_t count = --ModuleLoadCount;
    if (count < 0) {
        ModuleLoadCount = 0;
        return 0;
    }
    if (count > 0)
        return 0;
    TerminateNow = true;
    StateFlags.fill(false);
    const std::string iniFile = rec.ParamText("INI-FILE");
    if (iniFile != INIFile) {
        INIFile = iniFile;
        if (OnSaveSettingsNow)
            OnSaveSettingsNow();
    }
    std::int32_t handlerResult = 0;
    if (OnUnload)
        OnUnload(rec, handlerResult);
    DialogOpen = false;
    ParentApp = 0;
    HostWindow = 0;
    return 0;
}

std::int32_t TqorPlugin::CommandItems(TPluginCallRecIntf& rec) {
    if (!rec.HasItem("RESULT"))
        return -1;
    if (OnBeforeGetParserItems)
        OnBeforeGetParserItems();
    rec.SetParam("RESULT", ParserItemsText());
    return 0;
}

int TqorPlugin::AddParserItem(std::string_view name, std::string_view desc, std::string_view extra,
                              TParserItemType type) {
    ParserItems.push_back({std::string(name), std::string(desc), type, std::string(extra)});
    return static_cast<int>(ParserItems.size()) - 1;
}

void TqorPlugin::AddStandardParserItems(bool withClientId) {
    const std::size_t count = withClientId ? kStandardParserItems.size() : kStandardParserItems.size() - 1;
    for (std::size_t i = 0; i < count; ++i)
        AddParserItem(kStandardParserItems[i].Name, kStandardParserItems[i].Desc, {}, kStandardParserItems[i].Type);
}

std::string TqorPlugin::ParserItemsText() const { return qor::ParserItemsText(ParserItems); }

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

void TqorPlugin::Log(int, std::string_view) {
    // The plug-in log (TLogDataList) plugs in here: it builds the line from the
    // level, LogTitle and the message, keeps it and posts PLUGIN_MSG_LOG_CHANGED.
}

void TqorPlugin::LogException(std::string_view command, std::string_view message) {
    std::string line = "{";
    line += command;
    line += "} ";
    line += message;
    platform::OutputDebugString(line);
    Log(0, line);
}

std::int32_t TqorPlugin::GetLogEx(TPluginCallRec&) {
    // No log lines exist before the plug-in log does: nothing to copy.
    return 0;
}

std::int32_t TqorPlugin::ProcessData(TPluginCallRecIntf&) {
    // The processing steps (Options, OnProcessData, the write-complete texts)
    // plug in here; without them no data is taken.
    return 0;
}

void TqorPlugin::PostToHost(platform::UINT message) {
    const platform::HWND window = HostWindow;
    if (window == 0)
        return;
    if (platform::PostMessage(window, message, ModuleIndex, 0))
        return;
    platform::LRESULT ignored = 0;
    platform::SendMessageTimeout(window, message, ModuleIndex, 0, platform::SMTO_ABORTIFHUNG, 1000, &ignored);
}

} // namespace qor
