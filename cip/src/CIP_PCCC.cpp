#include "cip/CIP_PCCC.h"

#include "cip/CIP_IOI.h"
#include "cip/CIP_MR_Request.h"
#include "eip/EIP_CommonPacket.h"

#include <algorithm>
#include <cassert>

namespace cip {

using namespace eip;

namespace {

constexpr std::uint8_t PCCCCommandTypedRead = 0x0F;
constexpr std::uint8_t PCCCFunctionTypedLogicalRead = 0xA2; // three address fields
constexpr std::uint8_t PCCCStatusExtended = 0xF0;

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsAddressDigit(char c) { return c >= '0' && c <= '9'; }

// A run of digits as a file or element number, or nothing when it is empty or
// above 65535.
std::optional<std::uint16_t> AddressNumber(std::string_view digits) {
    if (digits.empty())
        return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFF)
            return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// An address field of a typed logical read: one byte up to 254; from 255 on
// (0xFF itself announces the longer form) 0xFF and the number as 16 bits.
void AppendAddressField(TPacketDataArray& bytes, std::uint16_t value) {
    if (value < 0xFF) {
        AppendByte(bytes, static_cast<std::uint8_t>(value));
        return;
    }
    AppendByte(bytes, 0xFF);
    AppendUInt16(bytes, value);
}

std::string_view TakeRun(std::string_view& s, bool (*in)(char)) {
    std::size_t n = 0;
    while (n < s.size() && in(s[n]))
        ++n;
    const std::string_view run = s.substr(0, n);
    s.remove_prefix(n);
    return run;
}

} // namespace

TPCCCServiceRequest TPCCCServiceRequest::Create(std::string address, std::uint16_t tns,
                                                std::uint16_t elementCount) {
    TPCCCServiceRequest r;
    r.Address = std::move(address);
    r.TNS = tns;
    r.ElementCount = elementCount;
    return r;
}

namespace {

// The named parts of a timer, counter or control element: a word (PRE, ACC,
// LEN, POS) or a bit of the status word.
struct TSubElementName {
    char File;
    std::string_view Name;
    std::uint8_t Word;
    std::optional<std::uint8_t> Bit;
};
constexpr std::array<TSubElementName, 24> SubElementNames{{
    {'T', "PRE", 1, {}}, {'T', "ACC", 2, {}}, {'T', "EN", 0, 15}, {'T', "TT", 0, 14}, {'T', "DN", 0, 13},
    {'C', "PRE", 1, {}}, {'C', "ACC", 2, {}}, {'C', "CU", 0, 15}, {'C', "CD", 0, 14}, {'C', "DN", 0, 13},
    {'C', "OV", 0, 12},  {'C', "UN", 0, 11},  {'R', "LEN", 1, {}}, {'R', "POS", 2, {}}, {'R', "EN", 0, 15},
    {'R', "EU", 0, 14},  {'R', "DN", 0, 13},  {'R', "EM", 0, 12},  {'R', "ER", 0, 11},  {'R', "UL", 0, 10},
    {'R', "IN", 0, 9},   {'R', "FD", 0, 8},
}};

} // namespace

std::optional<TPCCCAddress> TPCCCServiceRequest::ParseAddress(std::string_view address) {
    std::string text;
    for (char c : address) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        text += c;
    }
    std::string_view s = text;
    if (!s.empty() && s.front() == '$')
        s.remove_prefix(1);

    const std::string_view letters = TakeRun(s, IsUpper);
    const auto row = std::find_if(PLC5DataTypes.begin(), PLC5DataTypes.end(), [&](const TPLC5DataType& t) {
        return letters.size() == 1 && letters[0] == t.Letter;
    });
    if (row == PLC5DataTypes.end())
        return std::nullopt;
    const auto fileNumber = AddressNumber(TakeRun(s, IsAddressDigit));
    if (!fileNumber)
        return std::nullopt;
    TPCCCAddress a;
    a.FileType = row->FileType;
    a.ElementSize = row->ElementSize;
    a.DataType = row->DataType;
    a.ValueKind = row->ValueKind;
    a.FileNumber = *fileNumber;
    const bool structured = row->DataType == 0x02A0;
    bool elementGiven = false;
    if (!s.empty() && s.front() == ':') {
        s.remove_prefix(1);
        const std::string_view digits = TakeRun(s, IsAddressDigit);
        // No digits after the colon reads element 0; a number too large for
        // the wire is refused rather than read as another element.
        if (!digits.empty()) {
            const auto element = AddressNumber(digits);
            if (!element)
                return std::nullopt;
            a.ElementNumber = *element;
            elementGiven = true;
        }
    }
    if (!s.empty() && s.front() == '.' && structured) {
        s.remove_prefix(1);
        const std::string_view name = TakeRun(s, IsUpper);
        const auto sub = std::find_if(SubElementNames.begin(), SubElementNames.end(), [&](const TSubElementName& n) {
            return n.File == row->Letter && n.Name == name;
        });
        if (sub == SubElementNames.end())
            return std::nullopt;
        a.SubElement = sub->Word;
        a.Bit = sub->Bit;
    } else if (!s.empty() && s.front() == '/') {
        // A bit: of the element's word, or (without an element, "B3/17") of
        // the file counted from its first bit.
        s.remove_prefix(1);
        const auto bit = AddressNumber(TakeRun(s, IsAddressDigit));
        if (!bit)
            return std::nullopt;
        const unsigned width = structured ? 16u : 8u * row->ElementSize;
        if (structured) {
            if (*bit >= width)
                return std::nullopt;
            a.SubElement = 0;
        } else if (!elementGiven) {
            a.ElementNumber = static_cast<std::uint16_t>(*bit / width);
        } else if (*bit >= width) {
            return std::nullopt;
        }
        a.Bit = static_cast<std::uint8_t>(*bit % width);
        if (row->DataType == 0x00CA)
            return std::nullopt; // a float has no bits to address
    }
    if (!s.empty())
        return std::nullopt;
    if (a.SubElement) {
        a.DataType = 0x00C3; // a word of the element, read as INT
        a.ValueKind = 6;
    }
    return a;
}

