#include "plugins/qorPluginExports.h"

#include "common/qorStrUtils.h"
#include "platform/Debug.h"
#include "platform/Resources.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "plugins/qorPluginCallRec.h"
#include "plugins/qorPluginInstances.h"
#include "plugins/qorPluginModule.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace qor;

namespace {

std::shared_ptr<TqorPlugin> FindInstance(std::uintptr_t handle) {
    std::shared_ptr<TPluginInstanceList> list = PluginInstances();
    return list ? list->Find(handle) : nullptr;
}

bool RecordValid(const TPluginCallRec* rec) { return rec != nullptr && rec->RecSize == kPluginCallRecSize; }

void SetValue(TPluginValue& v, TPluginValueType type, std::uint32_t size, std::uintptr_t data) {
    v.Type = static_cast<std::uint8_t>(type);
    v.Size = size;
    v.Data = data;
}

std::vector<std::uint8_t> Resource(std::string_view name) {
    const auto data = platform::FindResource(PluginLibraryModule(), name);
    return data ? std::vector<std::uint8_t>(data->begin(), data->end()) : std::vector<std::uint8_t>();
}

// Text of a resource up to its first zero byte, without surrounding blanks.
std::string ResourceText(std::string_view name) {
    const std::vector<std::uint8_t> bytes = Resource(name);
    std::string text(bytes.begin(), bytes.end());
    text.resize(std::strlen(text.c_str()));
    return std::string(Trim(text));
}

void PutU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Nothing thrown crosses the boundary: a failure goes to the debugger output
// and the export answers `failed`.
template <class R, class Body>
R Guarded(const char* exportName, R failed, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        platform::OutputDebugString(std::string(exportName) + ": " + e.what());
    } catch (...) {
        platform::OutputDebugString(std::string(exportName) + ": unknown exception");
    }
    return failed;
}

template <class Body>
void Guarded(const char* exportName, Body&& body) noexcept {
    Guarded(exportName, 0, [&] {
        body();
        return 0;
    });
}

} // namespace

