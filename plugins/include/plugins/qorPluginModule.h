// The plug-in module: one TqorPlugin object per plug-in instance. It holds the
// instance's identity, settings location, module properties, parser item
// definitions and host callbacks, and turns the host's commands into calls of
// the event handlers that the derived data module assigns.
#pragma once

#include "common/ThreadObject.h"
#include "common/qorComponent.h"
#include "common/qorConfigId.h"
#include "common/qorStringList.h"
#include "common/qorParamLst.h"
#include "common/qorParamLstWrap.h"
#include "platform/Locks.h"
#include "platform/Sync.h"
#include "platform/Types.h"
#include "plugins/PluginBoundary.h"
#include "plugins/qorParserItems.h"
#include "plugins/qorPluginData.h"
#include "plugins/qorPluginLog.h"
#include "plugins/qorPluginSettings.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor {

class TPluginCallRecIntf;
class TWtransl;

inline constexpr std::string_view kPluginModuleSource = "Plugins\\qorPluginModule";

// A custom command the module offers the host: three texts and two flags,
// whose meaning is the host's. Its text form is one line of the five fields
// separated by "|", the flags as "1" or "0".
struct TqorPluginCustomCmd {
    std::string Text1;
    std::string Text2;
    std::string Text3;
    bool Flag1 = false;
    bool Flag2 = false;

    std::string Line() const;
    // A line of at least five fields; the flags are "1"/"0" (any non-zero
    // integer or "true" counts as set). nullopt for fewer fields.
    static std::optional<TqorPluginCustomCmd> FromLine(std::string_view line);
};

// A data source the host has configured for the module ("DATA-SOURCES-IN-CFG").
struct TConfigDataSource {
    std::string Line;     // the whole line
    std::int32_t Id = -1; // field 1
    std::string Name;     // field 2
    std::string FullName; // field 3
};

// The data source type names of the module, each with its identifier. Lockable.
class TModuleConfigList : public TThreadObject {
public:
    // Appends the name with its identifier; returns its index.
    int AddConfig(std::string_view name);
    // The names joined by CR LF, without a trailing CR LF.
    std::string ConfigText();
    // Index of the entry with that identifier (its name into *name), -1 when none.
    int FindConfig(std::uint32_t id, std::string* name = nullptr);
    int Count();

private:
    std::vector<std::pair<std::string, std::uint32_t>> entries_;
};

class TqorPlugin;

// The data-module class that CreatePluginInstance instantiates: a factory
// that constructs the derived object from the call record and the handle value
// (0 from CreatePluginInstance).
using TqorPluginClass = std::function<std::shared_ptr<TqorPlugin>(TPluginCallRecIntf& rec, platform::HMODULE dllHandle)>;

// Registered by the plug-in library at start (the last registration counts).
void RegisterPluginClass(TqorPluginClass pluginClass);
template <class T>
void RegisterPluginClass() {
    RegisterPluginClass([](TPluginCallRecIntf& rec, platform::HMODULE dllHandle) -> std::shared_ptr<TqorPlugin> {
        return std::make_shared<T>(rec, dllHandle);
    });
}
// Creates an object of the registered class and completes its construction
// (the create handler runs). nullptr when no class is registered.
std::shared_ptr<TqorPlugin> CreatePluginObject(TPluginCallRecIntf& rec);

// The module handle of the plug-in library itself (the module this code is in).
platform::HMODULE PluginLibraryModule();

// The module is a component: the data module's objects (text resources, data
// sources) are its owned components, and the translator walks it. Its
// published properties MsgNoData, MsgWriteComplete and MsgWriteCompleteError
// are translated by their English wording.
class TqorPlugin : public TComponent {
public:
    // Construction steps 1 to 5; CreatePluginObject then runs step 6
    // (AfterConstruction), once the derived data module is complete.
    TqorPlugin(TPluginCallRecIntf& rec, platform::HMODULE dllHandle);
    ~TqorPlugin() override;
    std::string_view ClassName() const override { return "TqorPlugin"; }

    // Step 6: raises the data module's create handler, then translates the
    // module once from "EN" into Language when the translator has files.
    void AfterConstruction();

    // The module's translator. Its files are "plugins.lng" in the host
    // executable's folder and the module's own language file (the library's
    // path with the extension ".lng"), both only when the module's own file
    // exists; it has no files otherwise and translates nothing.
    TWtransl& Translator() { return *translator_; }
    bool TranslatorHasFiles() const;

