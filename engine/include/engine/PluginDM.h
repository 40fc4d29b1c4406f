// The plug-in's own data module: the class CreatePluginInstance instantiates.
// Its handlers give the module's events their meaning for this plug-in.
#pragma once

#include "engine/DataSourceCfg.h"
#include "engine/RequestItems.h"
#include "engine/SerialPortDM.h"
#include "options/PluginDM_TextResources.h"
#include "options/qorStringHolder.h"
#include "plugins/qorPluginModule.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>
#include <string>
#include <string_view>

namespace qor {

class TaPlugin : public TqorPlugin {
public:
    // The data source types the plug-in offers the host, in config list order.
    static constexpr std::array<std::string_view, 4> kDataSourceTypes = {
        "Ethernet/IP", "Ethernet/IP [AB Micro 800]", "Ethernet/IP [Logix 5550]", "Ethernet/IP [MicroLogix 1400]"};

    TaPlugin(TPluginCallRecIntf& rec, platform::HMODULE dllHandle);

    TqorStrHolder* Properties = nullptr; // the settings map, owned as a component of the module
    std::uint8_t Kind = 0;            // controller family of the configured data source type
    TTextResources* TextRes = nullptr; // the engine's words, owned as a component of the module
    bool Unloading = true;            // from creation to load, and again from unload on
    // The options proxy: created at load, freed at unload.
    TDataSourceCfg* Cfg() const { return cfg_.get(); }

    // Reads the options proxy back from the settings through the settings map,
    // then rebuilds the request list of every data source; with runTick every
    // data source runs one scheduler tick afterwards.
    void ReloadConfiguration(TDataSourceCfg& cfg, bool runTick);
    // Rebuilds list from cfg's request list text. With a data source it also
    // sets the source's timing, unless the module is unloading or inactive,
    // and runs one scheduler tick; without one it only fills the list.
    // Unreadable text raises ERequestList (list left empty).
    void LoadRequestList(const TDataSourceCfg* cfg, TRequestList& list, TRequestSource* source);

    // The host's channel to a data source's device: the bytes go to the
    // host's raw-bytes call. Bytes taken, negative on failure, -1 without a
    // host callback. Any thread.
    int SendToHost(std::uint32_t sourceId, std::span<const std::uint8_t> bytes);
    // The data source objects, in component order.
    std::vector<TSerialPortDM*> DataSources() const;
    TSerialPortDM* FindDataSource(std::uint32_t sourceId) const;

    // The display text of a CIP data type code, in the module's language.
    std::string DataTypeText(std::uint16_t code) const;
    // The answer to "GetDataTypeList": "text==Tcode" entries joined by "||".
    std::string DataTypeList() const;

private:
    // Reads the stored form (resource "TAPLUGIN"): the create handler and
    // Properties; without a readable one, the built-in map and a log line.
    void ReadStoredForm();
    void qorPluginCreate();
    void qorPluginLoad(TPluginCallRecIntf& rec, std::int32_t& result);
    void qorPluginUnload(TPluginCallRecIntf& rec, std::int32_t& result);
    void qorPluginSaveSettingsNow();
    void qorPluginLoadSettingsNow();
    void qorPluginShowOptionsDialog(TPluginCallRecIntf& rec, std::uint8_t& confirmed);
    void qorPluginBeforeGetParserItems();
    void qorPluginChangeState(std::uint8_t options);
    void qorPluginProcessData(TPluginCallRecIntf& rec, std::int32_t& result);
    void qorPluginEvent(const std::string& eventType, TPluginCallRecIntf& rec, std::int32_t& result);

    std::unique_ptr<TDataSourceCfg> cfg_;
};

} // namespace qor
