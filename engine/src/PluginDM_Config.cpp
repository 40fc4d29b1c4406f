// The data module's configuration: the options proxy, loaded and saved through
// the settings map, and the options dialog's confirmation.
#include "engine/PluginDM.h"

namespace qor {

void TaPlugin::ReloadConfiguration(TDataSourceCfg& cfg, bool /*runTick*/) {
    LoadSettings(Properties->Strings(), cfg);
}

void TaPlugin::qorPluginLoad(TPluginCallRecIntf&, std::int32_t&) {
    cfg_ = std::make_unique<TDataSourceCfg>();
    Unloading = false;
    Kind = 0;
    std::string name;
    const int index = ConfigList().FindConfig(static_cast<std::uint32_t>(ModuleLoadForConfig), &name);
    if (index >= 0) {
        LogTitle = name;
        // Positions 1 and 3 of the config list: Micro800 and MicroLogix.
        Kind = index == 1 ? 1 : index == 3 ? 2 : 0;
    }
    ReloadConfiguration(*cfg_, false);
}

void TaPlugin::qorPluginUnload(TPluginCallRecIntf&, std::int32_t&) {
    Unloading = true;
    cfg_.reset();
}

void TaPlugin::qorPluginSaveSettingsNow() {
    if (cfg_)
        SaveSettings(Properties->Strings(), *cfg_);
}

void TaPlugin::qorPluginLoadSettingsNow() {
    if (cfg_)
        ReloadConfiguration(*cfg_, true);
}

// The dialog itself is the host's: confirming is all the plug-in answers; the
// export then has every instance sharing these settings reload them.
void TaPlugin::qorPluginShowOptionsDialog(TPluginCallRecIntf&, std::uint8_t& confirmed) {
    confirmed = 1;
}

} // namespace qor
