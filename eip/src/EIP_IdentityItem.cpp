#include "eip/EIP_IdentityItem.h"

#include <algorithm>
#include <cassert>

namespace eip {

TPacketDataArray TSockAddrInfo::Pack() const {
    TPacketDataArray bytes;
    bytes.reserve(16);
    AppendUInt16(bytes, static_cast<std::uint16_t>(Family));
    AppendUInt16(bytes, Port);
    AppendUInt32(bytes, Address);
    bytes.resize(16, 0);
    assert(bytes.size() == 16);
    return bytes;
}

TPacketDataArray TIdentityItem::Pack() const {
    const std::size_t nameLength = std::min<std::size_t>(ProductName.size(), 255);
    TPacketDataArray bytes;
    bytes.reserve(38 + nameLength);
    AppendUInt16(bytes, ItemType);
    AppendUInt16(bytes, static_cast<std::uint16_t>(34 + nameLength));
    AppendUInt16(bytes, ProtocolVersion);
    AppendArray(bytes, SocketAddress.Pack());
    AppendUInt16(bytes, VendorId);
    AppendUInt16(bytes, DeviceType);
    AppendUInt16(bytes, ProductCode);
    AppendByte(bytes, MajorRevision);
    AppendByte(bytes, MinorRevision);
    AppendUInt16(bytes, static_cast<std::uint16_t>(Status));
    AppendUInt32(bytes, SerialNumber);
    AppendByte(bytes, static_cast<std::uint8_t>(nameLength));
    AppendMemory(bytes, ProductName.data(), nameLength);
    AppendByte(bytes, State);
    assert(bytes.size() == 38 + nameLength);
    return bytes;
}

std::size_t TIdentityItem::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    TIdentityItem item;
    item.ItemType = ToUInt16(bytes, offset);
    item.ItemLength = ToUInt16(bytes, offset + 2);
    item.ProtocolVersion = ToUInt16(bytes, offset + 4);
    item.SocketAddress.Family = ToInt16(bytes, offset + 6);
    item.SocketAddress.Port = ToUInt16(bytes, offset + 8);
    item.SocketAddress.Address = ToUInt32(bytes, offset + 10);
    item.VendorId = ToUInt16(bytes, offset + 22);
    item.DeviceType = ToUInt16(bytes, offset + 24);
    item.ProductCode = ToUInt16(bytes, offset + 26);
    item.MajorRevision = ToByte(bytes, offset + 28);
    item.MinorRevision = ToByte(bytes, offset + 29);
    item.Status = ToInt16(bytes, offset + 30);
    item.SerialNumber = ToUInt32(bytes, offset + 32);
    const std::uint8_t nameLength = ToByte(bytes, offset + 36);
    item.ProductName = BytesToString(ToBytes(bytes, offset + 37, nameLength));
    const std::size_t stateOffset = offset + 37 + nameLength;
    item.State = stateOffset < bytes.size() ? bytes[stateOffset] : 0;
    *this = std::move(item);
    return std::min(stateOffset + 1, bytes.size());
}

} // namespace eip
