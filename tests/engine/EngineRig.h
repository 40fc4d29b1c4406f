// The host side of the engine's end-to-end tests: the plug-in library loaded
// by the substitute host, a request list stored the way the options dialog
// stores it, and each data source connected to a simulated controller over
// loopback TCP.
#pragma once

#include "host/DeviceConnections.h"
#include "host/Host.h"
#include "host/OptionsDialog.h"
#include "host/PacketStore.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"
#include "sim/SimController.h"
#include "sim/TagFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace enginetest {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// One request item of the stored list. Export names may be empty.
struct Req {
    Req(std::string caption, std::string address, std::string names, int number = 1, std::string dataType = {},
        std::string scale = "1", int pollMs = 20, int timeoutMs = 1000)
        : Caption(std::move(caption)), Address(std::move(address)), Names(std::move(names)), Number(number),
          DataType(std::move(dataType)), Scale(std::move(scale)), PollMs(pollMs), TimeoutMs(timeoutMs) {}
    std::string Caption;
    std::string Address;
    std::string Names;
    int Number;
    std::string DataType; // "TC1", "TD0", ...
    std::string Scale;
    int PollMs;           // 0: read once
    int TimeoutMs;
    std::string Device = "0";
    bool Enabled = true;
};

inline std::string RequestXml(const std::vector<Req>& items) {
    std::string xml = "<?xml version=\"1.0\"?><Root><Params><MODBUSRTUQUERY>";
    for (const Req& r : items) {
        xml += "<Item caption=\"" + r.Caption + "\"><enabled>" + (r.Enabled ? "1" : "0") + "</enabled><Device>" + r.Device + "</Device><ADDRESS>" +
               r.Address + "</ADDRESS><Number>" + std::to_string(r.Number) + "</Number>";
        if (!r.DataType.empty())
            xml += "<DataType>" + r.DataType + "</DataType>";
        xml += "<Timeout>" + std::to_string(r.TimeoutMs) + "</Timeout><RequestMethod>";
        if (r.PollMs > 0)
            xml += "<MethodPoll check=\"2\"><PollInterval>" + std::to_string(r.PollMs) +
                   "</PollInterval><PollUnits>MS</PollUnits></MethodPoll>";
        else
            xml += "<MethodOnce check=\"2\"/>";
        xml += "</RequestMethod><Name>" + r.Names + "</Name><Scale>" + r.Scale + "</Scale></Item>";
    }
    return xml + "</MODBUSRTUQUERY></Params></Root>";
}

inline std::unique_ptr<sim::SimController> StartSim(sim::Personality family = sim::Personality::Logix,
                                                    bool multipleService = true) {
    sim::SimConfig config;
    config.Device.Family = family;
    config.Device.MultipleService = multipleService;
    config.Device.Identity = sim::DefaultIdentity(family);
    auto plc = std::make_unique<sim::SimController>(config);
    sim::LoadTagText(sim::SampleTagText(), plc->Tags(), plc->Files());
    plc->Start();
    return plc;
}

