// PCCC data-table reads carried by the CIP Execute PCCC service over the
// connection: the data-file table, data-table addresses such as N7:0, the
// 17-byte typed logical read, and its reply.
#pragma once

#include "cip/CIP_ForwardOpen.h"
#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"
#include "eip/EIP_Session.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cip {

// One data-file kind. The data type code and value kind are not sent; they
// travel with the reply for decoding.
struct TPLC5DataType {
    char Letter;
    std::uint8_t FileType;
    std::uint8_t ElementSize; // bytes
    std::uint16_t DataType;
    std::uint8_t ValueKind;
};

inline constexpr std::array<TPLC5DataType, 12> PLC5DataTypes{{
    {'N', 0x89, 2, 0x00C3, 6},
    {'F', 0x8A, 4, 0x00CA, 6},
    {'D', 0x8F, 2, 0x00C7, 13},
    {'B', 0x85, 2, 0x00C7, 13},
    {'A', 0x8E, 2, 0x00C7, 13},
    {'T', 0x86, 6, 0x02A0, 10},
    {'C', 0x87, 6, 0x02A0, 4},
    {'R', 0x88, 6, 0x02A0, 3},
    {'S', 0x84, 2, 0x00C7, 13},
    {'O', 0x8B, 2, 0x00C3, 6},
    {'I', 0x8C, 2, 0x00C3, 6},
    {'L', 0x91, 4, 0x00C4, 5},
}};

// With one-byte file and element numbers; each number above 254 takes two
// bytes more (0xFF, then the number as 16 bits).
inline constexpr std::size_t PCCCRequestSize = 17;
inline constexpr std::uint16_t PCCCVendorId = 0x051B;
inline constexpr std::uint32_t PCCCOriginatorSerial = 0x0291AA98;

// A data-table address: file letter and number, element, and optionally a
// word inside a timer, counter or control element (T4:1.PRE, R6:0.POS) or a
// bit (B3:0/2, B3/17, T4:1.DN, N7:0/3). A bit is read with the word that holds
// it and taken out of it by the reader.
struct TPCCCAddress {
    std::uint8_t FileType = 0;
    std::uint16_t ElementSize = 0; // bytes of one element
    std::uint16_t DataType = 0;
    std::uint16_t ValueKind = 0;
    std::uint16_t FileNumber = 0;
    std::uint16_t ElementNumber = 0;
    // The 16-bit word inside a T, C or R element (0 status, 1 PRE/LEN, 2
    // ACC/POS) when the address names one; the read is then of that word.
    std::optional<std::uint8_t> SubElement;
    // The bit inside the word read (0..15; 0..31 for an L file).
    std::optional<std::uint8_t> Bit;

    // Bytes a read of count units takes: whole elements, or words of a T/C/R
    // sub-element, up to what one reply carries.
    std::uint16_t UnitSize() const { return SubElement ? 2 : ElementSize; }
};

struct TPCCCServiceRequest {
    std::string Address;
    std::uint16_t ElementCount = 0;
    std::uint16_t TNS = 0;
    std::uint16_t ElementSize = 0;
    std::uint16_t DataType = 0;
    std::uint16_t ValueKind = 0;
    std::uint8_t FileType = 0;
    std::uint16_t FileNumber = 0;
    std::uint16_t ElementNumber = 0;
    std::optional<std::uint8_t> SubElement;
    std::optional<std::uint8_t> Bit;

    static TPCCCServiceRequest Create(std::string address, std::uint16_t tns, std::uint16_t elementCount);

    // Fills the file and element fields from Address; false when it is invalid.
    // File and element numbers run from 0 to 65535; a larger one, a file
    // letter or file number missing, or anything after the address that is
    // not a sub-element or bit of that file makes the address invalid.
    bool ParseAddress();
    static std::optional<TPCCCAddress> ParseAddress(std::string_view address);
    // The request bytes (17 to 21, see PCCCRequestSize); empty when the address
    // is invalid.
    TPacketDataArray Pack() const;
};

struct TPCCCServiceReply {
    std::uint8_t ReplyService = 0;
    std::uint16_t Status = 0;
    std::array<std::uint8_t, 4> StatusBytes{};
    std::uint16_t RequesterVendor = 0;
    std::uint32_t RequesterSerial = 0;
    std::uint8_t Command = 0;
    std::uint8_t PCCCStatus = 0;
    std::uint16_t TNS = 0;
    std::uint8_t ExtendedStatus = 0;
    TPacketDataArray Data;
    // From the request, for decoding.
    std::uint16_t DataType = 0;
    std::uint16_t ValueKind = 0;
    std::uint16_t ElementSize = 0;

    // From the reply's connected data item (after the sequence count). Reply-
    // level problems go to Status (0x22, 0x13 or the device's status).
    static TPCCCServiceReply FromReply(const eip::TEncapsReply& reply);
    static TPCCCServiceReply FromResponse(const TMR_Response& response);
};

// The connected Execute PCCC exchange; the sequence number is both the TNS and
// the sequence count. Nothing when no reply came or its encapsulation status
// was neither 0 nor 6, and nothing sent when the address is invalid (the
// session's LastError then names it).
std::optional<TPCCCServiceReply> ReadPCCC(eip::TSessionInfo& session, std::string_view address,
                                          std::uint16_t elementCount, TSequenceNumberGenerator& sequencer);

} // namespace cip