    // ---- identity and settings location
    std::uintptr_t ModulePluginHandle = 0; // the instance handle: the object's own address
    platform::HMODULE ModuleDllHandle = 0;
    std::atomic<std::int32_t> ModuleLoadCount{0}; // LOADs not yet matched by UNLOAD
    std::atomic<std::uint32_t> ModuleIndex{0};    // the host's number for the instance
    std::string ModulePath;                       // folder of the plug-in library, with trailing "/"
    std::string ModuleName;                       // file name of the plug-in library
    std::string DisplayFullVersion;               // "major.minor.release.build"
    std::string ApplicationFullName;
    platform::HMODULE ParentApp = 0; // the host's module handle
    std::string INIFile;
    std::uint8_t ModuleRegistryRoot1 = 2; // HKEY_LOCAL_MACHINE
    std::uint8_t ModuleRegistryRoot2 = 1; // HKEY_CURRENT_USER
    std::string ModuleRegistryPath;
    std::string INISectionPrefix;
    std::int32_t ModuleLoadForConfig = 0; // "CONFIG-ID": a ConfigList identifier
    std::string DataSourceLoadFor;
    bool IsTemporaryLoad = false;
    std::atomic<bool> TerminateNow{false};
    platform::HWND OwnerForm = 0;
    std::atomic<platform::HWND> HostWindow{0}; // "MSG-PROC-HANDLE"; read by any thread that logs
    platform::DWORD LoadThreadId = 0;

    // ---- module properties
    float VersionNumber = 4.0f;
    std::string LogTitle;
    std::string Description;
    std::string EventsSupported;
    std::uint8_t ModuleType = 0;         // set of 0..7, bit k = element k
    std::uint8_t ModuleCapabilities = 0; // set of 0..7; element 2: takes "CONFIG-ID" at LOAD
    std::uint8_t InfoFlag = 1;
    std::array<bool, 8> StateFlags{}; // indexed by state kind
    bool SubscribeForData = false;
    std::string MsgNoData = "No data for processing";
    std::string MsgWriteComplete = "Data have been processed successfully";
    std::string MsgWriteCompleteError = "Data have been processed with errors";
    std::string Language = "EN";
    bool Translated = false;
    std::atomic<bool> SettingsBusy{false}; // LoadSettings or SaveSettings runs
    std::atomic<bool> DialogOpen{false};
    std::atomic<bool> Processing{false};
    std::uint8_t DialogOptions = 0; // the record's Options while the options dialog runs
    TqorParamsRef DialogInput;      // the list ShowOptionsDialog got in Value1, while the dialog runs

    // ---- lists
    std::vector<TParserItem> ParserItems;
    std::vector<TqorPluginCustomCmd> CustomCommands;
    std::vector<TConfigDataSource> ConfigDataSources;
    TqorThreadParamsList& CustomParams(); // made on first use
    TModuleConfigList& ConfigList();      // made on first use

    // ---- host callbacks, resolved at LOAD (nil when the host has none).
    // Atomic: worker threads send through DataLogger_SendDataEx while the host
    // thread may load the instance again.
    std::atomic<TDataLoggerCallback> DataLogger_SendNotify{nullptr};
    std::atomic<TDataLoggerCallback> DataLogger_SendDataEx{nullptr};
    std::atomic<TDataLoggerCallback> DataLogger_DataSourceData{nullptr};
    std::atomic<TDataLoggerCallback> DataLogger_DataSourceState{nullptr};
    std::atomic<TDataLoggerCallback> DataLogger_ManageDynForm{nullptr};

    // ---- events, assigned by the derived data module; unassigned ones are skipped
    std::function<void()> OnCreate; // the data module's create handler
    std::function<void(TPluginCallRecIntf& rec, std::int32_t& result)> OnLoad;
    std::function<void(TPluginCallRecIntf& rec, std::int32_t& result)> OnUnload;
    std::function<void(std::uint8_t options)> OnChangeState;
    std::function<void()> OnBeforeGetParserItems;
    std::function<void()> OnItemsChanged;
    std::function<void()> OnSaveSettingsNow;
    std::function<void()> OnLoadSettingsNow;
    std::function<void(TPluginCallRecIntf& rec, std::uint8_t& confirmed)> OnShowOptionsDialog;
    std::function<void(TPluginCallRecIntf& rec, std::string& name, std::string& extra)> OnGetOptionsDialog;
    std::function<void(TPluginCallRecIntf& rec, std::int32_t& result)> OnProcessData;
    std::function<void(const std::string& eventType, TPluginCallRecIntf& rec, std::int32_t& result)> OnEvent;
    std::function<void(const std::string& command, TPluginCallRecIntf& rec, std::int32_t& result)> OnCommand;
    std::function<void()> OnLanguageChanged;

