// The data module's data sources: one per data source the host configured,
// made and dropped as the module's state changes, fed with the bytes the host
// receives from their devices.
#include "engine/PluginDM.h"

#include "common/qorStrUtils.h"
#include "plugins/qorPluginCallRec.h"

namespace qor {

std::vector<TSerialPortDM*> TaPlugin::DataSources() const {
    std::vector<TSerialPortDM*> sources;
    for (int i = 0; i < ComponentCount(); ++i)
        if (auto* source = dynamic_cast<TSerialPortDM*>(&Components(i)))
            sources.push_back(source);
    return sources;
}

TSerialPortDM* TaPlugin::FindDataSource(std::uint32_t sourceId) const {
    for (TSerialPortDM* source : DataSources())
        if (source->SourceId == sourceId)
            return source;
    return nullptr;
}

int TaPlugin::SendToHost(std::uint32_t sourceId, std::span<const std::uint8_t> bytes) {
    const TDataLoggerCallback send = DataLogger_SendDataEx.load();
    if (send == nullptr)
        return -1;
    return send(ModuleIndex, sourceId, static_cast<std::uint32_t>(bytes.size()), 0, kSendRawBytes,
                const_cast<std::uint8_t*>(bytes.data()), 0);
}

void TaPlugin::qorPluginChangeState(std::uint8_t) {
    std::vector<TSerialPortDM*> candidates = DataSources();
    if (ModuleEnabled() != 0) {
        int created = 0;
        for (const TConfigDataSource& entry : ConfigDataSources) {
            if (!DataSourceLoadFor.empty() && !SameText(entry.Line, DataSourceLoadFor))
                continue;
            const auto id = static_cast<std::uint32_t>(entry.Id);
            const auto found = std::find_if(candidates.begin(), candidates.end(),
                                            [id](TSerialPortDM* s) { return s->SourceId == id; });
            if (found != candidates.end()) {
                candidates.erase(found);
                continue;
            }
            if (FindDataSource(id) != nullptr)
                continue; // a second line with an id already served
            auto& source = AddComponent<TSerialPortDM>("DataSource" + std::to_string(id) + "_" +
                                                           std::to_string(++created),
                                                       *this);
            source.SourceId = id;
            source.SourceName = entry.Name;
            source.SourceFullName = entry.FullName;
        }
    }
    for (TSerialPortDM* gone : candidates)
        FreeComponent(*gone);
    if (cfg_)
        ReloadConfiguration(*cfg_, true);
}

void TaPlugin::qorPluginProcessData(TPluginCallRecIntf& intf, std::int32_t& result) {
    result = -1;
    if (!cfg_)
        return;
    result = 0;
    if (Unloading)
        return;
    const TPluginCallRec& rec = intf.Rec();
    TSerialPortDM* source = FindDataSource(rec.DataSourceId);
    constexpr std::uint8_t kReceivingSide = 2;
    if (source == nullptr || (rec.Options & kReceivingSide) == 0 || !StateFlags[1])
        return;
    try {
        // A partial reply older than this is from an exchange long given up.
        if (source->RxTimer.ExpiredAfter(15000))
            source->Thd->FlushData();
        constexpr std::uint8_t kEventType = 7;
        if (rec.Value1.Type == kEventType) {
            if (rec.Value1.Data == 257) {
                source->PortOpened();
            } else if (rec.Value1.Data == 258) {
                source->PortClosed = true;
                source->Thd->SetPortState(false);
            }
            return;
        }
        source->RxTimer.Restart();
        if (rec.Value1.Data != 0 && rec.Value1.Size > 0)
            source->Thd->FeedData(std::span(reinterpret_cast<const std::uint8_t*>(rec.Value1.Data), rec.Value1.Size));
        // Results the worker told of only now that this thread is awake.
        source->Thd->PostPutOffNews();
    } catch (...) {
        // Whatever went wrong with these bytes, the host's call succeeds.
    }
}

} // namespace qor
