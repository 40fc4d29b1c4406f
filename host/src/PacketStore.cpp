#include "host/PacketStore.h"

#include "common/qorParamLstWrap.h"

namespace host {

void TPacketStore::OnDataPacket(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                                const qor::TPluginCallRec& rec) {
    TStoredPacket packet;
    packet.ModuleIndex = moduleIndex;
    packet.SourceId = dataSourceId;
    // The record and what it points to live for this call only.
    if (rec.Value1.Type == static_cast<std::uint8_t>(qor::TPluginValueType::Text) && rec.Value1.Data != 0)
        packet.RawText.assign(reinterpret_cast<const char*>(rec.Value1.Data), rec.Value1.Size);
    auto items = std::make_shared<qor::TqorParamsList>();
    if (rec.Value2.Type == static_cast<std::uint8_t>(qor::TPluginValueType::ListInterface) &&
        rec.Value2.Data != 0)
        qor::TqorParamsRef::FromVariable(reinterpret_cast<const void*>(rec.Value2.Data)).CopyTo(*items);
    packet.Items = std::move(items);
    if (OnPacket)
        OnPacket(packet);
    {
        std::scoped_lock hold(lock_);
        packets_.push_back(std::move(packet));
    }
    arrived_.notify_all();
}

std::size_t TPacketStore::Count() const {
    std::scoped_lock hold(lock_);
    return packets_.size();
}

std::vector<TStoredPacket> TPacketStore::Packets() const {
    std::scoped_lock hold(lock_);
    return packets_;
}

bool TPacketStore::WaitForCount(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock hold(lock_);
    return arrived_.wait_for(hold, limit, [&] { return packets_.size() >= count; });
}

} // namespace host