    // Bit mask of the StateFlags that are set.
    std::uint8_t ModuleEnabled() const;

    // The dispatcher behind ExecutePluginCommand: 0 success, -1 refused or
    // invalid, -2 unknown command or missing parameter, -3 exception (also
    // a command nested inside another of this instance on the same thread).
    std::int32_t ExecuteCommand(const std::string& command, TPluginCallRecIntf& rec);

    // "TEMPORARY-LOAD" of the record's Params overrides IsTemporaryLoad.
    void ApplyTemporaryLoad(const TPluginCallRecIntf& rec);
    // "LANGUAGE" from LOAD or ShowOptionsDialog: another language than the
    // current one translates the module's texts into it, becomes Language and
    // raises OnLanguageChanged; an empty one or the current one changes nothing.
    void ApplyLanguage(const Variant& language);

    // ---- settings: load or save the properties of root through the map
    // (lines "<property path>,<setting>") in the module's store: iniFile, or
    // the module's INIFile when empty, else its registry key. SettingsBusy is
    // set meanwhile. True when a value was found (load) or written (save).
    bool LoadSettings(const TStringList& map, TPersistent& root, std::string_view iniFile = {});
    bool SaveSettings(const TStringList& map, TPersistent& root, std::string_view iniFile = {});

    // ---- parser items and data packets
    int AddParserItem(std::string_view name, std::string_view desc, std::string_view extra,
                      TParserItemType type);
    // The first six standard items, or all seven with withClientId.
    void AddStandardParserItems(bool withClientId);
    std::string ParserItemsText() const;
    // Parses the text (ParseParserItemsText); with replace the result becomes
    // ParserItems, otherwise it is appended.
    void SetParserItemsText(std::string_view text, bool replace);
    std::string CustomCommandsText() const;

    // The standard items of a packet (qor::AddStandardValues); the number appended.
    int AddStandardValues(TqorParamsList& list, std::string_view fullPacket, std::string_view dataPacket,
                          std::int32_t sourceId, std::string_view sourceFullName, std::int32_t clientId,
                          std::string_view clientSourceName, std::string_view sourceName, double dateTime = 0) const {
        return qor::AddStandardValues(list, fullPacket, dataPacket, sourceId, sourceFullName, clientId,
                                      clientSourceName, sourceName, dateTime);
    }
    void AppendRawText(TParsedDataList& list, std::string_view text) const { qor::AppendRawText(list, text); }
    // Hands a packet to the host: DataLogger_SendDataEx(ModuleIndex, sourceId,
    // 0, 0, 9, record, 0) with a fresh record (Flags 1; Value1 Type Text with
    // the raw text when there is one; Value2 Type ListInterface with a
    // borrowed wrap of list). The host copies what it needs during the call;
    // the list stays the caller's. Nothing without the callback. Any thread;
    // takes no lock of the module.
    void SendParsedData(std::uint32_t sourceId, TParsedDataList& list);

    // GetModuleInfo: writes the needed size, fills the buffer per its Size;
    // true only when it was filled completely (texts included).
    bool GetModuleInfo(TPluginModuleInfo* info, std::uint32_t* neededSize);

    // ---- module parameters (GET-/SET-MODULE-PARAMETER), names compared
    // without regard to case; "Custom" + key (exact case) reads and writes
    // CustomParams. An unknown name reads as Unassigned and does not set.
    virtual Variant GetModuleParameter(std::string_view name);
    virtual bool SetModuleParameter(std::string_view name, const Variant& value);
    // "AppDataPath": the common application-data folder joined with the fourth
    // "\"-separated segment of ModuleRegistryPath, with a trailing "/"; the
    // library's own folder when there is no such folder.
    std::string AppDataPath() const;
    // "ModuleConfigId": what INISectionPrefix holds between "{" and "}" (after
    // its first ":" when there is one and what follows is not empty).
    std::string ModuleConfigId() const;
    // "ModuleDataPath": AppDataPath + ModuleConfigId + "/" + folder + "/".
    std::string ModuleDataPath();

