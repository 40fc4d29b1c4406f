// One plug-in instance as the host drives it: creation, commands, module
// information, data, log and release, each through the library's exports on
// the host's main thread.
#pragma once

#include "common/qorParamLst.h"
#include "host/Host.h"
#include "host/PluginLibrary.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Where the instance keeps its settings and what it serves, as LOAD passes it.
struct TLoadSettings {
    std::string ApplicationName;   // "APPLICATION-NAME"
    std::string IniFile;           // "INI-FILE"
    std::string RegistryPath;      // "REGISTRY-PATH"
    std::string IniSectionPrefix;  // "INI-SECTION-PREFIX"
    std::string Language;          // "LANGUAGE", when not empty
    std::string DataSourceType;    // becomes "CONFIG-ID" (its identifier), when not empty
};

// GetModuleInfo's answer.
struct TModuleInfo {
    std::uint8_t ModuleType = 0;         // set of 0..7
    std::uint8_t ModuleCapabilities = 0; // elements 0..2
    std::uint32_t InterfaceVersion = 0;
    float VersionNumber = 0;
    std::uint8_t InfoFlag = 0;
    std::string Description;
    std::string CustomCommands;
};

// How the host hands a parameter list across: the address of a variable
// holding its list interface (what a host in another language would do), or
// the raw list object (a host built from the same list code).
enum class TParamsForm { Interface, RawList };

// The state kinds a data-source instance runs with: 0 polls its devices, 1
// takes the bytes the host receives from them (SET-STATE's Options bits).
inline constexpr std::uint8_t kStatePollAndReceive = 0b11;

class TPluginInstance {
public:
    TPluginInstance(TPluginLibrary& library, THost& host, std::uint32_t moduleIndex);
    // Frees the instance when it still exists.
    ~TPluginInstance();
    TPluginInstance(const TPluginInstance&) = delete;
    TPluginInstance& operator=(const TPluginInstance&) = delete;

    std::uintptr_t Handle() const { return handle_; }
    std::uint32_t ModuleIndex() const { return moduleIndex_; }
    const TLoadSettings& Settings() const { return settings_; }
    TParamsForm ParamsForm = TParamsForm::Interface;

    // A record for this instance: RecSize, Instance, ModuleIndex set.
    qor::TPluginCallRec NewRecord() const;

    // CreatePluginInstance with an (empty) parameter list; its result.
    std::int32_t Create();
    // FreePluginInstance; its result.
    std::int32_t Free();

    // ExecutePluginCommand with "COMMAND" = command added to params; answers
    // come back in params (the host's "RESULT" item).
    std::int32_t Execute(std::string_view command, qor::TqorParamsList& params);
    // LOAD with the host's window and module handle and the settings.
    std::int32_t Load(const TLoadSettings& settings);
    std::int32_t Unload();
    // SET-STATE with the host's configured data sources ("DATA-SOURCES-IN-CFG")
    // and RESULT for the state kinds set in options.
    std::int32_t SetState(std::string_view dataSources, std::uint8_t options, std::int32_t result);
    // ITEMS: the parser item text, nullopt when the command failed.
    std::optional<std::string> Items();
    // GET-MODULE-PARAMETER: the module's answer (Unassigned for a name it
    // does not know, or when the command failed).
    qor::Variant GetModuleParameter(std::string_view name);
    // SET-MODULE-PARAMETER: whether the module took the value; nullopt when
    // the command failed.
    std::optional<bool> SetModuleParameter(std::string_view name, const qor::Variant& value);
    // ShowOptionsDialog with the instance's settings file: Value2.Data (the
    // confirmation, or 2 unknown instance, 3 no dialog handler).
    std::uint32_t ShowOptionsDialog();

    std::optional<TModuleInfo> GetModuleInfo();

    // GetOptionsDialog with an optional form name: the whole answer (the
    // 24-byte header and the three blocks); empty when the plug-in gave none,
    // with code, when given, receiving Value2.Data.
    std::vector<std::uint8_t> GetOptionsDialog(std::string_view formName = {}, std::uint32_t* code = nullptr);

    // Bytes received from a device of data source dataSourceId (Value1 Type
    // Text); options as the plug-in reads them (2: data for the receiving side).
    std::int32_t ProcessData(std::uint32_t dataSourceId, std::uint8_t options, std::span<const std::uint8_t> bytes);
    // A device channel event of data source dataSourceId (Value1 Type Event:
    // 257 opened, 258 closed), with the receiving side's option bit.
    std::int32_t ProcessEvent(std::uint32_t dataSourceId, std::uint32_t event);

    // GetLogEx until the log is fetched whole; the lines, oldest first.
    std::vector<TLogLine> FetchLog();

private:
    TPluginLibrary& library_;
    THost& host_;
    std::uint32_t moduleIndex_;
    std::uintptr_t handle_ = 0;
    TLoadSettings settings_;
};

} // namespace host
