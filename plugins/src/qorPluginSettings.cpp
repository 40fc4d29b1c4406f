#include "plugins/qorPluginSettings.h"

#include "common/TWregistry.h"

#include "platform/Registry.h"

#include <exception>

namespace qor {

namespace {

// A root number outside 0..5 opens nothing, so the other root is tried.
platform::RegistryRoot RootOf(std::uint8_t index) {
    return platform::RegistryRootFromIndex(index).value_or(platform::RegistryRoot::None);
}

bool Run(const TPluginSettingsLocation& location, const TStringList& map, TPersistent& root,
         std::string_view iniFile, bool save) noexcept {
    try {
        TWreg wreg;
        wreg.RegistryRoot = RootOf(location.RegistryRoot1);
        wreg.SecondRegistryRoot = RootOf(location.RegistryRoot2);
        wreg.RegistryPath = location.RegistryPath;
        wreg.INIFileSectionPrefix = location.INISectionPrefix;
        wreg.INIFile = iniFile.empty() ? location.INIFile : std::string(iniFile);
        wreg.Components.Assign(map.Lines());
        return save ? wreg.Save(root) : wreg.Load(root);
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

bool LoadSettings(const TPluginSettingsLocation& location, const TStringList& map, TPersistent& root,
                  std::string_view iniFile) {
    return Run(location, map, root, iniFile, false);
}

bool SaveSettings(const TPluginSettingsLocation& location, const TStringList& map, TPersistent& root,
                  std::string_view iniFile) {
    return Run(location, map, root, iniFile, true);
}

} // namespace qor
