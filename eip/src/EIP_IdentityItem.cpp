#include "eip/EIP_IdentityItem.h"

#include <algorithm>
#include <cassert>

namespace eip {

namespace {

void AppendBigEndian(TPacketDataArray& bytes, std::uint32_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        AppendByte(bytes, static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t BigEndianAt(std::span<const std::uint8_t> bytes, std::size_t offset, int width) {
    CheckRange(static_cast<std::int64_t>(bytes.size()), static_cast<std::int64_t>(offset), width);
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
    return value;
}

} // namespace

TPacketDataArray TSockAddrInfo::Pack() const {
    TPacketDataArray bytes;
    bytes.reserve(16);
    AppendBigEndian(bytes, static_cast<std::uint16_t>(Family), 2);
    AppendBigEndian(bytes, Port, 2);
    AppendBigEndian(bytes, Address, 4);
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
    item.SocketAddress.Family = static_cast<std::int16_t>(BigEndianAt(bytes, offset + 6, 2));
    item.SocketAddress.Port = static_cast<std::uint16_t>(BigEndianAt(bytes, offset + 8, 2));
    item.SocketAddress.Address = BigEndianAt(bytes, offset + 10, 4);
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
