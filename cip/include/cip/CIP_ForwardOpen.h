// Forward Open and Forward Close: the class-3 connection to the controller's
// Message Router, its sequence numbers, and the connected tag reads.
#pragma once

#include "cip/CIP_MR_Request.h"
#include "cip/CIP_ReadTag.h"
#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"
#include "eip/EIP_Session.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace cip {

// Point-to-point 0x4000 + high priority 0x0400 + variable size 0x0200 + 508
// bytes.
inline constexpr std::uint16_t DefaultConnectionParameters = 0x47FC;
inline constexpr std::uint32_t DefaultRPI = 20000; // microseconds
// Server direction 0x80 + application trigger 0x20 + class 3.
inline constexpr std::uint8_t TransportClass3 = 0xA3;

struct TForwardOpenRequest {
    std::uint8_t PriorityTimeTick = 0;
    std::uint8_t TimeoutTicks = 0;
    std::uint32_t OTConnectionId = 0;
    std::uint32_t TOConnectionId = 0;
    std::uint16_t ConnectionSerial = 0;
    std::uint16_t VendorId = 0;
    std::uint32_t OriginatorSerial = 0;
    std::uint8_t TimeoutMultiplier = 0;
    std::uint32_t OTRPI = DefaultRPI;
    std::uint16_t OTParameters = DefaultConnectionParameters;
    std::uint32_t TORPI = DefaultRPI;
    std::uint16_t TOParameters = DefaultConnectionParameters;
    std::uint8_t TransportTrigger = TransportClass3;
    TPacketDataArray Connection_Path;

    // The 36-byte head and the path zero-padded to even length. An empty path
    // raises TAGCOM_NullReferenceException.
    TPacketDataArray Pack() const;
};

// Typed replies: FromReply gives the Success class for general status 0, the
// Fail class otherwise; callers test the class with dynamic_cast.
class TForwardOpenReply {
public:
    virtual ~TForwardOpenReply() = default;

    std::uint8_t ReplyService = 0;
    std::uint8_t GeneralStatus = 0;
    eip::TUshortArray AdditionalStatus;

    static std::unique_ptr<TForwardOpenReply> FromReply(const eip::TEncapsReply& reply);
};

class TForwardOpenReply_Success : public TForwardOpenReply {
public:
    std::uint32_t OTConnectionId = 0;
    std::uint32_t TOConnectionId = 0;
    std::uint16_t ConnectionSerial = 0;
    std::uint16_t VendorId = 0;
    std::uint32_t OriginatorSerial = 0;
    std::uint32_t OTActualPacketInterval = 0;
    std::uint32_t TOActualPacketInterval = 0;
    std::uint8_t ApplicationReplySize = 0; // words; the application reply is skipped
};

class TForwardOpenReply_Fail : public TForwardOpenReply {
public:
    std::uint16_t ConnectionSerial = 0;
    std::uint16_t VendorId = 0;
    std::uint32_t OriginatorSerial = 0;
    std::uint8_t RemainingPathSize = 0;
};

struct TForwardCloseRequest {
    std::uint8_t PriorityTimeTick = 0;
    std::uint8_t TimeoutTicks = 0;
    std::uint16_t ConnectionSerial = 0;
    std::uint16_t VendorId = 0;
    std::uint32_t OriginatorSerial = 0;
    TPacketDataArray Path;

    // An empty path raises TAGCOM_NullReferenceException.
    TPacketDataArray Pack() const;
};

// The sequence counts of connected messages: 1, 2, ..., 65535, 1, ... never 0.
class TSequenceNumberGenerator {
public:
    std::uint16_t Next();

private:
    std::uint16_t counter_ = 0;
};

// Opens the connection with the session's connection record; true when the
// device answered with a success reply and encapsulation status 0. The
// connection ids and actual packet intervals of the reply go into the record.
bool ForwardOpen(eip::TSessionInfo& session, std::span<const std::uint8_t> connectionPath,
                 std::uint16_t parameterWord = 0, std::uint32_t rpi = 0);
// The connection path is the route path followed by the Message Router path.
bool ForwardOpenToRouter(eip::TSessionInfo& session, std::span<const std::uint8_t> routePath,
                         std::uint16_t parameterWord = 0, std::uint32_t rpi = 0);
// True when the device answered with encapsulation status 0 and general status
// 0. A refusal answers false and leaves its status in the session's LastStatus
// (the encapsulation status, or the general status when the encapsulation
// succeeded) and its text, with any extended status, in LastError.
bool ForwardClose(eip::TSessionInfo& session, std::span<const std::uint8_t> routePath);

// A message router request over the connection: SendUnitData with the next
// sequence count.
std::optional<eip::TEncapsReply> SendConnected(eip::TSessionInfo& session, std::span<const std::uint8_t> request,
                                               TSequenceNumberGenerator& sequencer);

// The connected tag reads; nothing when no reply came or its encapsulation
// status was neither 0 nor 6.
std::optional<TReadDataServiceReply> ReadTagConnected(eip::TSessionInfo& session, std::string_view tagAddress,
                                                      std::uint16_t elementCount,
                                                      TSequenceNumberGenerator& sequencer);
std::optional<TReadDataServiceReply> ReadTagFragmentedConnected(eip::TSessionInfo& session,
                                                                std::string_view tagAddress,
                                                                std::uint16_t elementCount,
                                                                std::uint32_t byteOffset,
                                                                TSequenceNumberGenerator& sequencer);

} // namespace cip
