#include "cip/CIP_UnconnectedSend.h"

#include "cip/CIP_IOI.h"
#include "eip/EIP_CommonPacket.h"

#include <cassert>

namespace cip {

using namespace eip;

TPacketDataArray TUnconnectedSend::ToArrayCM() { return ToArray(ConnectionManagerPath); }

TPacketDataArray TUnconnectedSend::Pack() const {
    if (!MessageRequest)
        throw TAGCOM_NullReferenceException("MessageRequest cannot be null");
    if (RoutePath.empty())
        throw TAGCOM_NullReferenceException("RoutePath cannot be null");
    if (RequestPath.empty())
        throw TAGCOM_NullReferenceException("RequestPath cannot be null");
    const std::size_t routeWords = PathSizeInWords(RoutePath.size(), "RoutePath");
    const std::size_t requestWords = PathSizeInWords(RequestPath.size(), "RequestPath");
    const TPacketDataArray message = MessageRequest->Pack();
    const std::size_t m = message.size();
    if (m > 0xFFFF)
        throw TAGCOM_ArgumentOutOfRangeException("MessageRequest cannot be more than 65,535 bytes long");
    const std::size_t total = 2 + 2 * requestWords + 4 + m + m % 2 + 2 + 2 * routeWords;

    TPacketDataArray bytes;
    NewZeroedArray(total, bytes);
    std::size_t p = 0;
    bytes[p++] = ServiceCode(TCIPService::UnconnectedSend);
    bytes[p++] = static_cast<std::uint8_t>(requestWords);
    ArrayCopy(RequestPath, 0, bytes, static_cast<std::int64_t>(RequestPath.size()), static_cast<std::int64_t>(p));
    p += 2 * requestWords;
    bytes[p++] = PriorityTimeTick;
    bytes[p++] = TimeoutTicks;
    PutUInt16(bytes, p, static_cast<std::uint16_t>(m));
    p += 2;
    ArrayCopy(message, 0, bytes, static_cast<std::int64_t>(m), static_cast<std::int64_t>(p));
    p += m + m % 2;
    bytes[p++] = static_cast<std::uint8_t>(routeWords);
    bytes[p++] = 0; // reserved
    ArrayCopy(RoutePath, 0, bytes, static_cast<std::int64_t>(RoutePath.size()), static_cast<std::int64_t>(p));
    p += 2 * routeWords;
    assert(p == total);
    return bytes;
}

std::string RoutingErrorText(std::uint16_t extendedStatus) {
    switch (extendedStatus) {
    case 0x0204:
        return "Timeout";
    case 0x0311:
        return "Invalid Port ID specified in the Route_Path field";
    case 0x0312:
        return "Invalid Node Address specified in the Route_Path field";
    case 0x0315:
        return "Invalid segment type in the Route_Path field";
    default:
        return "Unknown routing error";
    }
}

std::unique_ptr<TUnconnectedSendReply> TUnconnectedSendReply::FromReply(const TEncapsReply& reply) {
    if (reply.Status != 0) {
        // The device refused the packet itself; there are no items to read.
        auto failure = std::make_unique<TUnconnectedSendReply_Failure>();
        failure->GeneralStatus = 0xFF;
        failure->EncapsulationStatus = reply.Status;
        failure->Message = EncapsStatusText(reply.Status);
        return failure;
    }
    const TCommonPacketItem item = ReplyDataItem(reply);
    if (item.TypeId != ItemTypeCode(TItemType::UnconnectedData)) {
        auto failure = std::make_unique<TUnconnectedSendReply_Failure>();
        failure->Message = "Incorrect Packet Type";
        failure->GeneralStatus = 0xFF;
        return failure;
    }
    const std::span<const std::uint8_t> b = item.Data;
    if (b.size() < 3)
        return nullptr;
    const std::uint8_t service = b[0];
    const std::uint8_t status = b[2];
    const std::uint8_t words = b.size() >= 4 ? b[3] : 0;
    if (status == StatusSuccess || status == StatusPartialTransfer) {
        auto success = std::make_unique<TUnconnectedSendReply_Success>();
        success->ReplyService = service;
        success->GeneralStatus = status;
        if (b.size() >= 4) {
            const std::size_t dataOffset = 4 + 2u * words;
            CheckRange(static_cast<std::int64_t>(b.size()), 4, 2 * static_cast<std::int64_t>(words));
            success->AdditionalStatusSize = words;
            success->ResponseData = ToBytes(b, dataOffset, b.size() - dataOffset);
        }
        return success;
    }
    auto failure = std::make_unique<TUnconnectedSendReply_Failure>();
    failure->ReplyService = service;
    failure->GeneralStatus = status;
    if (b.size() >= 4) {
        failure->AdditionalStatus = ToBytes(b, 4, 2u * words);
        failure->AdditionalStatusSize = words;
    }
    if (status == StatusConnectionFailure)
        failure->Message = RoutingErrorText(failure->AdditionalStatus.size() >= 2
                                                ? ToUInt16(failure->AdditionalStatus, 0)
                                                : std::uint16_t{0xFFFF});
    else {
        TPacketDataArray statusBytes{status, 0};
        AppendArray(statusBytes, failure->AdditionalStatus);
        failure->Message = StatusTextWithExtended(status, ExtendedStatusWords(statusBytes));
    }
    return failure;
}

std::optional<TEncapsReply> SendUnconnectedSend(TSessionInfo& session, const TMR_Request& embedded,
                                                std::span<const std::uint8_t> routePath) {
    TUnconnectedSend request;
    request.PriorityTimeTick = session.ConnectionParameters.PriorityTimeTick;
    request.TimeoutTicks = session.ConnectionParameters.TimeoutTicks;
    request.MessageRequest = embedded;
    request.RoutePath.assign(routePath.begin(), routePath.end());
    return SendRRData(session, TCommonPacketItem::NullAddressItem(),
                      TCommonPacketItem::UnconnectedDataItem(request.Pack()));
}

} // namespace cip
