#include "engine/PluginDM.h"

#include "engine/SettingsMap.h"
#include "plugins/qorPluginCallRec.h"

#include <cstdio>

namespace qor {

TaPlugin::TaPlugin(TPluginCallRecIntf& rec, platform::HMODULE dllHandle) : TqorPlugin(rec, dllHandle) {
    ReadStoredForm(); // Properties and the create handler (PluginDM_Form.cpp)
}

void TaPlugin::qorPluginCreate() {
    VersionNumber = 5.0f;
    LogTitle = "Ethernet/IP";
    ModuleType = 0b0000'0011; // {0, 1}
    ModuleCapabilities |= 1u << 2; // the module reads "CONFIG-ID" at LOAD
    OnBeforeGetParserItems = [this] { qorPluginBeforeGetParserItems(); };
    OnEvent = [this](const std::string& type, TPluginCallRecIntf& rec, std::int32_t& result) {
        qorPluginEvent(type, rec, result);
    };
    OnLoad = [this](TPluginCallRecIntf& rec, std::int32_t& result) { qorPluginLoad(rec, result); };
    OnUnload = [this](TPluginCallRecIntf& rec, std::int32_t& result) { qorPluginUnload(rec, result); };
    OnSaveSettingsNow = [this] { qorPluginSaveSettingsNow(); };
    OnLoadSettingsNow = [this] { qorPluginLoadSettingsNow(); };
    OnShowOptionsDialog = [this](TPluginCallRecIntf& rec, std::uint8_t& confirmed) {
        qorPluginShowOptionsDialog(rec, confirmed);
    };
    OnChangeState = [this](std::uint8_t options) { qorPluginChangeState(options); };
    OnProcessData = [this](TPluginCallRecIntf& rec, std::int32_t& result) { qorPluginProcessData(rec, result); };
    Unloading = true;

    for (const std::string_view name : kDataSourceTypes)
        ConfigList().AddConfig(name);
    Description = ConfigList().ConfigText();

    // The engine's words speak the module's language from here on.
    TextRes = &AddComponent<TTextResources>("TextRes");
    if (Language.empty())
        Language = "NONE";
    Translator().Translate(Language, *TextRes, "EN");
    Translator().ComponentProperties.Add("Filter");
}

void TaPlugin::qorPluginBeforeGetParserItems() {
    ParserItems.clear();
    AddStandardParserItems(false);
    AddParserItem("EIP_DEVICE_ID", "EIP device ID", "", TParserItemType::Integer);
    // One item per address and element, under the names the packets use:
    // A1, A2, B1, B2 for two addresses of two elements.
    TRequestList requests;
    LoadRequestList(Cfg(), requests, nullptr);
    TRequestList::SectionLock lock(requests);
    for (const auto& request : requests) {
        std::vector<std::vector<std::string>> names;
        for (const TAddressExport& address : request->Exports)
            names.push_back(DeclaredNames(address));
        // Names configured beyond the addresses are declared as written.
        for (std::size_t t = names.size(); t < request->Response.Names.size(); ++t) {
            TAddressExport extra;
            extra.Naming.Stem = request->Response.Names[t];
            extra.Naming.Number = request->Number;
            names.push_back(DeclaredNames(extra));
        }
        for (std::size_t k = 0; k < std::max<std::size_t>(request->Number, 1); ++k)
            for (const auto& address : names)
                if (k < address.size() && !address[k].empty())
                    AddParserItem(address[k], request->Name, "0", TParserItemType::NoType);
    }
}

std::string TaPlugin::DataTypeText(std::uint16_t code) const {
    const TTextResources& t = *TextRes;
    const auto decimal = [&t](const std::string& sign, int bits) {
        return sign + " " + t.Decimal + " (" + std::to_string(bits) + " " + t.Bit + ")";
    };
    const auto sized = [&t](const std::string& word, int bits) {
        return word + " (" + std::to_string(bits) + " " + t.Bit + ")";
    };
    switch (code) {
    case 0x00: return t.None;
    case 0xC1: return t.Boolean;
    case 0xC2: return decimal(t.Signed, 8);
    case 0xC3: return decimal(t.Signed, 16);
    case 0xC4: return decimal(t.Signed, 32);
    case 0xC5: return decimal(t.Signed, 64);
    case 0xC6: case 0xD1: return decimal(t.Unsigned, 8);
    case 0xC7: case 0xD2: return decimal(t.Unsigned, 16);
    case 0xC8: case 0xD3: return decimal(t.Unsigned, 32);
    case 0xC9: case 0xD4: return decimal(t.Unsigned, 64);
    case 0xCA: return sized(t.Float, 32);
    case 0xCB: return sized(t.Float, 64);
    case 0xCC: return t.Time;
    case 0xCD: return t.Date;
    case 0xCF: return t.DateAndTime;
    case 0xD0: case 0xD5: case 0xD9: case 0xDA: return t.String;
    case 0xD6: case 0xDB: return sized(t.Time, 32);
    case 0xD7: return sized(t.Time, 64);
    case 0xD8: return sized(t.Time, 16);
    case 0x2A0: return t.Structure;
    default: return "Data type " + std::to_string(code);
    }
}

std::string TaPlugin::DataTypeList() const {
    static constexpr std::uint16_t kOffered[] = {0x00, 0xC2, 0xC6, 0xC3, 0xC7, 0xC4, 0xC8, 0xC5, 0xC9,
                                                 0xCA, 0xCB, 0xC1, 0xD0, 0xCC, 0xCD, 0xCF, 0x2A0};
    std::string list;
    for (const std::uint16_t code : kOffered) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02X", code);
        if (!list.empty())
            list += "||";
        list += DataTypeText(code) + "==T" + hex;
    }
    return list;
}

void TaPlugin::qorPluginEvent(const std::string& eventType, TPluginCallRecIntf& rec, std::int32_t& result) {
    if (eventType == "GetDataTypeList") {
        rec.Params().SetValue("RESULT", Variant(DataTypeList()), /*addIfMissing=*/true);
        result = 0;
    } else if (StateFlags[0] && eventType == "PORT-OPEN") {
        result = 0;
        const std::vector<TSerialPortDM*> sources = DataSources();
        for (auto it = sources.rbegin(); it != sources.rend(); ++it)
            (*it)->PortOpened();
    }
}

} // namespace qor