extern "C" {

std::int32_t QOR_STDCALL CreatePluginInstance(TPluginCallRec* rec) {
    return Guarded("CreatePluginInstance", std::int32_t(-1), [&]() -> std::int32_t {
        if (rec == nullptr || rec->Instance != 0)
            return -1;
        std::shared_ptr<TPluginInstanceList> list = PluginInstances();
        if (!list)
            return -1;
        std::shared_ptr<TqorPlugin> plugin;
        {
            TPluginCallRecIntf intf(*rec);
            plugin = CreatePluginObject(intf);
        }
        if (!plugin)
            return -1;
        plugin->ModulePluginHandle = reinterpret_cast<std::uintptr_t>(plugin.get());
        list->Add(plugin);
        rec->Instance = plugin->ModulePluginHandle;
        return 0;
    });
}

std::int32_t QOR_STDCALL FreePluginInstance(TPluginCallRec* rec) {
    return Guarded("FreePluginInstance", std::int32_t(-1), [&]() -> std::int32_t {
        if (rec == nullptr)
            return -1;
        if (rec->Value1.Type == static_cast<std::uint8_t>(TPluginValueType::Command) &&
            rec->Value1.Data == kGlobalShutdownCode) {
            GlobalShutdown();
            return 0;
        }
        std::shared_ptr<TPluginInstanceList> list = PluginInstances();
        if (!list || rec->Instance == 0)
            return -1;
        std::shared_ptr<TqorPlugin> plugin = list->Extract(rec->Instance);
        if (!plugin)
            return -1;
        plugin.reset(); // outside the list's lock
        return 0;
    });
}

bool QOR_STDCALL GetModuleInfo(TPluginCallRec* rec, TPluginModuleInfo* info, std::uint32_t* neededSize) {
    return Guarded("GetModuleInfo", bool(false), [&]() -> bool {
        if (rec == nullptr)
            return false;
        std::shared_ptr<TqorPlugin> plugin = FindInstance(rec->Instance);
        return plugin ? plugin->GetModuleInfo(info, neededSize) : false;
    });
}

std::int32_t QOR_STDCALL ExecutePluginCommand(TPluginCallRec* rec) {
    return Guarded("ExecutePluginCommand", std::int32_t(-3), [&]() -> std::int32_t {
        if (!RecordValid(rec))
            return -1;
        std::shared_ptr<TqorPlugin> plugin = FindInstance(rec->Instance);
        if (!plugin)
            return -1;
        std::optional<TPluginCallRecIntf> taken;
        try {
            taken.emplace(*rec);
        } catch (...) {
            return -1; // a list slot that is not a list: an invalid record
        }
        TPluginCallRecIntf& intf = *taken;
        plugin->ApplyTemporaryLoad(intf);
        if (!intf.HasParam("COMMAND"))
            return -1;
        return plugin->ExecuteCommand(intf.ParamText("COMMAND"), intf);
    });
}

std::int32_t QOR_STDCALL ProcessData(TPluginCallRec* rec) {
    return Guarded("ProcessData", std::int32_t(-1), [&]() -> std::int32_t {
        if (!RecordValid(rec))
            return -1;
        std::shared_ptr<TqorPlugin> plugin = FindInstance(rec->Instance);
        if (!plugin)
            return -1;
        return plugin->ProcessData(*rec);
    });
}

std::int32_t QOR_STDCALL GetLogEx(TPluginCallRec* rec) {
    return Guarded("GetLogEx", std::int32_t(0), [&]() -> std::int32_t {
        if (rec == nullptr)
            return 0;
        rec->Value2.Type = static_cast<std::uint8_t>(TPluginValueType::Result);
        rec->Value2.Data = 0;
        std::shared_ptr<TqorPlugin> plugin = FindInstance(rec->Instance);
        return plugin ? plugin->GetLogEx(*rec) : 0;
    });
}

void QOR_STDCALL GetOptionsDialog(TPluginCallRec* rec) {
    if (rec == nullptr)
        return;
    Guarded("GetOptionsDialog", [&] {
        TPluginValue& out = rec->Value2;
        SetValue(out, TPluginValueType::Result, 0, kOptionsDialogUnknownInstance);
        std::shared_ptr<TqorPlugin> plugin = FindInstance(rec->Instance);
        if (!plugin)
            return;

        const TPluginValue in = rec->Value1;
        auto* buffer = reinterpret_cast<std::uint8_t*>(in.Data);
        std::string name;
        if (buffer != nullptr) {
            const auto* text = reinterpret_cast<const char*>(buffer);
            const void* zero = std::memchr(text, 0, in.Size);
            name.assign(text, zero ? static_cast<const char*>(zero) - text : in.Size);
        }

        std::vector<std::uint8_t> block1, block3;
        std::string extra;
        if (plugin->OnGetOptionsDialog && name.empty()) {
            TPluginCallRecIntf intf(*rec, false);
            plugin->OnGetOptionsDialog(intf, name, extra);
            if (name.empty() && extra.empty()) {
                out.Data = kOptionsDialogNone;
                return;
            }
        }
        if (!name.empty()) {
            const std::string upper = platform::AnsiUpperCase(name);
            block1 = Resource(upper);
            block3 = Resource(upper + "_CODE");
        } else if (!plugin->OnGetOptionsDialog) {
            block3 = Resource("FORM_DATA");
            const std::string form = ResourceText("FORM_NAME");
            if (!form.empty())
                block1 = Resource(platform::AnsiUpperCase(form));
        }

        if (block1.empty() && extra.empty() && block3.empty()) {
            out.Data = kOptionsDialogNone;
            return;
        }
        const std::size_t total = 24 + block1.size() + extra.size() + block3.size();
        if (total > 0xFFFFFFFFu)
            return;
        if (buffer == nullptr || in.Size < total) {
            out.Data = kOptionsDialogBufferTooSmall;
            out.Size = static_cast<std::uint32_t>(total);
            return;
        }
        std::vector<std::uint8_t> whole(24);
        PutU32(whole, 0, 24);
        PutU32(whole, 4, static_cast<std::uint32_t>(block1.size()));
        PutU32(whole, 8, static_cast<std::uint32_t>(24 + block1.size()));
        PutU32(whole, 12, static_cast<std::uint32_t>(extra.size()));
        PutU32(whole, 16, static_cast<std::uint32_t>(24 + block1.size() + extra.size()));
        PutU32(whole, 20, static_cast<std::uint32_t>(block3.size()));
        whole.insert(whole.end(), block1.begin(), block1.end());
        whole.insert(whole.end(), extra.begin(), extra.end());
        whole.insert(whole.end(), block3.begin(), block3.end());
        std::memcpy(buffer, whole.data(), whole.size());
        SetValue(out, TPluginValueType::ByteCount, 0, whole.size());
    });
}

void QOR_STDCALL ShowOptionsDialog(TPluginCallRec* rec) {
    if (rec == nullptr)
        return;
    Guarded("ShowOptionsDialog", [&] {
        TPluginValue& out = rec->Value2;
        SetValue(out, TPluginValueType::Result, 4, kShowDialogUnknownInstance);
        std::shared_ptr<TqorPlugin> plugin = FindInstance(rec->Instance);
        if (!plugin)
            return;
        if (!plugin->OnShowOptionsDialog) {
            out.Data = kShowDialogNoHandler;
            return;
        }
        out.Data = kShowDialogShown;
        TPluginCallRecIntf intf(*rec);
        // Whatever happens, the dialog state goes before the record's lists do.
        struct DialogState {
            TqorPlugin& p;
            ~DialogState() {
                p.DialogOpen = false;
                p.DialogOptions = 0;
                p.DialogInput = TqorParamsRef();
            }
        } state{*plugin};
        if (intf.Params()) {
            if (intf.HasParam("INI-FILE"))
                plugin->INIFile = intf.ParamText("INI-FILE");
            plugin->ApplyLanguage(intf.Param("LANGUAGE"));
            if (intf.HasParam("OWNER-FORM"))
                plugin->OwnerForm = static_cast<platform::HWND>(intf.Param("OWNER-FORM").AsInt64());
        }
        plugin->DialogOpen = true;
        plugin->DialogOptions = rec->Options;
        if (intf.Value1List())
            plugin->DialogInput = intf.Value1List(); // the dialog's input list

        std::uint8_t confirmed = 0;
        plugin->OnShowOptionsDialog(intf, confirmed);
        out.Data = confirmed;
        if (confirmed == 0)
            return;

        // Every instance sharing these settings reloads them: at once when it
        // runs on this thread, else through its host window.
        const platform::DWORD thread = platform::GetCurrentThreadId();
        std::shared_ptr<TPluginInstanceList> list = PluginInstances();
        if (!list)
            return;
        for (const std::shared_ptr<TqorPlugin>& other : list->Snapshot()) {
            if (other->ModuleRegistryPath != plugin->ModuleRegistryPath || !other->OnLoadSettingsNow)
                continue;
            if (other->LoadThreadId == thread)
                other->OnLoadSettingsNow();
            else
                other->PostToHost(PLUGIN_MSG_RELOAD_SETTINGS);
        }
    });
}

} // extern "C"
