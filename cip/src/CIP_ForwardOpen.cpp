#include "cip/CIP_ForwardOpen.h"

#include "common/Variant.h"

#include "cip/CIP_IOI.h"
#include "eip/EIP_CommonPacket.h"

#include <cassert>
#include <cstdio>
#include <string>

namespace cip {

using namespace eip;

namespace {

constexpr std::size_t ForwardOpenHeadSize = 36;

TPacketDataArray RouterPath(std::span<const std::uint8_t> routePath) {
    TPacketDataArray path(routePath.begin(), routePath.end());
    AppendArray(path, MessageRouterPath);
    return path;
}

} // namespace

TPacketDataArray TForwardOpenRequest::Pack() const {
    if (Connection_Path.empty())
        throw TAGCOM_NullReferenceException("Connection_Path cannot be empty");
    const std::size_t words = PathSizeInWords(Connection_Path.size(), "Connection_Path");
    TPacketDataArray bytes;
    bytes.reserve(ForwardOpenHeadSize + 2 * words);
    AppendByte(bytes, PriorityTimeTick);
    AppendByte(bytes, TimeoutTicks);
    AppendUInt32(bytes, OTConnectionId);
    AppendUInt32(bytes, TOConnectionId);
    AppendUInt16(bytes, ConnectionSerial);
    AppendUInt16(bytes, VendorId);
    AppendUInt32(bytes, OriginatorSerial);
    AppendByte(bytes, TimeoutMultiplier);
    AppendByte(bytes, 0); // reserved
    AppendUInt16(bytes, 0);
    AppendUInt32(bytes, OTRPI);
    AppendUInt16(bytes, OTParameters);
    AppendUInt32(bytes, TORPI);
    AppendUInt16(bytes, TOParameters);
    AppendByte(bytes, TransportTrigger);
    AppendByte(bytes, static_cast<std::uint8_t>(words));
    assert(bytes.size() == ForwardOpenHeadSize);
    AppendArray(bytes, Connection_Path);
    bytes.resize(ForwardOpenHeadSize + 2 * words, 0);
    return bytes;
}

std::unique_ptr<TForwardOpenReply> TForwardOpenReply::FromReply(const TEncapsReply& reply) {
    TMR_Response response;
    response.Expand(ReplyDataItem(reply).Data, 0);
    const std::span<const std::uint8_t> d = response.ResponseData;
    std::unique_ptr<TForwardOpenReply> result;
    if (response.GeneralStatus == StatusSuccess) {
        auto success = std::make_unique<TForwardOpenReply_Success>();
        success->OTConnectionId = ToUInt32(d, 0);
        success->TOConnectionId = ToUInt32(d, 4);
        success->ConnectionSerial = ToUInt16(d, 8);
        success->VendorId = ToUInt16(d, 10);
        success->OriginatorSerial = ToUInt32(d, 12);
        success->OTActualPacketInterval = ToUInt32(d, 16);
        success->TOActualPacketInterval = ToUInt32(d, 20);
        success->ApplicationReplySize = ToByte(d, 24);
        result = std::move(success);
    } else {
        auto fail = std::make_unique<TForwardOpenReply_Fail>();
        if (!d.empty()) {
            fail->ConnectionSerial = ToUInt16(d, 0);
            fail->VendorId = ToUInt16(d, 2);
            fail->OriginatorSerial = ToUInt32(d, 4);
            fail->RemainingPathSize = ToByte(d, 8);
        }
        result = std::move(fail);
    }
    result->ReplyService = response.ReplyService;
    result->GeneralStatus = response.GeneralStatus;
    result->AdditionalStatus = response.AdditionalStatus;
    return result;
}

TPacketDataArray TForwardCloseRequest::Pack() const {
    if (Path.empty())
        throw TAGCOM_NullReferenceException("Path cannot be empty");
    const std::size_t words = PathSizeInWords(Path.size(), "Path");
    TPacketDataArray bytes;
    bytes.reserve(12 + 2 * words);
    AppendByte(bytes, PriorityTimeTick);
    AppendByte(bytes, TimeoutTicks);
    AppendUInt16(bytes, ConnectionSerial);
    AppendUInt16(bytes, VendorId);
    AppendUInt32(bytes, OriginatorSerial);
    AppendByte(bytes, static_cast<std::uint8_t>(words));
    AppendByte(bytes, 0); // reserved
    assert(bytes.size() == 12);
    AppendArray(bytes, Path);
    bytes.resize(12 + 2 * words, 0);
    return bytes;
}

std::uint16_t TSequenceNumberGenerator::Next() {
    if (counter_ > 65534)
        counter_ = 0;
    return ++counter_;
}

bool ForwardOpen(TSessionInfo& session, std::span<const std::uint8_t> connectionPath, std::uint16_t parameterWord,
                 std::uint32_t rpi) {
    const TConnectionParameters& record = session.ConnectionParameters;
    TForwardOpenRequest request;
    request.PriorityTimeTick = record.PriorityTimeTick;
    request.TimeoutTicks = record.TimeoutTicks;
    request.OTConnectionId = record.OTConnectionId;
    request.TOConnectionId = record.TOConnectionId;
    request.ConnectionSerial = record.ConnectionSerial;
    request.VendorId = record.VendorId;
    request.OriginatorSerial = record.OriginatorSerial;
    request.OTParameters = request.TOParameters = parameterWord != 0 ? parameterWord : DefaultConnectionParameters;
    request.OTRPI = request.TORPI = rpi != 0 ? rpi : DefaultRPI;
    request.Connection_Path.assign(connectionPath.begin(), connectionPath.end());
    session.ConnectedAt = qor::LocalDateTimeNow();

    const auto reply = TMessageRouter::SendMRRequest(session, ServiceCode(TCIPService::ForwardOpen), request.Pack(),
                                                     ToArray(ConnectionManagerPath));
    if (!reply)
        return false;
    session.LastStatus = reply->Status;
    // An encapsulation error carries no CIP reply to parse.
    if (reply->Status != 0)
        return false;
    const auto opened = TForwardOpenReply::FromReply(*reply);
    const auto* success = dynamic_cast<const TForwardOpenReply_Success*>(opened.get());
    if (success == nullptr)
        return false;
    session.ConnectionParameters.OTConnectionId = success->OTConnectionId;
    session.ConnectionParameters.TOConnectionId = success->TOConnectionId;
    session.ConnectionParameters.OTActualPacketInterval = success->OTActualPacketInterval;
    session.ConnectionParameters.TOActualPacketInterval = success->TOActualPacketInterval;
    return true;
}

bool ForwardOpenToRouter(TSessionInfo& session, std::span<const std::uint8_t> routePath,
                         std::uint16_t parameterWord, std::uint32_t rpi) {
    return ForwardOpen(session, RouterPath(routePath), parameterWord, rpi);
}

bool ForwardClose(TSessionInfo& session, std::span<const std::uint8_t> routePath) {
    session.ConnectedAt = 0;
    TForwardCloseRequest request;
    request.ConnectionSerial = session.ConnectionParameters.ConnectionSerial;
    request.VendorId = session.ConnectionParameters.VendorId;
    request.OriginatorSerial = session.ConnectionParameters.OriginatorSerial;
    request.Path = RouterPath(routePath);
    const auto reply = TMessageRouter::SendMRRequest(session, ServiceCode(TCIPService::ForwardClose),
                                                     request.Pack(), ToArray(ConnectionManagerPath));
    if (!reply)
        return false;
    if (reply->Status != 0) {
        session.LastStatus = reply->Status;
        session.LastError = EncapsStatusText(reply->Status);
        return false;
    }
    TMR_Response response;
    try {
        response.Expand(ReplyDataItem(*reply).Data, 0);
    } catch (const std::exception& e) {
        // Closing goes on (the caller frees the session next): a reply that
        // does not parse is a failed close, not an error to raise.
        session.LastError = e.what();
        return false;
    }
    if (response.GeneralStatus == StatusSuccess)
        return true;
    session.LastStatus = response.GeneralStatus;
    session.LastError = GeneralStatusText(response.GeneralStatus);
    if (!response.AdditionalStatus.empty()) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(response.AdditionalStatus[0]));
        session.LastError += std::string(", extended status 0x") + hex;
    }
    return false;
}

