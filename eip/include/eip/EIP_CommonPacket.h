// The common packet format: the item list carried by SendRRData (unconnected)
// and SendUnitData (connected), and the two exchanges through which every CIP
// request reaches the device.
#pragma once

#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace eip {

class TSessionInfo;

enum class TItemType : std::uint16_t {
    NullAddress = 0x0000,
    Identity = 0x000C,
    ConnectedAddress = 0x00A1,
    ConnectedData = 0x00B1,
    UnconnectedData = 0x00B2,
};

constexpr std::uint16_t ItemTypeCode(TItemType t) { return static_cast<std::uint16_t>(t); }

struct TCommonPacketItem {
    std::uint16_t TypeId = 0;
    std::uint16_t Length = 0;
    TPacketDataArray Data;

    static TCommonPacketItem NullAddressItem();
    static TCommonPacketItem ConnectedAddressItem(std::uint32_t connectionId);
    static TCommonPacketItem UnconnectedDataItem(TPacketDataArray message);
    // The sequence count (2 bytes) followed by the message.
    static TCommonPacketItem ConnectedDataItem(std::span<const std::uint8_t> message, std::uint16_t sequenceCount);

    // Type id, length (the data's length, whatever the field holds) and data.
    TPacketDataArray Pack() const;
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);
    void Assign(const TCommonPacketItem& other) { *this = other; }

    friend bool operator==(const TCommonPacketItem&, const TCommonPacketItem&) = default;
};

struct TCommonPacket {
    TCommonPacketItem AddressItem = TCommonPacketItem::NullAddressItem();
    TCommonPacketItem DataItem = TCommonPacketItem::UnconnectedDataItem({});
    std::vector<TCommonPacketItem> Items; // further items after the data item

    std::uint16_t ItemCount() const { return static_cast<std::uint16_t>(Items.size() + 2); }
    void AddItem(const TCommonPacketItem& item) { Items.push_back(item); }

    TPacketDataArray Pack() const;
    // A count below 2 raises TAGCOM_ArgumentOutOfRangeException; items cut
    // short raise EListError. On failure the object is unchanged.
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);

    friend bool operator==(const TCommonPacket&, const TCommonPacket&) = default;
};

// The encapsulation data of SendRRData and SendUnitData.
struct TEncapsRRData {
    std::uint32_t InterfaceHandle = 0;
    std::uint16_t Timeout = 0;
    TCommonPacket CommonPacket;

    TPacketDataArray Pack() const;
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);

    friend bool operator==(const TEncapsRRData&, const TEncapsRRData&) = default;
};

// One request/reply exchange on the session: the items are copied into the
// packet (a connected address item gets the session's O->T connection id; a
// SendRRData packet gets the session's next exchange context), the packet goes
// through the session's SendReceive, and the reply comes back parsed. No reply: nothing (the session's LastError says why). A reply that
// does not parse raises the parser's exception.
std::optional<TEncapsReply> SendRRData(TSessionInfo& session, const TCommonPacketItem& addressItem,
                                       const TCommonPacketItem& dataItem,
                                       std::span<const TCommonPacketItem> furtherItems = {});
std::optional<TEncapsReply> SendUnitData(TSessionInfo& session, const TCommonPacketItem& addressItem,
                                         const TCommonPacketItem& dataItem,
                                         std::span<const TCommonPacketItem> furtherItems = {});

// The data item's bytes of a SendRRData/SendUnitData reply.
TCommonPacketItem ReplyDataItem(const TEncapsReply& reply);

} // namespace eip
