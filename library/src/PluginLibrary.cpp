// Start and stop of the plug-in library: what happens when the host loads it
// and when it unloads it.
#include "engine/PluginDM.h"
#include "platform/Debug.h"
#include "platform/Module.h"
#include "platform/Resources.h"
#include "plugins/qorPluginInstances.h"
#include "plugins/qorPluginModule.h"

#include <span>

namespace qor {

// The table generated from the resources listed in library/CMakeLists.txt.
std::span<const platform::ResourceEntry> EmbeddedResources();

namespace {

const platform::ModuleResources& Resources() {
    static const platform::ModuleResources resources{QOR_FILE_VERSION, EmbeddedResources()};
    return resources;
}

class TPluginLibrary {
public:
    TPluginLibrary() {
        try {
            PluginLibraryStart();
            RegisterPluginClass<TaPlugin>();
            platform::RegisterModuleResources(PluginLibraryModule(), &Resources());
        } catch (const std::exception& e) {
            // Nothing may escape a static initialiser; the exports then refuse.
            platform::OutputDebugString(std::string("Plug-in library start failed: ") + e.what());
        }
    }
    // Run when the library is unloaded (or the process ends). Instances the
    // host did not free are freed here only where that may wait for their
    // threads: under Windows' loader lock it would never return.
    ~TPluginLibrary() {
        try {
            if (platform::UnloadMayWaitForThreads())
                PluginLibraryStop();
            else
                PluginLibraryAbandon();
            platform::UnregisterModuleResources(PluginLibraryModule());
        } catch (...) {
        }
    }
    TPluginLibrary(const TPluginLibrary&) = delete;
    TPluginLibrary& operator=(const TPluginLibrary&) = delete;
};

const TPluginLibrary library;

} // namespace
} // namespace qor
