// Unconnected Send: a request wrapped for the Connection Manager of the module
// in front of the controller, with the route it forwards the request along.
#pragma once

#include "cip/CIP_MR_Request.h"
#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"
#include "eip/EIP_Session.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace cip {

struct TUnconnectedSend {
    std::uint8_t RequestPathSize = 2; // words; recomputed by Pack
    TPacketDataArray RequestPath = ToArrayCM();
    std::uint8_t PriorityTimeTick = 0;
    std::uint8_t TimeoutTicks = 0;
    std::uint16_t MessageRequestSize = 0; // recomputed by Pack
    std::optional<TMR_Request> MessageRequest;
    std::uint8_t RoutePathSize = 0; // words; recomputed by Pack
    TPacketDataArray RoutePath;

    // Without a message request, with an empty route path or an empty request
    // path (checked in this order) raises TAGCOM_NullReferenceException.
    TPacketDataArray Pack() const;

    static TPacketDataArray ToArrayCM();
};

// The routing error texts of general status 0x01 by the first additional status
// word.
std::string RoutingErrorText(std::uint16_t extendedStatus);

// Typed replies: FromReply gives the Success class for general status 0 or 6,
// the Failure class otherwise; callers test the class with dynamic_cast.
class TUnconnectedSendReply {
public:
    virtual ~TUnconnectedSendReply() = default;

    std::uint8_t ReplyService = 0;
    std::uint8_t GeneralStatus = 0;

    // nullptr when the data item holds fewer than 3 bytes. A reply that is not
    // in an unconnected data item is a Failure with status 0xFF and "Incorrect
    // Packet Type". A reply with an encapsulation status other than 0 carries
    // no CIP reply: a Failure with status 0xFF, that status in
    // EncapsulationStatus and its text in Message.
    static std::unique_ptr<TUnconnectedSendReply> FromReply(const eip::TEncapsReply& reply);
};

class TUnconnectedSendReply_Success : public TUnconnectedSendReply {
public:
    std::uint8_t AdditionalStatusSize = 0;
    // The embedded service's reply data (after any additional status words).
    TPacketDataArray ResponseData;
};

class TUnconnectedSendReply_Failure : public TUnconnectedSendReply {
public:
    std::uint8_t AdditionalStatusSize = 0;
    TPacketDataArray AdditionalStatus; // 2 bytes per word
    std::string Message;
    std::uint32_t EncapsulationStatus = 0;
};

// Sends the embedded request through the route with the session's time ticks:
// a TUnconnectedSend in an unconnected data item after a null address item, by
// SendRRData.
std::optional<eip::TEncapsReply> SendUnconnectedSend(eip::TSessionInfo& session, const TMR_Request& embedded,
                                                     std::span<const std::uint8_t> routePath);

} // namespace cip
