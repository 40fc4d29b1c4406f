// CIP codes the simulated device speaks: atomic data types, general status
// values, encapsulation commands and status values, and the extended status
// words it puts after a general status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

// Atomic CIP data types a tag can hold (the type word of a Read Tag reply).
enum class CipType : std::uint16_t {
    Bool = 0xC1,
    Sint = 0xC2,
    Int = 0xC3,
    Dint = 0xC4,
    Lint = 0xC5,
    Usint = 0xC6,
    Uint = 0xC7,
    Udint = 0xC8,
    Ulint = 0xC9,
    Real = 0xCA,
    Lreal = 0xCB,
    // Days since 1972-01-01.
    Date = 0xCD,
    // Milliseconds as 32 bits, then the day count as 16 bits.
    DateAndTime = 0xCF,
    Byte = 0xD1,
    Word = 0xD2,
    Dword = 0xD3,
    Lword = 0xD4,
    // Signed milliseconds.
    Time = 0xDB,
};

// A short string (SHORT_STRING): a length byte, then that many characters.
// A tag of it is a scalar whose element is exactly those bytes (a Micro800
// answers its STRING tags this way).
inline constexpr std::uint16_t ShortStringType = 0x00DA;

// The type word that marks a structure in a Read Tag reply; the structure
// handle follows it.
inline constexpr std::uint16_t StructureTypeWord = 0x02A0;

// Bits of a symbol's and a template member's type word: a structure (with
// the template instance in the low 12 bits), the array dimension count, and
// a system symbol (program, task, map) that holds no readable data.
inline constexpr std::uint16_t TypeStructBit = 0x8000;
inline constexpr std::uint16_t TypeDimsMask = 0x6000;
inline constexpr std::uint16_t TypeOneDim = 0x2000;
inline constexpr std::uint16_t TypeSystemBit = 0x1000;
inline constexpr std::uint16_t TypeInstanceMask = 0x0FFF;

// Bytes of one element of an atomic type; 0 for codes the device does not hold.
std::size_t AtomicSize(std::uint16_t typeCode);
// "DINT" -> 0xC4 (names compared without regard to ASCII case).
std::optional<CipType> CipTypeFromName(std::string_view name);
std::string_view CipTypeName(std::uint16_t typeCode);

enum class GeneralStatus : std::uint8_t {
    Success = 0x00,
    ConnectionFailure = 0x01,
    InvalidParameterValue = 0x03,
    PathSegmentError = 0x04,
    PathDestinationUnknown = 0x05,
    PartialTransfer = 0x06,
    ServiceNotSupported = 0x08,
    AttributeListError = 0x0A,
    ReplyDataTooLarge = 0x11,
    NotEnoughData = 0x13,
    AttributeNotSupported = 0x14,
    TooMuchData = 0x15,
    EmbeddedServiceError = 0x1E,
    PrivilegeViolation = 0x0F,
    PathSizeInvalid = 0x26,
    GeneralError = 0xFF,
};

// Extended status words (the first additional status word).
namespace extended {
// Connection Manager (with general status 0x01).
inline constexpr std::uint16_t DuplicateForwardOpen = 0x0100;
inline constexpr std::uint16_t TransportClassNotSupported = 0x0103;
inline constexpr std::uint16_t ConnectionNotFound = 0x0107;
inline constexpr std::uint16_t InvalidConnectionParameter = 0x0108;
inline constexpr std::uint16_t InvalidConnectionSize = 0x0109;
inline constexpr std::uint16_t OutOfConnections = 0x0113;
inline constexpr std::uint16_t InvalidApplicationPath = 0x0117;
inline constexpr std::uint16_t InvalidPort = 0x0311;
inline constexpr std::uint16_t InvalidLinkAddress = 0x0312;
inline constexpr std::uint16_t InvalidSegment = 0x0315;
// Logix tag services (with general status 0xFF).
inline constexpr std::uint16_t AccessBeyondEnd = 0x2105;
} // namespace extended

enum class EncapsCommand : std::uint16_t {
    Nop = 0x0000,
    ListServices = 0x0004,
    ListIdentity = 0x0063,
    ListInterfaces = 0x0064,
    RegisterSession = 0x0065,
    UnRegisterSession = 0x0066,
    SendRRData = 0x006F,
    SendUnitData = 0x0070,
};

enum class EncapsStatus : std::uint32_t {
    Success = 0x0000,
    InvalidCommand = 0x0001,
    IncorrectData = 0x0003,
    InvalidSessionHandle = 0x0064,
    InvalidLength = 0x0065,
    UnsupportedProtocol = 0x0069,
};

// CIP services the device answers.
namespace service {
inline constexpr std::uint8_t GetAttributesAll = 0x01;
inline constexpr std::uint8_t GetAttributeList = 0x03;
inline constexpr std::uint8_t MultipleServicePacket = 0x0A;
inline constexpr std::uint8_t GetAttributeSingle = 0x0E;
inline constexpr std::uint8_t ExecutePccc = 0x4B;
inline constexpr std::uint8_t ReadTag = 0x4C;      // on a tag
inline constexpr std::uint8_t ReadTemplate = 0x4C; // on a template instance
inline constexpr std::uint8_t ForwardClose = 0x4E;
inline constexpr std::uint8_t ReadTagFragmented = 0x52; // on a tag
inline constexpr std::uint8_t UnconnectedSend = 0x52;   // on the Connection Manager
inline constexpr std::uint8_t ForwardOpen = 0x54;
inline constexpr std::uint8_t GetInstanceAttributeList = 0x55;
inline constexpr std::uint8_t ReplyBit = 0x80;
} // namespace service

// CIP object classes the device holds.
namespace cipclass {
inline constexpr std::uint32_t Identity = 0x01;
inline constexpr std::uint32_t MessageRouter = 0x02;
inline constexpr std::uint32_t ConnectionManager = 0x06;
inline constexpr std::uint32_t Pccc = 0x67;
inline constexpr std::uint32_t Symbol = 0x6B;
inline constexpr std::uint32_t Template = 0x6C;
inline constexpr std::uint32_t TcpIp = 0xF5;
inline constexpr std::uint32_t EthernetLink = 0xF6;
} // namespace cipclass

} // namespace sim
