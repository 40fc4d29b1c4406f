#include "eip/EIP_CommonPacket.h"

#include "eip/EIP_Session.h"

#include <algorithm>
#include <cassert>
#include <string>

namespace eip {

TCommonPacketItem TCommonPacketItem::NullAddressItem() {
    return TCommonPacketItem{ItemTypeCode(TItemType::NullAddress), 0, {}};
}

TCommonPacketItem TCommonPacketItem::ConnectedAddressItem(std::uint32_t connectionId) {
    TCommonPacketItem item{ItemTypeCode(TItemType::ConnectedAddress), 4, {}};
    AppendUInt32(item.Data, connectionId);
    return item;
}

TCommonPacketItem TCommonPacketItem::UnconnectedDataItem(TPacketDataArray message) {
    const auto length = static_cast<std::uint16_t>(message.size());
    return TCommonPacketItem{ItemTypeCode(TItemType::UnconnectedData), length, std::move(message)};
}

TCommonPacketItem TCommonPacketItem::ConnectedDataItem(std::span<const std::uint8_t> message,
                                                       std::uint16_t sequenceCount) {
    TCommonPacketItem item{ItemTypeCode(TItemType::ConnectedData), 0, {}};
    item.Data.reserve(message.size() + 2);
    AppendUInt16(item.Data, sequenceCount);
    AppendArray(item.Data, message);
    item.Length = static_cast<std::uint16_t>(item.Data.size());
    return item;
}

TPacketDataArray TCommonPacketItem::Pack() const {
    TPacketDataArray bytes;
    bytes.reserve(4 + Data.size());
    AppendUInt16(bytes, TypeId);
    AppendUInt16(bytes, static_cast<std::uint16_t>(Data.size()));
    AppendArray(bytes, Data);
    return bytes;
}

std::size_t TCommonPacketItem::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    TCommonPacketItem item;
    item.TypeId = ToUInt16(bytes, offset);
    item.Length = ToUInt16(bytes, offset + 2);
    if (item.Length > 0)
        item.Data = ToBytes(bytes, offset + 4, item.Length);
    *this = std::move(item);
    return offset + 4 + Length;
}

TPacketDataArray TCommonPacket::Pack() const {
    TPacketDataArray bytes;
    AppendUInt16(bytes, ItemCount());
    AppendArray(bytes, AddressItem.Pack());
    AppendArray(bytes, DataItem.Pack());
    for (const auto& item : Items)
        AppendArray(bytes, item.Pack());
    return bytes;
}

std::size_t TCommonPacket::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    const std::uint16_t count = ToUInt16(bytes, offset);
    if (count < 2)
        throw TAGCOM_ArgumentOutOfRangeException("Invalid number of items, must be at least 2, value: " +
                                                 std::to_string(count));
    TCommonPacket packet;
    std::size_t next = packet.AddressItem.Expand(bytes, offset + 2);
    next = packet.DataItem.Expand(bytes, next);
    // Each further item takes at least its 4-byte head: never reserve more than
    // the bytes can hold.
    const std::size_t further = count - 2u;
    packet.Items.reserve(std::min(further, (bytes.size() - std::min(next, bytes.size())) / 4));
    for (std::size_t i = 0; i < further; ++i) {
        TCommonPacketItem item;
        next = item.Expand(bytes, next);
        packet.Items.push_back(std::move(item));
    }
    *this = std::move(packet);
    return next;
}

TPacketDataArray TEncapsRRData::Pack() const {
    TPacketDataArray bytes;
    AppendUInt32(bytes, InterfaceHandle);
    AppendUInt16(bytes, Timeout);
    assert(bytes.size() == 6);
    AppendArray(bytes, CommonPacket.Pack());
    return bytes;
}

std::size_t TEncapsRRData::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    TEncapsRRData rr;
    rr.InterfaceHandle = ToUInt32(bytes, offset);
    rr.Timeout = ToUInt16(bytes, offset + 4);
    const std::size_t next = rr.CommonPacket.Expand(bytes, offset + 6);
    *this = std::move(rr);
    return next;
}

namespace {

std::optional<TEncapsReply> Exchange(TEncapsCommand command, TSessionInfo& session,
                                     const TCommonPacketItem& addressItem, const TCommonPacketItem& dataItem,
                                     std::span<const TCommonPacketItem> furtherItems) {
    if (session.OnBeforeSend)
        session.OnBeforeSend();
    TEncapsRRData rr;
    rr.Timeout = static_cast<std::uint16_t>(session.Timeout);
    rr.CommonPacket.AddressItem = addressItem;
    if (addressItem.TypeId == ItemTypeCode(TItemType::ConnectedAddress))
        rr.CommonPacket.AddressItem =
            TCommonPacketItem::ConnectedAddressItem(session.ConnectionParameters.OTConnectionId);
    rr.CommonPacket.DataItem = dataItem;
    rr.CommonPacket.Items.assign(furtherItems.begin(), furtherItems.end());

    // An unconnected reply is told from a late answer to an earlier request
    // only by the context the device echoes, so each exchange gets its own.
    // Connected replies are matched by their sequence count instead.
    const TEncapsPacket packet =
        command == TEncapsCommand::SendRRData
            ? TEncapsPacketFactory::CreateSendRRData(session.SessionHandle, rr.Pack(), session.NextExchangeContext())
            : TEncapsPacketFactory::CreateSendUnitData(session.SessionHandle, session.SenderContext, rr.Pack());
    TPacketDataArray replyBytes;
    session.SendReceive(packet.Pack(), replyBytes);
    if (session.OnAfterReceive)
        session.OnAfterReceive();
    if (replyBytes.empty())
        return std::nullopt;
    TEncapsReply reply;
    reply.Expand(replyBytes, 0);
    return reply;
}

} // namespace

std::optional<TEncapsReply> SendRRData(TSessionInfo& session, const TCommonPacketItem& addressItem,
                                       const TCommonPacketItem& dataItem,
                                       std::span<const TCommonPacketItem> furtherItems) {
    return Exchange(TEncapsCommand::SendRRData, session, addressItem, dataItem, furtherItems);
}

std::optional<TEncapsReply> SendUnitData(TSessionInfo& session, const TCommonPacketItem& addressItem,
                                         const TCommonPacketItem& dataItem,
                                         std::span<const TCommonPacketItem> furtherItems) {
    return Exchange(TEncapsCommand::SendUnitData, session, addressItem, dataItem, furtherItems);
}

TCommonPacketItem ReplyDataItem(const TEncapsReply& reply) {
    TEncapsRRData rr;
    rr.Expand(reply.EncapsData, 0);
    return std::move(rr.CommonPacket.DataItem);
}

} // namespace eip
