#include "host/PluginLibrary.h"

#include "platform/Errors.h"
#include "platform/Module.h"

namespace host {

namespace {

template <class Fn>
void Resolve(platform::HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(platform::GetProcAddress(module, name));
    if (fn == nullptr)
        throw EPluginLoad(std::string("The plug-in library has no export ") + name);
}

} // namespace

TPluginLibrary::TPluginLibrary(const std::string& path) : path_(path) {
    module_ = platform::LoadLibrary(path);
    if (module_ == 0)
        throw EPluginLoad("Cannot load the plug-in library " + path + " (error " +
                          std::to_string(platform::GetLastError()) + ")");
    try {
        Resolve(module_, qor::kExportCreatePluginInstance, exports_.CreatePluginInstance);
        Resolve(module_, qor::kExportFreePluginInstance, exports_.FreePluginInstance);
        Resolve(module_, qor::kExportGetModuleInfo, exports_.GetModuleInfo);
        Resolve(module_, qor::kExportExecutePluginCommand, exports_.ExecutePluginCommand);
        Resolve(module_, qor::kExportProcessData, exports_.ProcessData);
        Resolve(module_, qor::kExportGetLogEx, exports_.GetLogEx);
        Resolve(module_, qor::kExportGetOptionsDialog, exports_.GetOptionsDialog);
        Resolve(module_, qor::kExportShowOptionsDialog, exports_.ShowOptionsDialog);
    } catch (...) {
        platform::FreeLibrary(module_);
        throw;
    }
}

TPluginLibrary::~TPluginLibrary() {
    GlobalShutdown();
    platform::FreeLibrary(module_);
}

std::int32_t TPluginLibrary::GlobalShutdown() {
    if (shutDown_)
        return 0;
    shutDown_ = true;
    qor::TPluginCallRec rec{};
    rec.RecSize = qor::kPluginCallRecSize;
    rec.Value1.Type = static_cast<std::uint8_t>(qor::TPluginValueType::Command);
    rec.Value1.Data = qor::kGlobalShutdownCode;
    return exports_.FreePluginInstance(&rec);
}

} // namespace host
