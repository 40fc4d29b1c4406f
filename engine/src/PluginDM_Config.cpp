// The data module's configuration: the options proxy, loaded and saved through
// the settings map, and the options dialog's confirmation.
#include "engine/PluginDM.h"

#include <vector>

namespace qor {

namespace {

// The translated texts carry "%s" where the message goes; they are not format
// strings to trust.
std::string ReplaceFirst(std::string text, std::string_view what, std::string_view with) {
    if (const std::size_t at = text.find(what); at != std::string::npos)
        text.replace(at, what.size(), with);
    return text;
}

} // namespace

void TaPlugin::ReloadConfiguration(TDataSourceCfg& cfg, bool runTick) {
    LoadSettings(Properties->Strings(), cfg);
    std::vector<TRequestSource*> sources;
    for (int i = 0; i < ComponentCount(); ++i)
        if (auto* source = dynamic_cast<TRequestSource*>(&Components(i)))
            sources.push_back(source);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        try {
            LoadRequestList(&cfg, sources[i]->RequestList, sources[i]);
        } catch (const std::exception& e) {
            Log(0, ReplaceFirst(TextRes->ItemsFormationError, "%s", e.what()));
            // Every data source reads the same text, so the ones after this
            // one would fail alike: stop them too rather than leave them
            // polling a list the user has replaced.
            for (std::size_t j = i + 1; j < sources.size(); ++j)
                LoadRequestList(nullptr, sources[j]->RequestList, sources[j]);
            break;
        }
    }
    if (runTick)
        for (TRequestSource* source : sources)
            source->SchedulerTick();
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
    // Each data source stops its timer and lets its items go; the workers
    // stay until the data sources themselves go.
    for (TSerialPortDM* source : DataSources())
        LoadRequestList(nullptr, source->RequestList, source);
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
