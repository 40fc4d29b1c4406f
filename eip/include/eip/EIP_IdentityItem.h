// One item of a ListIdentity reply: who the device says it is.
#pragma once

#include "eip/EIP_Conversion.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace eip {

inline constexpr std::uint16_t IdentityItemType = 0x000C;

// The socket address of an identity item. Unlike every other field of the
// item it travels in network byte order (big-endian); the fields hold the
// values (Family 2, Port 44818, Address 0xC0A8010A for 192.168.1.10).
struct TSockAddrInfo {
    std::int16_t Family = 0;
    std::uint16_t Port = 0;
    std::uint32_t Address = 0;

    // 16 bytes: family, port, address (big-endian), then 8 zero bytes.
    TPacketDataArray Pack() const;

    friend bool operator==(const TSockAddrInfo&, const TSockAddrInfo&) = default;
};

struct TIdentityItem {
    std::uint16_t ItemType = 0;
    std::uint16_t ItemLength = 0; // as received; items are not skipped by it
    std::uint16_t ProtocolVersion = 0;
    TSockAddrInfo SocketAddress;
    std::uint16_t VendorId = 0;
    std::uint16_t DeviceType = 0;
    std::uint16_t ProductCode = 0;
    std::uint8_t MajorRevision = 0;
    std::uint8_t MinorRevision = 0;
    std::int16_t Status = 0;
    std::uint32_t SerialNumber = 0;
    std::string ProductName;
    std::uint8_t State = 0;

    // The wire form, with ItemLength set to the length of what follows it.
    TPacketDataArray Pack() const;
    // Parses the item at offset and returns the offset right after its state
    // byte. A missing state byte reads as 0 (the next offset is then the end of
    // the bytes); anything else cut short raises EListError.
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);

    friend bool operator==(const TIdentityItem&, const TIdentityItem&) = default;
};

} // namespace eip
