// A small plug-in library for the boundary tests: the plug-in module with a
// data module whose handlers record what they were asked in the module's
// custom parameters (read back with GET-MODULE-PARAMETER "Custom:<key>") and
// whose custom commands make the module log, send packets and fail on demand.
//
//   TEST-LOG     LEVEL, MESSAGE        Log(level, message)
//   TEST-SEND    SOURCE-ID, FULL, DATA, CLIENT-ID, RAW1, RAW2
//                                      a packet with the standard values, an
//                                      item "VALUE" = 42 and the raw texts
//   TEST-THROW   MESSAGE               raises an exception
//   TEST-UNASSIGN                      drops the ProcessData handler
//   TEST-RAW     SOURCE-ID, DATA       hands DATA to the host as raw bytes for
//                                      the data source; RESULT: the host's answer
//
// ProcessData: the handler answers the byte count of Value1 (Type Text);
// bytes "FAIL" answer -5, bytes "THROW" raise "bad data". Channel events
// (Type Event) are kept as "Events:<source>" ("257;258;..."), received bytes
// of the receiving side (Options bit 2) as "Received:<source>".
#include "platform/Debug.h"
#include "plugins/qorPluginCallRec.h"
#include "plugins/qorPluginInstances.h"
#include "plugins/qorPluginModule.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using namespace qor;

class TTestDataModule : public TqorPlugin {
public:
    TTestDataModule(TPluginCallRecIntf& rec, platform::HMODULE dllHandle) : TqorPlugin(rec, dllHandle) {
        OnCreate = [this] { Create(); };
    }

private:
    void Create() {
        LogTitle = "Test";
        ModuleCapabilities |= 1u << 2;
        ConfigList().AddConfig("Test source");
        Description = ConfigList().ConfigText();
        OnLoad = [this](TPluginCallRecIntf&, std::int32_t&) { Count("Loads"); };
        OnUnload = [this](TPluginCallRecIntf&, std::int32_t&) { Count("Unloads"); };
        OnChangeState = [this](std::uint8_t options) {
            std::string sources;
            for (const TConfigDataSource& s : ConfigDataSources)
                sources += std::to_string(s.Id) + "|" + s.Name + "|" + s.FullName + "|" + s.Line + "\n";
            Record("State", std::int32_t{options});
            Record("Sources", sources);
        };
        OnItemsChanged = [this] { Count("ItemsChanged"); };
        OnSaveSettingsNow = [this] { Append("Saved", INIFile); };
        OnLoadSettingsNow = [this] { Append("Loaded", INIFile); };
        OnShowOptionsDialog = [](TPluginCallRecIntf&, std::uint8_t& confirmed) { confirmed = 1; };
        OnProcessData = [this](TPluginCallRecIntf& rec, std::int32_t& result) { Process(rec, result); };
        OnEvent = [](const std::string& type, TPluginCallRecIntf& rec, std::int32_t& result) {
            if (type != "ECHO")
                return;
            rec.SetParam("RESULT", "ECHO");
            result = 7;
        };
        OnCommand = [this](const std::string& command, TPluginCallRecIntf& rec, std::int32_t& result) {
            Command(command, rec, result);
        };
    }

    void Record(std::string_view key, const Variant& value) {
        TqorThreadParamsList::Locked list(CustomParams());
        list->SetValue(key, value, true);
    }
    void Count(std::string_view key) {
        TqorThreadParamsList::Locked list(CustomParams());
        list->SetValue(key, list->GetValue(key).AsInt64() + 1, true);
    }
    void Append(std::string_view key, const std::string& text) {
        TqorThreadParamsList::Locked list(CustomParams());
        list->SetValue(key, list->GetValue(key).AsString() + text + ";", true);
    }

    void Process(TPluginCallRecIntf& rec, std::int32_t& result) {
        Count("Processed");
        const TPluginValue& in = rec.Rec().Value1;
        const std::string source = std::to_string(rec.Rec().DataSourceId);
        if (in.Type == static_cast<std::uint8_t>(TPluginValueType::Event)) {
            Append("Events:" + source, std::to_string(in.Data));
            return;
        }
        if (in.Type != static_cast<std::uint8_t>(TPluginValueType::Text) || in.Data == 0)
            return;
        const std::string bytes(reinterpret_cast<const char*>(in.Data), in.Size);
        if (rec.Rec().Options & 2) {
            TqorThreadParamsList::Locked list(CustomParams());
            const std::string key = "Received:" + source;
            list->SetValue(key, list->GetValue(key).AsString() + bytes, true);
        }
        if (bytes == "THROW")
            throw std::runtime_error("bad data");
        result = bytes == "FAIL" ? -5 : static_cast<std::int32_t>(in.Size);
    }

    void Command(const std::string& command, TPluginCallRecIntf& rec, std::int32_t& result) {
        if (command == "TEST-LOG") {
            Log(rec.Param("LEVEL").AsInteger(), rec.ParamText("MESSAGE"));
            result = 0;
        } else if (command == "TEST-SEND") {
            TParsedDataList packet;
            AddStandardValues(packet, rec.ParamText("FULL"), rec.ParamText("DATA"),
                              rec.Param("SOURCE-ID").AsInteger(), "Full source name",
                              rec.Param("CLIENT-ID").AsInteger(), "Client source", "Source");
            packet.Add("VALUE", std::int32_t{42});
            for (const char* raw : {"RAW1", "RAW2"})
                if (rec.HasParam(raw))
                    AppendRawText(packet, rec.ParamText(raw));
            SendParsedData(static_cast<std::uint32_t>(rec.Param("SOURCE-ID").AsInteger()), packet);
            result = 0;
        } else if (command == "TEST-THROW") {
            throw std::runtime_error(rec.ParamText("MESSAGE"));
        } else if (command == "TEST-RAW") {
            const std::string data = rec.ParamText("DATA");
            const auto send = DataLogger_SendDataEx.load();
            rec.SetParam("RESULT", send ? send(ModuleIndex, static_cast<std::uint32_t>(rec.Param("SOURCE-ID").AsInteger()),
                                               static_cast<std::uint32_t>(data.size()), 0, kSendRawBytes,
                                               const_cast<char*>(data.data()), 0)
                                        : -1);
            result = 0;
        } else if (command == "TEST-UNASSIGN") {
            OnProcessData = nullptr;
            result = 0;
        }
    }
};

class TTestLibrary {
public:
    TTestLibrary() {
        try {
            PluginLibraryStart();
            RegisterPluginClass<TTestDataModule>();
        } catch (const std::exception& e) {
            platform::OutputDebugString(std::string("Test plug-in start failed: ") + e.what());
        }
    }
    ~TTestLibrary() {
        try {
            PluginLibraryStop();
        } catch (...) {
        }
    }
    TTestLibrary(const TTestLibrary&) = delete;
    TTestLibrary& operator=(const TTestLibrary&) = delete;
};

const TTestLibrary library;

} // namespace
