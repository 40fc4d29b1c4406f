#include "cip/CIP_MR_Request.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace cip {

using namespace eip;

namespace {

// Codes 0x00 to 0x2A; 0x23 and 0x24 have no row.
constexpr std::array<std::string_view, 0x2B> StatusTexts = {
    "Success",
    "Connection Failure",
    "Resource Unavailable",
    "Invalid Parameter Value",
    "Path Segment Error",
    "Path Destination Unknown",
    "Partial Transfer",
    "Connection Lost",
    "Service Not Supported",
    "Invalid Attribute Value",
    "Attribute List Error",
    "Already in Requested Mode/State",
    "Object State Conflict",
    "Object Already Exists",
    "Attribute Not Settable",
    "Privilage Violation",
    "Device State Conflict",
    "Reply Data Too Large",
    "Fragmentation of a Primitive Value",
    "Not Enough Data",
    "Attribute Not Supported",
    "Too Much Data",
    "Object Does Not Exist",
    "Service Fragmentation Sequence Not In Progress",
    "No Stored Attribute Data",
    "Store Operation Failure",
    "Routing Failure, Request Packet Too Large",
    "Routing Failure, Response Packet Too Large",
    "Missing Attribute List Entry Data",
    "Invalid Attribute Value List",
    "Embedded Service Error",
    "Vendor Specific Error",
    "Invalid Parameter",
    "Write-Once Value or Medium Already Written",
    "Invalid Reply Received",
    "",
    "",
    "Key Failure in Path",
    "Path Size Invalid",
    "Unexpected Attribute in List",
    "Invalid Member ID",
    "Member Not Settable",
    "Group 2 Only Server General Failure",
};

std::string_view TableText(unsigned code) {
    return code < StatusTexts.size() ? StatusTexts[code] : std::string_view{};
}

} // namespace

std::string StatusText(std::uint16_t code) {
    const std::string_view text = TableText(code);
    return text.empty() ? std::string("Unknown EIP status") : std::string(text);
}

std::string GeneralStatusText(std::uint8_t status) {
    const std::string_view text = TableText(status);
    if (!text.empty())
        return std::string(text);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(status));
    return std::string("Unknown General Status - 0x") + hex;
}

namespace {

// Extended status codes that come with general status 0xFF (Logix
// controllers) and 0x01 (connection manager).
struct TExtendedText {
    std::uint16_t Code;
    std::string_view Text;
};
constexpr std::array<TExtendedText, 22> ExtendedTexts{{
    {0x0100, "connection in use or duplicate Forward Open"},
    {0x0103, "transport class and trigger combination not supported"},
    {0x0106, "ownership conflict"},
    {0x0107, "target connection not found"},
    {0x0108, "invalid network connection parameter"},
    {0x0109, "invalid connection size"},
    {0x0110, "target for connection not configured"},
    {0x0111, "RPI not supported"},
    {0x0113, "out of connections"},
    {0x0114, "vendor id or product code mismatch"},
    {0x0115, "device type mismatch"},
    {0x0116, "revision mismatch"},
    {0x0117, "invalid produced or consumed application path"},
    {0x0203, "connection timed out"},
    {0x0204, "unconnected request timed out"},
    {0x0311, "invalid port in the route"},
    {0x0312, "invalid link address in the route"},
    {0x0315, "invalid segment in the route"},
    {0x2101, "keyswitch position does not allow it"},
    {0x2104, "offset beyond the end of the tag"},
    {0x2105, "index out of range"},
    {0x2107, "type does not match the tag's"},
}};

} // namespace

std::string StatusTextWithExtended(std::uint8_t status, std::span<const std::uint16_t> extended) {
    std::string text = status == StatusExtended ? std::string("General Error") : GeneralStatusText(status);
    if (extended.empty())
        return text;
    const std::uint16_t code = extended.front();
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(code));
    const auto row = std::find_if(ExtendedTexts.begin(), ExtendedTexts.end(),
                                  [code](const TExtendedText& t) { return t.Code == code; });
    if (row == ExtendedTexts.end())
        return text + " (" + hex + ")";
    return text + " (" + hex + ": " + std::string(row->Text) + ")";
}

std::vector<std::uint16_t> ExtendedStatusWords(std::span<const std::uint8_t> statusBytes) {
    std::vector<std::uint16_t> words;
    for (std::size_t i = 2; i + 1 < statusBytes.size(); i += 2)
        words.push_back(static_cast<std::uint16_t>(statusBytes[i] | (statusBytes[i + 1] << 8)));
    return words;
}

std::uint8_t PathSizeInWords(std::size_t pathBytes, std::string_view field) {
    const std::size_t words = (pathBytes + 1) / 2;
    if (words > 0xFF)
        throw TAGCOM_ArgumentOutOfRangeException(std::string(field) + " cannot be more than 510 bytes long");
    return static_cast<std::uint8_t>(words);
}

TPacketDataArray TMR_Request::Pack() const {
    if (Request_Path.empty())
        throw TAGCOM_NullReferenceException("Request_Path cannot be null");
    if (IsPacked)
        return Request_Path;
    const std::size_t words = PathSizeInWords(Request_Path.size(), "Request_Path");
    TPacketDataArray bytes;
    bytes.reserve(2 + 2 * words + RequestData.size());
    AppendByte(bytes, Service);
    AppendByte(bytes, static_cast<std::uint8_t>(words));
    AppendArray(bytes, Request_Path);
    bytes.resize(2 + 2 * words, 0);
    AppendArray(bytes, RequestData);
    return bytes;
}

std::size_t TMR_Response::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    TMR_Response r;
    r.ReplyService = ToByte(bytes, offset);
    r.GeneralStatus = ToByte(bytes, offset + 2);
    r.AdditionalStatusSize = ToByte(bytes, offset + 3);
    const std::size_t dataOffset = offset + 4 + 2u * r.AdditionalStatusSize;
    CheckRange(static_cast<std::int64_t>(bytes.size()), static_cast<std::int64_t>(offset + 4),
               2 * static_cast<std::int64_t>(r.AdditionalStatusSize));
    for (std::size_t i = 0; i < r.AdditionalStatusSize; ++i)
        r.AdditionalStatus.push_back(ToUInt16(bytes, offset + 4 + 2 * i));
    r.ResponseData = ToBytes(bytes, dataOffset, bytes.size() - dataOffset);
    *this = std::move(r);
    return bytes.size();
}

TMR_Request TMessageRouter::BuildRequest(std::uint8_t service, TPacketDataArray path, TPacketDataArray data) {
    TMR_Request request;
    request.Service = service;
    request.Request_Path = std::move(path);
    request.RequestData = std::move(data);
    return request;
}

std::optional<TEncapsReply> TMessageRouter::SendUnconnectedRequest(TSessionInfo& session,
                                                                   const TMR_Request& request) {
    return SendRRData(session, TCommonPacketItem::NullAddressItem(),
                      TCommonPacketItem::UnconnectedDataItem(request.Pack()));
}

std::optional<TEncapsReply> TMessageRouter::SendMRRequest(TSessionInfo& session, std::uint8_t service,
                                                          TPacketDataArray data, TPacketDataArray path) {
    return SendUnconnectedRequest(session, BuildRequest(service, std::move(path), std::move(data)));
}

TMR_Response ExpandMRResponse(const TEncapsReply& reply) {
    const TCommonPacketItem item = ReplyDataItem(reply);
    TMR_Response response;
    response.Expand(item.Data, item.TypeId == ItemTypeCode(TItemType::ConnectedData) ? 2 : 0);
    return response;
}

} // namespace cip
