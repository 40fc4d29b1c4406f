// The data sources a logger runs in one host: each as a plug-in instance of
// its own (the request list, the data source type and the language belong to
// an instance), set up the way the data-logging application sets one up:
// LOAD with a settings location, the settings stored as the options dialog
// stores them, SET-STATE with the data source, then the host's TCP connection
// to the device.
//
// Packets come from the plug-in on any thread; they are converted at once and
// handed to OnPacket on the host's main thread, in arrival order.
#pragma once

#include "host/DeviceConnections.h"
#include "host/Host.h"
#include "host/HostConfig.h"
#include "host/LogHistory.h"
#include "host/MessageWindow.h"
#include "host/Outputs.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace host {

enum class TLinkState { Connecting, Connected, Retrying };
const char* LinkStateName(TLinkState state);

// The items every packet starts with (time stamp, data source, device,
// request); what follows them are the values read.
bool IsHeaderItem(std::string_view name);

class TAcquisition : public IPacketSink, public IRawBytesSink {
public:
    // settingsBase: where the instances keep their settings, each in a file
    // of its own ("<settingsBase>-<n>.ini"): a confirmed dialog makes every
    // instance sharing the file reload, and one data source's new requests
    // must not restart the others' polling.
    TAcquisition(THost& host, TPluginLibrary& library, std::string settingsBase);
    ~TAcquisition() override;
    TAcquisition(const TAcquisition&) = delete;
    TAcquisition& operator=(const TAcquisition&) = delete;

    // Starts the data source. Throws std::runtime_error saying which step the
    // plug-in refused; the data source is then not running.
    void Start(const TSourceSettings& source);
    // Stores the data source's new request list and options and has its
    // instance reload them (the way a confirmed options dialog does).
    void Reload(const TSourceSettings& source);
    // Ends every data source: SET-STATE without data sources, the device
    // connections closed, UNLOAD, FreePluginInstance. Packets delivered
    // before reach OnPacket before this returns.
    void Stop();

    const std::vector<TSourceSettings>& Sources() const { return settings_; }
    TLinkState State(const std::string& source) const;

    std::function<void(TOutputPacket&&)> OnPacket; // main thread
    std::function<void(const std::string&)> OnLog; // main thread: "[source] level: text"
    // The log lines so far (plug-in and connections), in order: the last
    // TLogHistory::kDefaultLimit of them; LogLinesDropped older ones went.
    std::vector<std::string> LogLines() const { return log_.Lines(); }
    std::uint64_t LogLinesDropped() const { return log_.Dropped(); }

    void OnDataPacket(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                      const qor::TPluginCallRec& rec) override;
    std::int32_t SendToDevice(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                              std::span<const std::uint8_t> bytes) override;

private:
    struct TRunning {
        TSourceSettings Settings;
        std::unique_ptr<TPluginInstance> Instance;
        std::unique_ptr<TDeviceConnections> Connections;
        TDataSourceConfig Config;
    };
    void Log(const std::string& source, const std::string& line);
    void DeliverPackets();
    std::string NameOf(std::uint32_t moduleIndex) const;

    THost& host_;
    TPluginLibrary& library_;
    std::string settingsBase_;
    TMessageWindow window_;
    std::uint32_t nextIndex_ = 1;
    // Sources by module index; changed on the main thread under routeLock_ so
    // plug-in threads can route bytes and name packets.
    mutable std::shared_mutex routeLock_;
    std::map<std::uint32_t, std::unique_ptr<TRunning>> running_;
    std::vector<TSourceSettings> settings_;
    std::mutex packetLock_;
    std::deque<TOutputPacket> packets_;
    TLogHistory<std::string> log_;
};

} // namespace host
