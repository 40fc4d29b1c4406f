#include "plugins/qorPluginModule.h"

#include "common/qorAssert.h"
#include "common/qorTimeout.h"
#include "platform/Debug.h"
#include "platform/Messages.h"
#include "platform/Module.h"
#include "platform/Resources.h"
#include "platform/Thread.h"
#include "options/Wtransl.h"
#include "plugins/qorPluginCallRec.h"
#include "plugins/qorPluginInstances.h"
#include "plugins/qorPluginSettings.h"
#include "qorPluginText.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>

namespace qor {

using detail::IntegerOr;
using detail::Split;
using detail::SplitLines;

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
    const std::size_t slash = file.find_last_of('/');
    ModulePath = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
    ModuleName = slash == std::string::npos ? file : file.substr(slash + 1);
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
    const std::string hostFolder = host.substr(0, host.find_last_of('/') + 1);
    const std::size_t dot = ModuleName.rfind('.');
    const std::string ownFile =
        ModulePath + (dot == std::string::npos ? ModuleName : ModuleName.substr(0, dot)) + ".lng";
    translator_->Language = "EN";
    Language = "EN";
    std::error_code ec;
    if (std::filesystem::is_regular_file(ownFile, ec)) {
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
        // Only a value that says something: an empty text leaves the window as it is.
        if (const Variant window = rec.Param("MSG-PROC-HANDLE");
            !window.IsEmptyOrNull() && !window.AsString().empty())
            HostWindow = static_cast<platform::HWND>(window.AsInt64());
        if (const Variant owner = rec.Param("OWNER-FORM");
            !owner.IsEmptyOrNull() && !owner.AsString().empty())
            OwnerForm = static_cast<platform::HWND>(owner.AsInt64());

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
    if (log_->Count() > 0)
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
    processingDone_.Set(); // a ProcessData call waiting for its turn gives up now
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

std::int32_t TqorPlugin::CommandEvent(TPluginCallRecIntf& rec) {
    std::int32_t result = -1;
    if (!rec.HasParam("EVENT-TYPE"))
        return result;
    const std::string eventType = rec.ParamText("EVENT-TYPE");
    if (OnEvent)
        OnEvent(eventType, rec, result);
    else
        result = 0;
    return result;
}

std::int32_t TqorPlugin::CommandSetItems(TPluginCallRecIntf& rec) {
    const Variant items = rec.Param("ITEMS");
    if (items.Type() != VarType::String && items.Type() != VarType::OleStr)
        return -1;
    SetParserItemsText(items.AsString(), true);
    if (OnItemsChanged)
        OnItemsChanged();
    return 0;
}

std::int32_t TqorPlugin::CommandSetState(TPluginCallRecIntf& rec) {
    if (rec.HasParam("DATA-SOURCES-IN-CFG")) {
        ConfigDataSources.clear();
        const std::string text = rec.ParamText("DATA-SOURCES-IN-CFG");
        for (const std::string_view line : SplitLines(text)) {
            try {
                const std::vector<std::string_view> fields = Split(line, ';');
                const std::int32_t id = IntegerOr(fields[0], -1);
                if (id == -1)
                    continue;
                ConfigDataSources.push_back({std::string(line), id,
                                             std::string(fields.size() > 1 ? fields[1] : ""),
                                             std::string(fields.size() > 2 ? fields[2] : "")});
            } catch (const std::exception&) {
                // A line that cannot be taken is left out; the others still count.
            }
        }
    }
    if (rec.HasParam("DATA-SOURCE-LOAD"))
        DataSourceLoadFor = rec.ParamText("DATA-SOURCE-LOAD");
    if (!rec.HasParam("RESULT"))
        return -1;
    const bool on = rec.Param("RESULT").AsInt64() == 1;
    const std::uint8_t options = rec.Rec().Options;
    for (std::size_t k = 0; k < StateFlags.size(); ++k)
        if (options & (1u << k))
            StateFlags[k] = on;
    if (OnChangeState)
        OnChangeState(options);
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

std::int32_t TqorPlugin::CommandEventsSupport(TPluginCallRecIntf& rec) {
    rec.SetParam("RESULT", EventsSupported);
    return 0;
}

std::int32_t TqorPlugin::CommandGetModuleParameter(TPluginCallRecIntf& rec) {
    if (!rec.HasParam("PARAM"))
        return -2;
    rec.SetParam("RESULT", GetModuleParameter(rec.ParamText("PARAM")));
    return 0;
}

std::int32_t TqorPlugin::CommandSetModuleParameter(TPluginCallRecIntf& rec) {
    if (!rec.HasParam("PARAM"))
        return -2;
    const Variant value = rec.HasItem("VALUE") ? rec.Param("VALUE") : Variant::MakeNull();
    rec.SetParam("RESULT", SetModuleParameter(rec.ParamText("PARAM"), value));
    return 0;
}

std::int32_t TqorPlugin::CommandSaveSettingsNow(TPluginCallRecIntf& rec) { return SettingsNow(rec, false); }

std::int32_t TqorPlugin::CommandLoadSettingsNow(TPluginCallRecIntf& rec) { return SettingsNow(rec, true); }

std::int32_t TqorPlugin::SettingsNow(TPluginCallRecIntf& rec, bool load) {
    // LOAD-SETTINGS-NOW reads the given file and saves into the module's own;
    // SAVE-SETTINGS-NOW saves into the given file. Either way the module's
    // file is its own again afterwards.
    struct KeepIniFile {
        std::string& file;
        std::string kept;
        ~KeepIniFile() { file = kept; }
    } keep{INIFile, INIFile};
    INIFile = rec.ParamText("INI-FILE");
    if (load) {
        if (OnLoadSettingsNow)
            OnLoadSettingsNow();
        INIFile = keep.kept;
    }
    const Variant noSave = rec.Param("NO-SAVE");
    if (OnSaveSettingsNow && (noSave.IsEmptyOrNull() || noSave.AsInt64() == 0))
        OnSaveSettingsNow();
    // The hosts were built against this answer: the settings commands report -2.
    return -2;
}

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

void TqorPlugin::SendParsedData(std::uint32_t sourceId, TParsedDataList& list) {
    const TDataLoggerCallback send = DataLogger_SendDataEx.load();
    if (send == nullptr)
        return;
    TPluginCallRec rec{};
    rec.RecSize = kPluginCallRecSize;
    rec.Flags = kCallRecBuiltByPlugin;
    if (!list.RawText.empty()) {
        rec.Value1.Type = static_cast<std::uint8_t>(TPluginValueType::Text);
        rec.Value1.Size = static_cast<std::uint32_t>(
            std::min<std::size_t>(list.RawText.size(), std::numeric_limits<std::uint32_t>::max()));
        rec.Value1.Data = reinterpret_cast<std::uintptr_t>(list.RawText.data());
    }
    TqorParamsListWrap::Ptr wrap = TqorParamsListWrap::Create(&list);
    rec.Value2.Type = static_cast<std::uint8_t>(TPluginValueType::ListInterface);
    rec.Value2.Data = reinterpret_cast<std::uintptr_t>(wrap->GetInterfacePtr());
    send(ModuleIndex, sourceId, 0, 0, kSendDataPacket, &rec, 0);
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

void TqorPlugin::Log(int level, std::string_view message) {
    if (destroying_ || !log_)
        return;
    {
        // LogTitle is changed under this lock too (SET-MODULE-PARAMETER), so
        // a worker thread never reads it half-written.
        TLogDataList::WriteLock lock(*log_);
        std::string line(1, static_cast<char>(level + 1));
        if (!LogTitle.empty()) {
            line += LogTitle;
            line += ". ";
        }
        const std::size_t start = line.size();
        line += message;
        std::replace_if(line.begin() + static_cast<std::ptrdiff_t>(start), line.end(),
                        [](char c) { return c == '\r' || c == '\n'; }, ' ');
        log_->AddLine(line);
    }
    // After the lock: the host answers by fetching the log, maybe on another thread.
    PostToHost(PLUGIN_MSG_LOG_CHANGED);
}

void TqorPlugin::LogException(std::string_view command, std::string_view message) {
    std::string line = "{";
    line += command;
    line += "} ";
    line += message;
    platform::OutputDebugString(line);
    Log(0, line);
}

std::int32_t TqorPlugin::GetLogEx(TPluginCallRec& rec) {
    TLogDataList::WriteLock lock(*log_);
    const std::string text = log_->GetText();
    rec.Value2.Data = text.size();
    if (text.empty())
        return 0;
    if (rec.Value1.Size == 0) {
        log_->Clear(); // the host asked for the lines to be dropped
        return 0;
    }
    // Too small, or no buffer at all: the lines stay for the next fetch, and
    // Value2.Data tells the size to provide.
    if (text.size() > rec.Value1.Size || rec.Value1.Data == 0 ||
        text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return 0;
    std::memcpy(reinterpret_cast<void*>(rec.Value1.Data), text.data(), text.size());
    log_->Clear();
    return static_cast<std::int32_t>(text.size());
}

bool TqorPlugin::TryBeginProcessing() {
    bool idle = false;
    if (!Processing.compare_exchange_strong(idle, true))
        return false;
    processingThread_ = platform::GetCurrentThreadId();
    return true;
}

void TqorPlugin::EndProcessing() {
    processingThread_ = 0;
    Processing = false;
    processingDone_.Set();
}

std::int32_t TqorPlugin::ProcessData(TPluginCallRec& rec) {
    if (!TryBeginProcessing()) {
        const platform::DWORD self = platform::GetCurrentThreadId();
        TTimeout limit;
        limit.Start(kProcessingWaitLimit);
        bool quitSeen = false;
        for (;;) {
            if (TerminateNow)
                return -1;
            // The call holding the flag is further up this thread's stack (a
            // handler pumped messages or called the host): it cannot end while
            // this one waits, so waiting would only freeze the host.
            if (processingThread_ == self)
                return -1;
            platform::MSG msg;
            while (!quitSeen && platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
                if (msg.message == platform::WM_QUIT) {
                    // Left for the thread's own loop; no more pumping here.
                    platform::PostQuitMessage(static_cast<int>(msg.wParam));
                    quitSeen = true;
                    break;
                }
                platform::TranslateMessage(&msg);
                platform::DispatchMessage(&msg);
            }
            const std::uint64_t remaining = limit.Remaining();
            if (remaining == 0)
                return -1;
            const auto step =
                static_cast<platform::DWORD>(std::min<std::uint64_t>(kProcessingWaitStep, remaining));
            const platform::HANDLE done = processingDone_.Handle();
            if (quitSeen)
                platform::WaitForSingleObject(done, step);
            else
                platform::MsgWaitForMultipleObjects(1, &done, false, step, platform::QS_ALLINPUT);
            if (TryBeginProcessing())
                break;
        }
    }
    struct Release {
        TqorPlugin& p;
        ~Release() { p.EndProcessing(); }
    } release{*this};

    if (TerminateNow || !PluginInstances())
        return -1;
    std::int32_t result = -1;
    try {
        std::optional<TPluginCallRecIntf> taken;
        try {
            taken.emplace(rec);
        } catch (...) {
            return -1; // a list slot that holds no list: an invalid record
        }
        result = ProcessSteps(*taken);
    } catch (const std::exception& e) {
        LogException("PROCESS", e.what());
    } catch (...) {
        LogException("PROCESS", "Unknown exception");
    }
    return result;
}

std::int32_t TqorPlugin::ProcessSteps(TPluginCallRecIntf& intf) {
    TPluginCallRec& rec = intf.Rec();
    const std::uintptr_t takenData = rec.Value1.Data;
    const std::uint8_t options = rec.Options;
    constexpr std::uint8_t kKeepEmptyList = 1, kNeedData = 4, kReportWrite = 8, kEchoInput = 32;
    std::int32_t result = 0;
    try {
        [&] {
            if (options == 0)
                return;
            const auto type = static_cast<TPluginValueType>(rec.Value1.Type);
            const bool listSlot = type == TPluginValueType::Pointer || type == TPluginValueType::RawList ||
                                  type == TPluginValueType::ListInterface;
            if (!(options & kKeepEmptyList) && listSlot && intf.Value1List() &&
                intf.Value1List().Count() == 0)
                rec.Value1.Data = 0;
            if (options & kNeedData) {
                if (rec.Value1.Data == 0) {
                    if (!MsgNoData.empty())
                        Log(1, MsgNoData);
                    return;
                }
                if (intf.Original().Value1.Type == static_cast<std::uint8_t>(TPluginValueType::Pointer) &&
                    intf.Value1List())
                    intf.Value1List().EndRow();
            }
            if (OnProcessData) {
                OnProcessData(intf, result);
                if (result > 0 && rec.Value1.Data == 0)
                    result = 0;
                if (options & (kNeedData | kReportWrite)) {
                    if (result < 0) {
                        if (!MsgWriteCompleteError.empty())
                            Log(1, MsgWriteCompleteError);
                    } else if (!MsgWriteComplete.empty()) {
                        Log(2, MsgWriteComplete);
                    }
                }
            } else if (options & kEchoInput) {
                rec.Value2 = rec.Value1;
            }
        }();
    } catch (const std::exception& e) {
        result = -3;
        if (!MsgWriteCompleteError.empty())
            Log(1, MsgWriteCompleteError + ": " + e.what());
    } catch (...) {
        result = -3;
        if (!MsgWriteCompleteError.empty())
            Log(1, MsgWriteCompleteError + ": Unknown exception");
    }
    if (rec.Value1.Data == takenData)
        rec.Value1.Data = 0;
    return result;
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