    // ---- the log
    // Adds the line "level+1 as a character, LogTitle + ". " (when set),
    // message with CR and LF as spaces" and posts PLUGIN_MSG_LOG_CHANGED to
    // the host window. Any thread. Nothing once the module is being destroyed.
    void Log(int level, std::string_view message);
    // Level 0 line "{command} message", also to the debugger output.
    void LogException(std::string_view command, std::string_view message);
    TLogDataList& LogList() { return *log_; }
    // The GetLogEx export once the instance is known; Value2 Type is set by
    // the export. Value2.Data := the log's length; copies the log into
    // Value1.Data and empties it when it fits (returns the length); with
    // Value1.Size 0 drops it; otherwise keeps it and returns 0.
    std::int32_t GetLogEx(TPluginCallRec& rec);

    // ---- data from the host
    // The ProcessData export once the record is checked and the instance
    // found: waits while another call processes data (pumping the calling
    // thread's messages, at most 30000 ms), then runs the processing steps
    // selected by the record's Options. -1 when refused.
    std::int32_t ProcessData(TPluginCallRec& rec);
    static constexpr platform::DWORD kProcessingWaitLimit = 30000;
    static constexpr platform::DWORD kProcessingWaitStep = 50;

    // Posts a message to the host window (wParam ModuleIndex); when the post
    // fails, sends it with SMTO_ABORTIFHUNG and 1000 ms. Nothing without a window.
    void PostToHost(platform::UINT message);

protected:
    using TCommandHandler = std::int32_t (TqorPlugin::*)(TPluginCallRecIntf& rec);
    struct TCommandEntry {
        std::string Name; // compared exactly, case-sensitive
        TCommandHandler Handler;
        bool LogExceptions; // an exception ends the command with -3 and, when set, a log line
    };
    // Commands are compared in the order they were added; anything not in
    // the table goes to OnCommand.
    void AddCommand(std::string name, TCommandHandler handler, bool logExceptions);

    std::int32_t CommandEvent(TPluginCallRecIntf& rec);
    std::int32_t CommandLoad(TPluginCallRecIntf& rec);
    std::int32_t CommandUnload(TPluginCallRecIntf& rec);
    std::int32_t CommandSetItems(TPluginCallRecIntf& rec);
    std::int32_t CommandSetState(TPluginCallRecIntf& rec);
    std::int32_t CommandItems(TPluginCallRecIntf& rec);
    std::int32_t CommandEventsSupport(TPluginCallRecIntf& rec);
    std::int32_t CommandGetModuleParameter(TPluginCallRecIntf& rec);
    std::int32_t CommandSetModuleParameter(TPluginCallRecIntf& rec);
    std::int32_t CommandSaveSettingsNow(TPluginCallRecIntf& rec);
    std::int32_t CommandLoadSettingsNow(TPluginCallRecIntf& rec);

    // Construction step 5: the translator's files and languages, the
    // module's own texts registered as translatable.
    void SetUpTranslator();
    TPluginSettingsLocation SettingsLocation() const;
    // Translates the module (its published texts and owned components).
    void TranslateModule(std::string_view fromLanguage, std::string_view toLanguage);
private:
    void ResolveHostCallbacks();
    std::int32_t SettingsNow(TPluginCallRecIntf& rec, bool load);
    // The processing steps of ProcessData on the taken-over record.
    std::int32_t ProcessSteps(TPluginCallRecIntf& rec);
    // Claims the Processing flag for the calling thread; false when another
    // call holds it.
    bool TryBeginProcessing();
    void EndProcessing();
    // Custom parameters: key without "Custom" and one leading ":", "_" or " ".
    Variant GetCustomParameter(std::string_view key);
    bool SetCustomParameter(std::string_view key, const Variant& value);

    platform::CriticalSection commandLock_;
    int nesting_ = 0; // commands of this instance running on the thread that holds commandLock_
    std::vector<TCommandEntry> commands_;
    std::once_flag customParamsMade_;
    std::unique_ptr<TqorThreadParamsList> customParams_;
    std::once_flag configListMade_;
    std::unique_ptr<TModuleConfigList> configList_;
    std::unique_ptr<TLogDataList> log_;
    std::unique_ptr<TWtransl> translator_;
    std::atomic<bool> destroying_{false};
    std::atomic<platform::DWORD> processingThread_{0}; // the thread holding Processing
    platform::Event processingDone_{false, false};      // set when Processing is released
};

} // namespace qor
