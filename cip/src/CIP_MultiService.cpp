#include "cip/CIP_MultiService.h"

#include <algorithm>
#include <cassert>

namespace cip {

using namespace eip;

std::size_t TMultiServiceRequest::AddService(TPacketDataArray packedRequest) {
    Services.push_back(std::move(packedRequest));
    return Services.size() - 1;
}

std::size_t TMultiServiceRequest::PackedSize() const {
    std::size_t size = Header.size() + 2 + 2 * Services.size();
    for (const auto& service : Services)
        size += service.size();
    return size;
}

TPacketDataArray TMultiServiceRequest::Pack() const {
    const std::size_t n = Services.size();
    // The count and the offsets are 16-bit fields.
    if (PackedSize() - Header.size() > 0xFFFF)
        throw TAGCOM_ArgumentOutOfRangeException("Multiple Service Packet cannot be more than 65,535 bytes long");
    TPacketDataArray bytes;
    bytes.reserve(PackedSize());
    AppendArray(bytes, Header);
    AppendUInt16(bytes, static_cast<std::uint16_t>(n));
    // Offsets count from the count field.
    std::size_t offset = 2 + 2 * n;
    for (const auto& service : Services) {
        AppendUInt16(bytes, static_cast<std::uint16_t>(offset));
        offset += service.size();
    }
    for (const auto& service : Services)
        AppendArray(bytes, service);
    assert(bytes.size() == PackedSize());
    return bytes;
}

void TServiceReply::Expand(std::span<const std::uint8_t> reply) {
    TServiceReply r;
    r.ReplyService = ToByte(reply, 0);
    r.GeneralStatus = ToByte(reply, 2);
    r.IsPartial = r.GeneralStatus == StatusPartialTransfer;
    r.AdditionalStatusSize = ToByte(reply, 3);
    r.AdditionalStatus = ToBytes(reply, 4, 2u * r.AdditionalStatusSize);
    r.Status.reserve(2 + r.AdditionalStatus.size());
    AppendUInt16(r.Status, r.GeneralStatus);
    AppendArray(r.Status, r.AdditionalStatus);
    const std::size_t dataOffset = 4 + r.AdditionalStatus.size();
    r.ResponseData = ToBytes(reply, dataOffset, reply.size() - dataOffset);
    r.ReplyData = std::move(ReplyData);
    *this = std::move(r);
}

TMultiServiceReply TMultiServiceReply::FromResponse(const TMR_Response& response) {
    TMultiServiceReply result;
    result.ReplyService = response.ReplyService;
    result.GeneralStatus = response.GeneralStatus;
    result.HasServiceErrors = response.GeneralStatus == StatusEmbeddedServiceError;
    if (response.ResponseData.empty())
        return result;
    const auto data = std::make_shared<const TPacketDataArray>(response.ResponseData);
    const std::span<const std::uint8_t> d = *data;
    const std::uint16_t n = ToUInt16(d, 0);
    // The offset table must be there before anything is allocated for it.
    CheckRange(static_cast<std::int64_t>(d.size()), 2, 2 * static_cast<std::int64_t>(n));
    result.ServiceCount = n;
    result.Replies.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t start = ToUInt16(d, 2 + 2 * i);
        const std::size_t end = i + 1 < n ? ToUInt16(d, 2 + 2 * (i + 1)) : d.size();
        if (end < start || end > d.size())
            throw EListError(static_cast<std::int64_t>(start));
        TServiceReply reply;
        reply.ReplyData = data;
        reply.Expand(d.subspan(start, end - start));
        result.Replies.push_back(std::move(reply));
    }
    return result;
}

TMultiServiceReply TMultiServiceReply::Create(const TEncapsReply& reply) {
    return FromResponse(ExpandMRResponse(reply));
}

} // namespace cip
