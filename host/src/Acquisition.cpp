#include "host/Acquisition.h"

#include "common/qorParamLstWrap.h"
#include "host/OptionsDialog.h"
#include "platform/Messages.h"

#include <array>
#include <fstream>
#include <stdexcept>

namespace host {

namespace {

// Posted when the first packet of a batch waits for the main thread.
constexpr platform::UINT WM_PACKETS = platform::WM_USER + 10;

} // namespace

const char* LinkStateName(TLinkState state) {
    switch (state) {
    case TLinkState::Connected:
        return "connected";
    case TLinkState::Retrying:
        return "retrying";
    default:
        return "connecting";
    }
}

bool IsHeaderItem(std::string_view name) {
    static constexpr std::array<std::string_view, 11> kHeader = {
        "FULL_DATA_PACKET", "DATA_PACKET",      "DATE_TIME_STAMP",
        "DATA_SOURCE_ID",   "DATA_SOURCE_NAME", "DATA_SOURCE_FULL_NAME",
        "CLIENTID",         "EIP_DEVICE",       "EIP_DEVICE_SN",
        "EIP_REQ",          "EIP_ADDRESS"};
    for (const std::string_view h : kHeader)
        if (name == h)
            return true;
    return false;
}

TAcquisition::TAcquisition(THost& host, TPluginLibrary& library, std::string settingsBase)
    : host_(host), library_(library), settingsBase_(std::move(settingsBase)),
      window_([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
          if (msg != WM_PACKETS)
              return false;
          DeliverPackets();
          return true;
      }) {
    host_.OnLogLine = [this](const TLogLine& line) {
        Log(NameOf(line.ModuleIndex), std::string(LogLevelName(line.Level)) + ": " + line.Text);
    };
    host_.SetPacketSink(this);
}

TAcquisition::~TAcquisition() {
    try {
        Stop();
    } catch (const std::exception&) {
        // Stop logs what it can; nothing leaves a destructor.
    }
    host_.SetPacketSink(nullptr);
    host_.OnLogLine = nullptr;
}

void TAcquisition::Start(const TSourceSettings& source) {
    const std::uint32_t index = nextIndex_++;
    host_.SetRawBytesSink(this); // withdrawn by Stop
    auto run = std::make_unique<TRunning>();
    run->Settings = source;
    run->Config.Id = index;
    run->Config.Name = source.Name;
    run->Config.FullName = source.Name;
    run->Config.Address = source.Device;
    run->Instance = std::make_unique<TPluginInstance>(library_, host_, index);
    TRunning& r = *run;
    {
        std::unique_lock hold(routeLock_);
        running_.emplace(index, std::move(run));
    }
    // The plug-in may deliver packets and log lines from here on: it must
    // find its name, so nothing below runs under the route lock.
    try {
        if (const std::int32_t created = r.Instance->Create(); created != 0)
            throw std::runtime_error("CreatePluginInstance failed (" + std::to_string(created) + ")");
        TLoadSettings load;
        load.ApplicationName = "qorhost";
        load.IniFile = settingsBase_ + "-" + std::to_string(index) + ".ini";
        // The plug-in takes instances with the same registry path to share
        // their settings (a confirmed dialog reloads them all, which restarts
        // their polling): each gets a key of its own. The settings file
        // exists before LOAD, so the instance reads and writes only the file.
        load.RegistryPath = "\\Software\\qorhost\\Logger\\DS" + std::to_string(index);
        std::ofstream(load.IniFile, std::ios::app).close();
        load.IniSectionPrefix = "DS" + std::to_string(index);
        load.Language = source.Language;
        load.DataSourceType = source.Type;
        if (const std::int32_t loaded = r.Instance->Load(load); loaded != 0)
            throw std::runtime_error("LOAD as \"" + source.Type + "\" failed (" + std::to_string(loaded) +
                                     ")");
        if (ConfirmOptionsDialog(host_, *r.Instance, FetchOptionsDialog(*r.Instance),
                                 source.DialogValues()) != 1)
            throw std::runtime_error("the plug-in did not take its settings");
        // The host's sink stays this object all along: a data source's
        // connections that took it over, even for a moment, would make the
        // sends of every other running data source fail meanwhile.
        r.Connections = std::make_unique<TDeviceConnections>(host_, *r.Instance, TSinkRole::Routed);
        r.Connections->OnLog = [this, name = source.Name](const std::string& line) { Log(name, line); };
        // The plug-in knows its data source before the channel opens, as
        // with the data-logging application.
        if (const std::int32_t state =
                r.Instance->SetState(DataSourcesText({r.Config}), kStatePollAndReceive, 1);
            state != 0)
            throw std::runtime_error("SET-STATE failed (" + std::to_string(state) + ")");
        if (!r.Connections->Add(r.Config))
            throw std::runtime_error("cannot connect to " + source.Device);
    } catch (const std::exception& e) {
        std::unique_ptr<TRunning> gone;
        {
            std::unique_lock hold(routeLock_);
            gone = std::move(running_.at(index));
            running_.erase(index);
        }
        gone->Connections.reset(); // out of running_: no plug-in thread routes to it
        if (gone->Instance->Handle() != 0) {
            gone->Instance->Unload();
            gone->Instance->Free();
        }
        throw std::runtime_error("data source \"" + source.Name + "\": " + e.what());
    }
    settings_.push_back(source);
}

void TAcquisition::Reload(const TSourceSettings& source) {
    for (auto& [index, r] : running_) {
        if (r->Settings.Name != source.Name)
            continue;
        if (ConfirmOptionsDialog(host_, *r->Instance, FetchOptionsDialog(*r->Instance),
                                 source.DialogValues()) != 1)
            throw std::runtime_error("data source \"" + source.Name +
                                     "\": the plug-in did not take its settings");
        r->Settings = source;
        for (TSourceSettings& s : settings_)
            if (s.Name == source.Name)
                s = source;
        return;
    }
    throw std::runtime_error("no data source \"" + source.Name + "\"");
}

void TAcquisition::Stop() {
    host_.CheckThread();
    // From here on the plug-in's sends fail: no data source has a channel.
    host_.SetRawBytesSink(nullptr);
    for (auto& [index, r] : running_) {
        r->Instance->SetState("", kStatePollAndReceive, 0);
        r->Connections.reset();
        r->Instance->Unload();
    }
    host_.PumpPending();
    std::map<std::uint32_t, std::unique_ptr<TRunning>> gone;
    {
        std::unique_lock hold(routeLock_);
        gone.swap(running_);
    }
    for (auto& [index, r] : gone)
        r->Instance->Free();
    gone.clear();
    settings_.clear();
    DeliverPackets();
}

TLinkState TAcquisition::State(const std::string& source) const {
    for (const auto& [index, r] : running_) {
        if (r->Settings.Name != source || !r->Connections)
            continue;
        if (r->Connections->IsOpen(index))
            return TLinkState::Connected;
        if (r->Connections->RetryPending(index))
            return TLinkState::Retrying;
    }
    return TLinkState::Connecting;
}

void TAcquisition::OnDataPacket(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                                const qor::TPluginCallRec& rec) {
    TOutputPacket packet;
    packet.Time = std::chrono::system_clock::now();
    packet.SourceId = dataSourceId;
    packet.Source = NameOf(moduleIndex);
    if (rec.Value2.Type == static_cast<std::uint8_t>(qor::TPluginValueType::ListInterface) &&
        rec.Value2.Data != 0) {
        const auto list = qor::TqorParamsRef::FromVariable(reinterpret_cast<const void*>(rec.Value2.Data));
        packet.Values.reserve(static_cast<std::size_t>(list.Count()));
        list.ForEachValue([&](std::string&& name, qor::Variant&& value) {
            packet.Values.push_back({std::move(name), std::move(value)});
        });
    }
    bool first = false;
    {
        std::scoped_lock hold(packetLock_);
        first = packets_.empty();
        packets_.push_back(std::move(packet));
    }
    if (first)
        window_.Post(WM_PACKETS);
}

std::int32_t TAcquisition::SendToDevice(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                                        std::span<const std::uint8_t> bytes) {
    std::shared_lock hold(routeLock_);
    auto it = running_.find(moduleIndex);
    if (it == running_.end() || !it->second->Connections)
        return -1;
    return it->second->Connections->SendToDevice(moduleIndex, dataSourceId, bytes);
}

void TAcquisition::DeliverPackets() {
    for (;;) {
        std::deque<TOutputPacket> batch;
        {
            std::scoped_lock hold(packetLock_);
            batch.swap(packets_);
        }
        if (batch.empty())
            return;
        for (TOutputPacket& p : batch)
            if (OnPacket)
                OnPacket(std::move(p));
    }
}

std::string TAcquisition::NameOf(std::uint32_t moduleIndex) const {
    std::shared_lock hold(routeLock_);
    auto it = running_.find(moduleIndex);
    return it == running_.end() ? "module " + std::to_string(moduleIndex) : it->second->Settings.Name;
}

void TAcquisition::Log(const std::string& source, const std::string& line) {
    log_.Add("[" + source + "] " + line);
    if (OnLog)
        OnLog(log_.Last());
}

} // namespace host
