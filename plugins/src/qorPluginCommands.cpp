// The module's command dispatcher and the commands the host sends through
// ExecutePluginCommand.
#include "plugins/qorPluginModule.h"

#include "common/qorAssert.h"
#include "platform/Debug.h"
#include "platform/Messages.h"
#include "platform/Module.h"
#include "platform/Thread.h"
#include "plugins/qorPluginCallRec.h"
#include "plugins/qorPluginInstances.h"
#include "plugins/qorPluginSettings.h"
#include "qorPluginText.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qor {

using detail::IntegerOr;
using detail::Split;
using detail::NonEmptyLines;

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
        for (const std::string_view line : NonEmptyLines(text)) {
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

} // namespace qor
