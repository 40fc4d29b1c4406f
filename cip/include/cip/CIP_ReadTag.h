// The Read Tag (0x4C) and Read Tag Fragmented (0x52) request and reply, used by
// the connected reads here and by the Logix layer's reads.
#pragma once

#include "cip/CIP_MR_Request.h"
#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace cip {

struct TReadDataServiceRequest {
    std::uint8_t Service = ServiceCode(TCIPService::ReadTag);
    TPacketDataArray Path; // the tag's IOI path
    std::uint16_t ElementCount = 1;
    std::uint32_t ByteOffset = 0; // sent by Read Tag Fragmented only

    static TReadDataServiceRequest ReadTag(TPacketDataArray path, std::uint16_t elementCount);
    static TReadDataServiceRequest ReadTagFragmented(TPacketDataArray path, std::uint16_t elementCount,
                                                     std::uint32_t byteOffset);

    // Service, path size in words, the path (zero-padded to even length), the
    // element count, and for Read Tag Fragmented the byte offset. An empty path
    // raises TAGCOM_NullReferenceException ("Request_Path cannot be null").
    TPacketDataArray Pack() const;

    friend bool operator==(const TReadDataServiceRequest&, const TReadDataServiceRequest&) = default;
};

struct TReadDataServiceReply {
    std::uint8_t Service = 0;
    std::uint16_t GeneralStatus = 0;
    // The general status as a little-endian word, then the additional status
    // words when the general status is 0xFF.
    TPacketDataArray StatusBytes;
    // The first two data bytes of a reply with status 0 or 6 that carries at
    // least two; 0 otherwise.
    std::uint16_t DataType = 0;
    // The data after the type bytes (for other replies, all the response data).
    TPacketDataArray Data;

    // Parses the message router response at offset.
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);
    // The reply's data item: from offset 2 of a connected data item, from 0 of
    // an unconnected one.
    static TReadDataServiceReply FromReply(const eip::TEncapsReply& reply);

    friend bool operator==(const TReadDataServiceReply&, const TReadDataServiceReply&) = default;
};

} // namespace cip