std::optional<TEncapsReply> SendConnected(TSessionInfo& session, std::span<const std::uint8_t> request,
                                          TSequenceNumberGenerator& sequencer) {
    return SendUnitData(session,
                        TCommonPacketItem::ConnectedAddressItem(session.ConnectionParameters.OTConnectionId),
                        TCommonPacketItem::ConnectedDataItem(request, sequencer.Next()));
}

namespace {

std::optional<TReadDataServiceReply> ReadConnected(TSessionInfo& session, const TReadDataServiceRequest& request,
                                                   TSequenceNumberGenerator& sequencer) {
    const auto reply = SendConnected(session, request.Pack(), sequencer);
    if (!reply || (reply->Status != 0 && reply->Status != 6))
        return std::nullopt;
    return TReadDataServiceReply::FromReply(*reply);
}

} // namespace

std::optional<TReadDataServiceReply> ReadTagConnected(TSessionInfo& session, std::string_view tagAddress,
                                                      std::uint16_t elementCount,
                                                      TSequenceNumberGenerator& sequencer) {
    return ReadConnected(session, TReadDataServiceRequest::ReadTag(TIOI::BuildPath(tagAddress), elementCount),
                         sequencer);
}

std::optional<TReadDataServiceReply> ReadTagFragmentedConnected(TSessionInfo& session,
                                                                std::string_view tagAddress,
                                                                std::uint16_t elementCount,
                                                                std::uint32_t byteOffset,
                                                                TSequenceNumberGenerator& sequencer) {
    return ReadConnected(
        session,
        TReadDataServiceRequest::ReadTagFragmented(TIOI::BuildPath(tagAddress), elementCount, byteOffset),
        sequencer);
}

} // namespace cip
