#include "cip/CIP_ReadTag.h"

namespace cip {

using namespace eip;

TReadDataServiceRequest TReadDataServiceRequest::ReadTag(TPacketDataArray path, std::uint16_t elementCount) {
    TReadDataServiceRequest r;
    r.Service = ServiceCode(TCIPService::ReadTag);
    r.Path = std::move(path);
    r.ElementCount = elementCount;
    return r;
}

TReadDataServiceRequest TReadDataServiceRequest::ReadTagFragmented(TPacketDataArray path,
                                                                   std::uint16_t elementCount,
                                                                   std::uint32_t byteOffset) {
    TReadDataServiceRequest r = ReadTag(std::move(path), elementCount);
    r.Service = ServiceCode(TCIPService::ReadTagFragmented);
    r.ByteOffset = byteOffset;
    return r;
}

TPacketDataArray TReadDataServiceRequest::Pack() const {
    if (Path.empty())
        throw TAGCOM_NullReferenceException("Request_Path cannot be null");
    const std::size_t words = PathSizeInWords(Path.size(), "Request_Path");
    TPacketDataArray bytes;
    AppendByte(bytes, Service);
    AppendByte(bytes, static_cast<std::uint8_t>(words));
    AppendArray(bytes, Path);
    bytes.resize(2 + 2 * words, 0);
    AppendUInt16(bytes, ElementCount);
    if (Service == ServiceCode(TCIPService::ReadTagFragmented))
        AppendUInt32(bytes, ByteOffset);
    return bytes;
}

std::size_t TReadDataServiceReply::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    TMR_Response response;
    const std::size_t next = response.Expand(bytes, offset);
    TReadDataServiceReply r;
    r.Service = response.ReplyService;
    r.GeneralStatus = response.GeneralStatus;
    AppendUInt16(r.StatusBytes, response.GeneralStatus);
    if (response.GeneralStatus == StatusExtended)
        for (const std::uint16_t word : response.AdditionalStatus)
            AppendUInt16(r.StatusBytes, word);
    const bool good =
        response.GeneralStatus == StatusSuccess || response.GeneralStatus == StatusPartialTransfer;
    if (good && response.ResponseData.size() >= 2) {
        r.DataType = ToUInt16(response.ResponseData, 0);
        r.Data.assign(response.ResponseData.begin() + 2, response.ResponseData.end());
    } else {
        r.Data = std::move(response.ResponseData);
    }
    *this = std::move(r);
    return next;
}

TReadDataServiceReply TReadDataServiceReply::FromReply(const TEncapsReply& reply) {
    const TCommonPacketItem item = ReplyDataItem(reply);
    TReadDataServiceReply r;
    r.Expand(item.Data, item.TypeId == ItemTypeCode(TItemType::ConnectedData) ? 2 : 0);
    return r;
}

} // namespace cip
