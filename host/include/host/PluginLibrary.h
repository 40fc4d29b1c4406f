// A plug-in library loaded by the substitute host, with its eight exports.
#pragma once

#include "platform/Types.h"
#include "plugins/PluginBoundary.h"

#include <stdexcept>
#include <string>

namespace host {

// Loading failed, or the library lacks an export.
class EPluginLoad : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TPluginExports {
    qor::TCreatePluginInstanceFn CreatePluginInstance = nullptr;
    qor::TFreePluginInstanceFn FreePluginInstance = nullptr;
    qor::TGetModuleInfoFn GetModuleInfo = nullptr;
    qor::TExecutePluginCommandFn ExecutePluginCommand = nullptr;
    qor::TProcessDataFn ProcessData = nullptr;
    qor::TGetLogExFn GetLogEx = nullptr;
    qor::TGetOptionsDialogFn GetOptionsDialog = nullptr;
    qor::TShowOptionsDialogFn ShowOptionsDialog = nullptr;
};

// Loads the library (platform::LoadLibrary) and resolves every export; a
// missing one is an error. Before the library is unloaded the host tells it
// to shut down (FreePluginInstance with the global shutdown code), once.
class TPluginLibrary {
public:
    explicit TPluginLibrary(const std::string& path);
    ~TPluginLibrary();
    TPluginLibrary(const TPluginLibrary&) = delete;
    TPluginLibrary& operator=(const TPluginLibrary&) = delete;

    const TPluginExports& Exports() const { return exports_; }
    platform::HMODULE Handle() const { return module_; }
    const std::string& Path() const { return path_; }

    // FreePluginInstance with Value1 Type Command and Data 65281; its result.
    std::int32_t GlobalShutdown();

private:
    std::string path_;
    platform::HMODULE module_ = 0;
    TPluginExports exports_;
    bool shutDown_ = false;
};

} // namespace host
