// Message router requests and responses: every CIP request the system sends
// and every reply it reads, the status texts, and the front end that sends one
// request unconnected through SendRRData.
#pragma once

#include "eip/EIP_CommonPacket.h"
#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"
#include "eip/EIP_Session.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cip {

using eip::TPacketDataArray;

// The CIP services the system uses.
enum class TCIPService : std::uint8_t {
    GetAttributeList = 0x03,
    MultipleServicePacket = 0x0A,
    GetAttributeSingle = 0x0E,
    ExecutePCCC = 0x4B,
    ReadTag = 0x4C,
    ForwardClose = 0x4E,
    ReadTagFragmented = 0x52, // on a symbolic path
    UnconnectedSend = 0x52,   // on the Connection Manager
    ForwardOpen = 0x54,
    GetInstanceAttributeList = 0x55,
};

constexpr std::uint8_t ServiceCode(TCIPService s) { return static_cast<std::uint8_t>(s); }
// A reply carries its request's service with bit 7 set.
inline constexpr std::uint8_t ReplyServiceBit = 0x80;

// General status codes the stack itself looks at.
inline constexpr std::uint8_t StatusSuccess = 0x00;
inline constexpr std::uint8_t StatusConnectionFailure = 0x01;
inline constexpr std::uint8_t StatusPartialTransfer = 0x06;
inline constexpr std::uint8_t StatusNotEnoughData = 0x13;
inline constexpr std::uint8_t StatusEmbeddedServiceError = 0x1E;
inline constexpr std::uint8_t StatusInvalidReply = 0x22;
inline constexpr std::uint8_t StatusExtended = 0xFF;

// The table's text for a general status; "Unknown EIP status" for a code
// without a row. An encapsulation status has a table of its own
// (eip::EncapsStatusText): its codes mean other things.
std::string StatusText(std::uint16_t code);
// The same table for a general status byte; "Unknown General Status - 0x" and
// the byte in two upper-case hex digits for a byte without a row.
std::string GeneralStatusText(std::uint8_t status);
// A general status with its extended status words: the general text, and for
// the extended codes a controller gives with 0xFF (and 0x01 from the
// connection manager) what the code means, e.g. "General Error (0x2105: index
// out of range)". Without words, or for a code the table lacks, the code in
// hex stands beside the general text.
std::string StatusTextWithExtended(std::uint8_t status, std::span<const std::uint16_t> extended);
// The extended words of a reply whose status bytes are the general status as a
// little-endian word followed by the words.
std::vector<std::uint16_t> ExtendedStatusWords(std::span<const std::uint8_t> statusBytes);

// The size byte of a path: its length in 16-bit words. A path longer than a
// size byte can count (510 bytes) raises TAGCOM_ArgumentOutOfRangeException
// naming the field, before any request is built with it.
std::uint8_t PathSizeInWords(std::size_t pathBytes, std::string_view field);

struct TMR_Request {
    std::uint8_t Service = 0;
    std::uint8_t RequestPathSize = 0; // words; recomputed by Pack
    TPacketDataArray Request_Path;
    TPacketDataArray RequestData;
    // Request_Path already holds a complete packed request: sent as it is.
    bool IsPacked = false;

    // Service, path size, the path zero-padded to even length, the data. An
    // empty path raises TAGCOM_NullReferenceException, one over 510 bytes
    // TAGCOM_ArgumentOutOfRangeException.
    TPacketDataArray Pack() const;

    friend bool operator==(const TMR_Request&, const TMR_Request&) = default;
};

struct TMR_Response {
    std::uint8_t ReplyService = 0;
    std::uint8_t GeneralStatus = 0;
    std::uint8_t AdditionalStatusSize = 0;
    eip::TUshortArray AdditionalStatus;
    TPacketDataArray ResponseData;

    // Parses a response at offset; the data runs to the end of the bytes, so the
    // next offset is their length. Truncated fields raise EListError.
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);

    friend bool operator==(const TMR_Response&, const TMR_Response&) = default;
};

class TMessageRouter {
public:
    static TMR_Request BuildRequest(std::uint8_t service, TPacketDataArray path, TPacketDataArray data);
    // The packed request in an unconnected data item after a null address item,
    // by SendRRData.
    static std::optional<eip::TEncapsReply> SendUnconnectedRequest(eip::TSessionInfo& session,
                                                                   const TMR_Request& request);
    static std::optional<eip::TEncapsReply> SendMRRequest(eip::TSessionInfo& session, std::uint8_t service,
                                                          TPacketDataArray data, TPacketDataArray path);
};

// The message router response of a SendRRData/SendUnitData reply: from the
// data item's offset 2 when it is a connected data item (after the sequence
// count), from offset 0 otherwise.
TMR_Response ExpandMRResponse(const eip::TEncapsReply& reply);

} // namespace cip
