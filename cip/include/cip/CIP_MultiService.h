// Multiple Service Packet: several message router requests to the Message
// Router in one round trip, and the reply split into one reply per service.
#pragma once

#include "cip/CIP_MR_Request.h"
#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace cip {

struct TMultiServiceRequest {
    // The expected size of the combined reply, kept by whoever fills the
    // packet; not sent.
    std::int32_t ReplySize = 0;
    // Service 0x0A, path size 2 words, Message Router class 2 instance 1.
    std::array<std::uint8_t, 6> Header{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01};
    std::vector<TPacketDataArray> Services; // packed requests

    std::size_t AddService(TPacketDataArray packedRequest);
    std::size_t PackedSize() const;
    // Header, count, the offsets (from the count field), the services. More
    // than the 16-bit offsets can reach raises
    // TAGCOM_ArgumentOutOfRangeException.
    TPacketDataArray Pack() const;
};

struct TServiceReply {
    std::uint8_t ReplyService = 0;
    std::uint8_t GeneralStatus = 0;
    std::uint8_t AdditionalStatusSize = 0;
    TPacketDataArray AdditionalStatus; // 2 bytes per word
    // The general status as a little-endian word, then AdditionalStatus.
    TPacketDataArray Status;
    bool IsPartial = false;
    // The service's reply data, after its additional status words.
    TPacketDataArray ResponseData;
    // The whole reply data the service reply was cut from.
    std::shared_ptr<const TPacketDataArray> ReplyData;

    // Parses one service reply that occupies exactly `reply` (at least its 4
    // header bytes; EListError otherwise).
    void Expand(std::span<const std::uint8_t> reply);
};

struct TMultiServiceReply {
    std::uint8_t ReplyService = 0;
    std::uint8_t GeneralStatus = 0;
    std::uint16_t ServiceCount = 0;
    std::vector<TServiceReply> Replies;
    bool HasServiceErrors = false; // general status 0x1E "Embedded Service Error"

    // From the reply of a connected exchange (connected data item: after the
    // sequence count) or of an Unconnected Send (unconnected data item). Offsets
    // that run backwards or past the data raise EListError.
    static TMultiServiceReply Create(const eip::TEncapsReply& reply);
    // From the message router response of the Multiple Service Packet.
    static TMultiServiceReply FromResponse(const TMR_Response& response);
};

} // namespace cip
