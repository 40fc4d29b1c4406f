#include "eip/EIP_EncapsPacket.h"

#include <algorithm>
#include <cassert>

namespace eip {

std::string EncapsStatusText(std::uint32_t status) {
    switch (status) {
    case 0x0000:
        return "Success";
    case 0x0001:
        return "Invalid or unsupported encapsulation command";
    case 0x0002:
        return "Insufficient memory";
    case 0x0003:
        return "Poorly formed or incorrect data";
    case 0x0064:
        return "Invalid session handle";
    case 0x0065:
        return "Invalid length";
    case 0x0069:
        return "Unsupported encapsulation protocol revision";
    default:
        return "Unknown EIP status";
    }
}

TPacketDataArray TEncapsPacket::Pack() const {
    const std::size_t n = EncapsData.size();
    if (n > MaxEncapsDataLength)
        throw TAGCOM_ArgumentOutOfRangeException("EncapsData cannot be more than 65,511 bytes long");
    TPacketDataArray bytes;
    bytes.reserve(EncapsHeaderSize + n);
    AppendUInt16(bytes, Command);
    AppendUInt16(bytes, static_cast<std::uint16_t>(n));
    AppendUInt32(bytes, SessionHandle);
    AppendUInt32(bytes, Status);
    AppendArray(bytes, SenderContext);
    AppendUInt32(bytes, Options);
    assert(bytes.size() == EncapsHeaderSize);
    AppendArray(bytes, EncapsData);
    return bytes;
}

std::size_t TEncapsPacket::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    TEncapsPacket p;
    p.Command = ToUInt16(bytes, offset);
    p.Length = ToUInt16(bytes, offset + 2);
    p.SessionHandle = ToUInt32(bytes, offset + 4);
    p.Status = ToUInt32(bytes, offset + 8);
    CheckRange(static_cast<std::int64_t>(bytes.size()), static_cast<std::int64_t>(offset + 12), 8);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset + 12), 8, p.SenderContext.begin());
    p.Options = ToUInt32(bytes, offset + 20);
    if (bytes.size() < offset + EncapsHeaderSize + p.Length)
        throw TAGCOM_IndexOutOfRangeException("Not enough data in the DataArray for the encapsulated packet");
    if (p.Length > 0)
        p.EncapsData = ToBytes(bytes, offset + EncapsHeaderSize, p.Length);
    *this = std::move(p);
    return offset + EncapsHeaderSize + Length;
}

std::size_t TEncapsReply::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    const std::size_t next = TEncapsPacket::Expand(bytes, offset);
    Raw = std::make_shared<const TPacketDataArray>(bytes.begin(), bytes.end());
    return next;
}

TEncapsPacket TEncapsPacketFactory::CreateListIdentity() {
    TEncapsPacket p;
    p.Command = CommandCode(TEncapsCommand::ListIdentity);
    return p;
}

TEncapsPacket TEncapsPacketFactory::CreateRegisterSession() {
    TEncapsPacket p;
    p.Command = CommandCode(TEncapsCommand::RegisterSession);
    p.Length = 4;
    // Protocol version 1, no option flags.
    p.EncapsData = {0x01, 0x00, 0x00, 0x00};
    return p;
}

TEncapsPacket TEncapsPacketFactory::CreateSendRRData(std::uint32_t sessionHandle, TPacketDataArray data,
                                                     const TSenderContext& senderContext) {
    TEncapsPacket p;
    p.Command = CommandCode(TEncapsCommand::SendRRData);
    p.SessionHandle = sessionHandle;
    p.SenderContext = senderContext;
    p.Length = static_cast<std::uint16_t>(data.size());
    p.EncapsData = std::move(data);
    return p;
}

TEncapsPacket TEncapsPacketFactory::CreateSendUnitData(std::uint32_t sessionHandle,
                                                       const TSenderContext& senderContext,
                                                       TPacketDataArray data) {
    TEncapsPacket p = CreateSendRRData(sessionHandle, std::move(data), senderContext);
    p.Command = CommandCode(TEncapsCommand::SendUnitData);
    return p;
}

void TEIPCommonReply::CopyHeader(const TEncapsPacket& reply) {
    Command = reply.Command;
    Length = reply.Length;
    SessionHandle = reply.SessionHandle;
    Status = reply.Status;
    Options = reply.Options;
    SenderContext = reply.SenderContext;
}

std::unique_ptr<TRegisterSession_Reply> TRegisterSession_Reply::FromReply(const TEncapsReply& reply) {
    if (reply.Status != 0) {
        auto failure = std::make_unique<TRegisterSession_Failure>();
        failure->CopyHeader(reply);
        return failure;
    }
    auto success = std::make_unique<TRegisterSession_Success>();
    success->CopyHeader(reply);
    success->ProtocolVersion = ToUInt16(reply.EncapsData, 0);
    success->OptionFlags = ToUInt16(reply.EncapsData, 2);
    return success;
}

std::unique_ptr<TListIdentityReply> TListIdentityReply::FromReply(const TEncapsReply& reply) {
    if (reply.Status != 0) {
        auto failure = std::make_unique<TListIdentityReply_Failure>();
        failure->CopyHeader(reply);
        return failure;
    }
    auto success = std::make_unique<TListIdentityReply_Success>();
    success->CopyHeader(reply);
    const std::span<const std::uint8_t> data = reply.EncapsData;
    success->ItemCount = ToUInt16(data, 0);
    // Every item takes at least its 37 bytes up to the name, so a count larger
    // than the data can hold fails at the first missing item; reserve only
    // what the data can hold.
    success->Items.reserve(std::min<std::size_t>(success->ItemCount, data.size() / 37));
    std::size_t offset = 2;
    for (std::uint16_t i = 0; i < success->ItemCount; ++i) {
        TIdentityItem item;
        offset = item.Expand(data, offset);
        success->Items.push_back(std::move(item));
    }
    return success;
}

} // namespace eip