// The host with one plug-in instance of a data source type.
class Rig {
public:
    explicit Rig(const std::string& type = "Ethernet/IP")
        : dir_(fs::temp_directory_path() /
               ("qor-engine-" + std::to_string(::getpid()) + "-" + std::to_string(++count_))),
          library_(QOR_PLUGIN_PATH), instance_(library_, host_, 1) {
        fs::create_directories(dir_);
        host_.SetPacketSink(&packets_);
        host_.OnLogLine = [this](const host::TLogLine& line) { log_.push_back(line.Text); };
        EXPECT_EQ(instance_.Create(), 0);
        host::TLoadSettings settings;
        settings.ApplicationName = "test";
        settings.IniFile = (dir_ / "instance.ini").string();
        settings.DataSourceType = type;
        EXPECT_EQ(instance_.Load(settings), 0);
    }
    ~Rig() {
        instance_.SetState("", host::kStatePollAndReceive, 0);
        connections_.reset();
        host_.SetPacketSink(nullptr);
        instance_.Unload();
        instance_.Free();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Stores the request list and options as the dialog's OK does.
    void Configure(const std::vector<Req>& items, bool exportAll = false, int minInterval = 0, bool combine = true) {
        const host::TOptionsDialog dialog = host::FetchOptionsDialog(instance_);
        EXPECT_EQ(host::ConfirmOptionsDialog(host_, instance_, dialog,
                                             {{"Parser config", RequestXml(items)},
                                              {"Min interval", std::to_string(minInterval)},
                                              {"Export at once ", exportAll ? "1" : "0"},
                                              {"Combine requests", combine ? "1" : "0"}}),
                  1u);
    }
    // The data sources the host configures, each with its simulated device.
    void Connect(const std::vector<std::pair<std::uint32_t, std::uint16_t>>& sources) {
        if (!connections_)
            connections_.emplace(host_, instance_);
        std::vector<host::TDataSourceConfig> configs;
        for (const auto& [id, port] : sources)
            configs.push_back({id, "DS" + std::to_string(id), "Source " + std::to_string(id),
                               "127.0.0.1:" + std::to_string(port)});
        EXPECT_EQ(instance_.SetState(host::DataSourcesText(configs), host::kStatePollAndReceive, 1), 0);
        // As a host does: a data source that is gone loses its channel, a new
        // one gets a channel of its own.
        for (const std::uint32_t id : ids_)
            if (std::none_of(configs.begin(), configs.end(), [id](auto& c) { return c.Id == id; }))
                connections_->Remove(id);
        ids_.clear();
        for (const auto& config : configs) {
            ids_.insert(config.Id);
            if (!connections_->IsOpen(config.Id) && !connections_->RetryPending(config.Id))
                connections_->Add(config);
        }
    }
    // Runs the host's message loop until pred holds or the time is up.
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            host_.RunMessageLoopFor(10);
        }
        return true;
    }
    void RunFor(std::chrono::milliseconds ms) { host_.RunMessageLoopFor(static_cast<std::uint32_t>(ms.count())); }

    std::vector<host::TStoredPacket> Packets() const { return packets_.Packets(); }
    std::size_t PacketCount() const { return packets_.Count(); }
    // Packets of one data source from index from on.
    std::size_t CountOf(std::uint32_t sourceId, std::size_t from = 0) const {
        const auto all = Packets();
        return static_cast<std::size_t>(std::count_if(all.begin() + static_cast<long>(std::min(from, all.size())),
                                                      all.end(), [&](auto& x) { return x.SourceId == sourceId; }));
    }
    // Packets of one request (by its caption) from index from on.
    std::vector<host::TStoredPacket> PacketsOf(const std::string& caption, std::size_t from = 0) const {
        std::vector<host::TStoredPacket> out;
        const auto all = Packets();
        for (std::size_t i = from; i < all.size(); ++i)
            if (all[i].Items->GetValue("EIP_REQ").AsString() == caption)
                out.push_back(all[i]);
        return out;
    }
    bool Logged(const std::string& text) const {
        for (const std::string& line : log_)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::string IniFile() const { return (dir_ / "instance.ini").string(); }
    host::THost& Host() { return host_; }
    host::TPluginInstance& Instance() { return instance_; }
    host::TDeviceConnections& Connections() { return *connections_; }
    host::TPacketStore& Store() { return packets_; }
    std::vector<std::string> log_;

private:
    static inline int count_ = 0;
    fs::path dir_;
    host::THost host_;
    host::TPluginLibrary library_;
    host::TPluginInstance instance_;
    host::TPacketStore packets_;
    std::optional<host::TDeviceConnections> connections_;
    std::set<std::uint32_t> ids_;
};

// Item names and values of a packet, without the row marker. A name given
// twice in one packet fails the test: one value would hide the other.
inline std::map<std::string, qor::Variant> Values(const host::TStoredPacket& p) {
    std::map<std::string, qor::Variant> out;
    for (int i = 0; i < p.Items->Count(); ++i) {
        const auto& item = *p.Items->GetItem(i);
        if (!item.IsRowMarker()) {
            EXPECT_TRUE(out.emplace(item.Name, item.Value).second) << "name given twice: " << item.Name;
        }
    }
    return out;
}

} // namespace enginetest