bool TPCCCServiceRequest::ParseAddress() {
    const auto a = ParseAddress(Address);
    if (!a)
        return false;
    FileType = a->FileType;
    ElementSize = a->ElementSize;
    DataType = a->DataType;
    ValueKind = a->ValueKind;
    FileNumber = a->FileNumber;
    ElementNumber = a->ElementNumber;
    SubElement = a->SubElement;
    Bit = a->Bit;
    return true;
}

TPacketDataArray TPCCCServiceRequest::Pack() const {
    const auto a = ParseAddress(Address);
    if (!a)
        return {};
    const std::uint16_t unit = a->UnitSize();
    std::uint16_t count = unit == 0 ? ElementCount : std::min<std::uint16_t>(255 / unit, ElementCount);
    if (count == 0)
        count = 1;
    const unsigned byteSize = unit == 0 ? 1u : unit * count;

    TPacketDataArray bytes;
    bytes.reserve(PCCCRequestSize + 4);
    AppendByte(bytes, 7); // requester id length
    AppendUInt16(bytes, PCCCVendorId);
    AppendUInt32(bytes, PCCCOriginatorSerial);
    AppendByte(bytes, PCCCCommandTypedRead);
    AppendByte(bytes, 0); // status
    AppendUInt16(bytes, TNS);
    AppendByte(bytes, PCCCFunctionTypedLogicalRead);
    AppendByte(bytes, static_cast<std::uint8_t>(byteSize));
    AppendAddressField(bytes, a->FileNumber);
    AppendByte(bytes, a->FileType);
    AppendAddressField(bytes, a->ElementNumber);
    AppendAddressField(bytes, a->SubElement.value_or(0));
    assert(bytes.size() >= PCCCRequestSize && bytes.size() <= PCCCRequestSize + 4);
    return bytes;
}

TPCCCServiceReply TPCCCServiceReply::FromResponse(const TMR_Response& response) {
    TPCCCServiceReply r;
    r.ReplyService = response.ReplyService;
    r.Status = response.GeneralStatus;
    r.StatusBytes[0] = response.GeneralStatus;
    if (response.GeneralStatus == StatusExtended && !response.AdditionalStatus.empty()) {
        r.StatusBytes[2] = static_cast<std::uint8_t>(response.AdditionalStatus[0]);
        r.StatusBytes[3] = static_cast<std::uint8_t>(response.AdditionalStatus[0] >> 8);
    }
    if (r.Status != StatusSuccess && r.Status != StatusPartialTransfer)
        return r;
    if (r.ReplyService != 0xCB && r.ReplyService != 0xD2) {
        r.Status = StatusInvalidReply;
        return r;
    }
    const std::span<const std::uint8_t> d = response.ResponseData;
    if (d.empty())
        return r;
    if (d.size() < 7) {
        r.Status = StatusNotEnoughData;
        return r;
    }
    const std::size_t requesterLength = d[0];
    r.RequesterVendor = ToUInt16(d, 1);
    r.RequesterSerial = ToUInt32(d, 3);
    if (requesterLength > d.size() || d.size() - requesterLength < 4) {
        r.Status = StatusNotEnoughData;
        return r;
    }
    const std::span<const std::uint8_t> pccc = d.subspan(requesterLength);
    r.Command = pccc[0];
    r.PCCCStatus = pccc[1];
    r.TNS = ToUInt16(pccc, 2);
    std::size_t dataOffset = 4;
    if (r.PCCCStatus == PCCCStatusExtended)
        r.ExtendedStatus = ToByte(pccc, dataOffset++);
    r.Data = ToBytes(pccc, dataOffset, pccc.size() - dataOffset);
    return r;
}

TPCCCServiceReply TPCCCServiceReply::FromReply(const TEncapsReply& reply) {
    return FromResponse(ExpandMRResponse(reply));
}

std::optional<TPCCCServiceReply> ReadPCCC(TSessionInfo& session, std::string_view address,
                                          std::uint16_t elementCount, TSequenceNumberGenerator& sequencer) {
    TPCCCServiceRequest request = TPCCCServiceRequest::Create(std::string(address), 0, elementCount);
    if (!request.ParseAddress()) {
        // An empty request would still reach the device; refuse it here.
        session.LastError = "Invalid address: " + std::string(address);
        return std::nullopt;
    }
    // One number is both the TNS and the connected sequence count.
    const std::uint16_t n = sequencer.Next();
    request.TNS = n;
    const TMR_Request message = TMessageRouter::BuildRequest(ServiceCode(TCIPService::ExecutePCCC),
                                                             ToArray(PCCCObjectPath), request.Pack());
    const auto reply =
        SendUnitData(session, TCommonPacketItem::ConnectedAddressItem(session.ConnectionParameters.OTConnectionId),
                     TCommonPacketItem::ConnectedDataItem(message.Pack(), n));
    if (!reply || (reply->Status != 0 && reply->Status != 6))
        return std::nullopt;
    TPCCCServiceReply result = TPCCCServiceReply::FromReply(*reply);
    result.DataType = request.DataType;
    result.ElementSize = request.SubElement ? 2 : request.ElementSize;
    result.ValueKind = request.ValueKind;
    return result;
}

} // namespace cip
