#include "engine/PluginDM.h"

namespace qor {

TaPlugin::TaPlugin(TPluginCallRecIntf& rec, platform::HMODULE dllHandle) : TqorPlugin(rec, dllHandle) {
    OnCreate = [this] { qorPluginCreate(); };
}

void TaPlugin::qorPluginCreate() {
    VersionNumber = 5.0f;
    LogTitle = "Ethernet/IP";
    ModuleType = 0b0000'0011; // {0, 1}
    ModuleCapabilities |= 1u << 2; // the module reads "CONFIG-ID" at LOAD
    OnBeforeGetParserItems = [this] { qorPluginBeforeGetParserItems(); };
    Unloading = true;

    for (const std::string_view name : kDataSourceTypes)
        ConfigList().AddConfig(name);
    Description = ConfigList().ConfigText();
}

void TaPlugin::qorPluginBeforeGetParserItems() {
    ParserItems.clear();
    AddStandardParserItems(false);
    AddParserItem("EIP_DEVICE_ID", "EIP device ID", "", TParserItemType::Integer);
}

} // namespace qor
