#include "host/PluginInstance.h"

#include "common/qorParamLstWrap.h"

#include <cstring>
#include <limits>

namespace host {

namespace {

// A list handed across for one call, in the chosen form.
class TParamsArgument {
public:
    TParamsArgument(qor::TqorParamsList& list, TParamsForm form) {
        if (form == TParamsForm::Interface) {
            wrap_ = qor::TqorParamsListWrap::Create(&list);
            address_ = reinterpret_cast<std::uintptr_t>(wrap_->GetInterfacePtr());
        } else {
            address_ = reinterpret_cast<std::uintptr_t>(&list);
        }
    }
    std::uintptr_t Address() const { return address_; }

private:
    qor::TqorParamsListWrap::Ptr wrap_;
    std::uintptr_t address_ = 0;
};

// The text at address, when it lies inside the buffer.
std::string TextInBuffer(const std::vector<std::uint8_t>& buffer, std::uintptr_t address, std::uint32_t length) {
    if (length == 0)
        return {};
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    if (address < begin || address - begin > buffer.size() || length > buffer.size() - (address - begin))
        return {};
    return std::string(reinterpret_cast<const char*>(address), length);
}

} // namespace

TPluginInstance::TPluginInstance(TPluginLibrary& library, THost& host, std::uint32_t moduleIndex)
    : library_(library), host_(host), moduleIndex_(moduleIndex) {}

TPluginInstance::~TPluginInstance() {
    if (handle_ != 0) {
        try {
            Free();
        } catch (...) {
        }
    }
    host_.Detach(*this);
}

qor::TPluginCallRec TPluginInstance::NewRecord() const {
    qor::TPluginCallRec rec{};
    rec.RecSize = qor::kPluginCallRecSize;
    rec.Instance = handle_;
    rec.ModuleIndex = moduleIndex_;
    return rec;
}

std::int32_t TPluginInstance::Create() {
    host_.CheckThread();
    if (handle_ != 0)
        return -1;
    // With a parameter list (even an empty one) the instance is not a temporary load.
    qor::TqorParamsList params;
    TParamsArgument argument(params, ParamsForm);
    qor::TPluginCallRec rec = NewRecord();
    rec.Params = argument.Address();
    const std::int32_t result = library_.Exports().CreatePluginInstance(&rec);
    if (result == 0) {
        handle_ = rec.Instance;
        host_.Attach(*this);
    }
    return result;
}

std::int32_t TPluginInstance::Free() {
    host_.CheckThread();
    qor::TPluginCallRec rec = NewRecord();
    const std::int32_t result = library_.Exports().FreePluginInstance(&rec);
    handle_ = 0;
    host_.Detach(*this);
    return result;
}

std::int32_t TPluginInstance::Execute(std::string_view command, qor::TqorParamsList& params) {
    host_.CheckThread();
    params.SetValue("COMMAND", std::string(command), true);
    TParamsArgument argument(params, ParamsForm);
    qor::TPluginCallRec rec = NewRecord();
    rec.Params = argument.Address();
    return library_.Exports().ExecutePluginCommand(&rec);
}

std::int32_t TPluginInstance::Load(const TLoadSettings& settings) {
    settings_ = settings;
    qor::TqorParamsList params;
    params.Add("HANDLE", static_cast<long long>(host_.ModuleHandle()));
    params.Add("MSG-PROC-HANDLE", static_cast<long long>(host_.Window()));
    params.Add("APPLICATION-NAME", settings.ApplicationName);
    params.Add("INI-FILE", settings.IniFile);
    params.Add("REGISTRY-PATH", settings.RegistryPath);
    params.Add("INI-SECTION-PREFIX", settings.IniSectionPrefix);
    if (!settings.Language.empty())
        params.Add("LANGUAGE", settings.Language);
    if (!settings.DataSourceType.empty())
        params.Add("CONFIG-ID", ConfigIdentifier(settings.DataSourceType));
    return Execute("LOAD", params);
}

std::int32_t TPluginInstance::Unload() {
    qor::TqorParamsList params;
    params.Add("INI-FILE", settings_.IniFile);
    return Execute("UNLOAD", params);
}

std::int32_t TPluginInstance::SetState(std::string_view dataSources, std::uint8_t options, std::int32_t result) {
    host_.CheckThread();
    qor::TqorParamsList params;
    params.Add("COMMAND", "SET-STATE");
    params.Add("DATA-SOURCES-IN-CFG", dataSources);
    params.Add("RESULT", result);
    TParamsArgument argument(params, ParamsForm);
    qor::TPluginCallRec rec = NewRecord();
    rec.Options = options;
    rec.Params = argument.Address();
    return library_.Exports().ExecutePluginCommand(&rec);
}

std::optional<std::string> TPluginInstance::Items() {
    qor::TqorParamsList params;
    params.Add("RESULT", qor::Variant());
    if (Execute("ITEMS", params) != 0)
        return std::nullopt;
    return params.GetValue("RESULT").AsString();
}

qor::Variant TPluginInstance::GetModuleParameter(std::string_view name) {
    qor::TqorParamsList params;
    params.Add("PARAM", name);
    params.Add("RESULT", qor::Variant());
    if (Execute("GET-MODULE-PARAMETER", params) != 0)
        return {};
    return params.GetValue("RESULT");
}

std::optional<bool> TPluginInstance::SetModuleParameter(std::string_view name, const qor::Variant& value) {
    qor::TqorParamsList params;
    params.Add("PARAM", name);
    params.Add("VALUE", value);
    params.Add("RESULT", qor::Variant());
    if (Execute("SET-MODULE-PARAMETER", params) != 0)
        return std::nullopt;
    return params.GetValue("RESULT").AsBoolean();
}

std::uint32_t TPluginInstance::ShowOptionsDialog() {
    host_.CheckThread();
    qor::TqorParamsList params;
    params.Add("INI-FILE", settings_.IniFile);
    TParamsArgument argument(params, ParamsForm);
    qor::TPluginCallRec rec = NewRecord();
    rec.Params = argument.Address();
    library_.Exports().ShowOptionsDialog(&rec);
    return static_cast<std::uint32_t>(rec.Value2.Data);
}

std::optional<TModuleInfo> TPluginInstance::GetModuleInfo() {
    host_.CheckThread();
    std::vector<std::uint8_t> buffer(qor::kPluginModuleInfoFixedSize);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto* info = reinterpret_cast<qor::TPluginModuleInfo*>(buffer.data());
        info->Size = static_cast<std::uint32_t>(buffer.size());
        qor::TPluginCallRec rec = NewRecord();
        std::uint32_t needed = 0;
        if (library_.Exports().GetModuleInfo(&rec, info, &needed)) {
            TModuleInfo out;
            out.ModuleType = static_cast<std::uint8_t>(info->TypeAndCapabilities & 0xFF);
            out.ModuleCapabilities = static_cast<std::uint8_t>(info->TypeAndCapabilities >> 16 & 0x07);
            out.InterfaceVersion = info->InterfaceVersion;
            out.VersionNumber = info->VersionNumber;
            out.InfoFlag = info->InfoFlag;
            out.Description = TextInBuffer(buffer, info->DescriptionText, info->DescriptionLength);
            out.CustomCommands = TextInBuffer(buffer, info->CustomCommandsText, info->CustomCommandsLength);
            return out;
        }
        if (needed <= buffer.size() || needed > 16u * 1024 * 1024)
            return std::nullopt;
        buffer.assign(needed, 0);
    }
    return std::nullopt;
}

std::vector<std::uint8_t> TPluginInstance::GetOptionsDialog(std::string_view formName, std::uint32_t* code) {
    host_.CheckThread();
    // The name goes in the buffer the answer comes back in, zero-terminated.
    std::vector<std::uint8_t> buffer(formName.begin(), formName.end());
    buffer.push_back(0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        qor::TPluginCallRec rec = NewRecord();
        rec.Value1.Type = static_cast<std::uint8_t>(qor::TPluginValueType::Text);
        rec.Value1.Size = static_cast<std::uint32_t>(buffer.size());
        rec.Value1.Data = reinterpret_cast<std::uintptr_t>(buffer.data());
        library_.Exports().GetOptionsDialog(&rec);
        if (code != nullptr)
            *code = static_cast<std::uint32_t>(rec.Value2.Data);
        if (rec.Value2.Type == static_cast<std::uint8_t>(qor::TPluginValueType::ByteCount)) {
            if (rec.Value2.Data < 24 || rec.Value2.Data > buffer.size())
                return {};
            buffer.resize(static_cast<std::size_t>(rec.Value2.Data));
            return buffer;
        }
        // 3: the buffer is too small; Value2.Size tells what it takes.
        if (rec.Value2.Data != 3 || rec.Value2.Size <= buffer.size() || rec.Value2.Size > 64u * 1024 * 1024)
            return {};
        buffer.resize(rec.Value2.Size, 0);
    }
    return {};
}

std::int32_t TPluginInstance::ProcessData(std::uint32_t dataSourceId, std::uint8_t options,
                                          std::span<const std::uint8_t> bytes) {
    host_.CheckThread();
    qor::TPluginCallRec rec = NewRecord();
    rec.DataSourceId = dataSourceId;
    rec.Options = options;
    rec.Value1.Type = static_cast<std::uint8_t>(qor::TPluginValueType::Text);
    rec.Value1.Size = static_cast<std::uint32_t>(bytes.size());
    rec.Value1.Data = reinterpret_cast<std::uintptr_t>(bytes.data());
    return library_.Exports().ProcessData(&rec);
}

std::int32_t TPluginInstance::ProcessEvent(std::uint32_t dataSourceId, std::uint32_t event) {
    host_.CheckThread();
    qor::TPluginCallRec rec = NewRecord();
    rec.DataSourceId = dataSourceId;
    rec.Options = 2;
    rec.Value1.Type = static_cast<std::uint8_t>(qor::TPluginValueType::Event);
    rec.Value1.Data = event;
    return library_.Exports().ProcessData(&rec);
}

std::vector<TLogLine> TPluginInstance::FetchLog() {
    host_.CheckThread();
    std::vector<std::uint8_t> buffer(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        qor::TPluginCallRec rec = NewRecord();
        rec.Value1.Type = static_cast<std::uint8_t>(qor::TPluginValueType::Text);
        rec.Value1.Size = static_cast<std::uint32_t>(buffer.size());
        rec.Value1.Data = reinterpret_cast<std::uintptr_t>(buffer.data());
        const std::int32_t copied = library_.Exports().GetLogEx(&rec);
        if (copied > 0 && static_cast<std::size_t>(copied) <= buffer.size())
            return ParseLogText(moduleIndex_,
                                std::string_view(reinterpret_cast<const char*>(buffer.data()), copied));
        // Nothing copied: empty, or the buffer was too small (Value2.Data tells the length).
        const std::uintptr_t length = rec.Value2.Data;
        if (length <= buffer.size() || length > std::numeric_limits<std::uint32_t>::max())
            return {};
        buffer.assign(length, 0);
    }
    return {};
}

} // namespace host
