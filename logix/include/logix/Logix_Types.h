// Logix data types: the CIP type codes a Read Tag reply carries, the Logix
// type of every tag class and structure member, and the stateless converter
// that turns little-endian reply bytes into variants.
#pragma once

#include "common/Variant.h"
#include "eip/EIP_Conversion.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace logix {

using eip::TPacketDataArray;
using qor::Variant;

// The CIP elementary type codes of the controllers.
namespace cipType {
inline constexpr std::uint16_t BOOL = 0xC1;
inline constexpr std::uint16_t SINT = 0xC2;
inline constexpr std::uint16_t INT = 0xC3;
inline constexpr std::uint16_t DINT = 0xC4;
inline constexpr std::uint16_t LINT = 0xC5;
inline constexpr std::uint16_t USINT = 0xC6;
inline constexpr std::uint16_t UINT = 0xC7;
inline constexpr std::uint16_t UDINT = 0xC8;
inline constexpr std::uint16_t ULINT = 0xC9;
inline constexpr std::uint16_t REAL = 0xCA;
inline constexpr std::uint16_t LREAL = 0xCB;
inline constexpr std::uint16_t STIME = 0xCC;
inline constexpr std::uint16_t DATE = 0xCD;
inline constexpr std::uint16_t TIME_OF_DAY = 0xCE;
inline constexpr std::uint16_t DATE_AND_TIME = 0xCF;
inline constexpr std::uint16_t STRING = 0xD0;
inline constexpr std::uint16_t BYTE = 0xD1;
inline constexpr std::uint16_t WORD = 0xD2;
inline constexpr std::uint16_t DWORD = 0xD3;
inline constexpr std::uint16_t LWORD = 0xD4;
inline constexpr std::uint16_t FTIME = 0xD6;
inline constexpr std::uint16_t LTIME = 0xD7;
inline constexpr std::uint16_t ITIME = 0xD8;
inline constexpr std::uint16_t SHORT_STRING = 0xDA;
inline constexpr std::uint16_t TIME = 0xDB;
// In the type position of a reply: a structure; its handle follows.
inline constexpr std::uint16_t Structure = 0x02A0;
} // namespace cipType

// What a tag class or a structure member holds.
enum class TLogixType : std::uint8_t {
    None = 0,
    STRING = 1, // the structure string (LEN + DATA)
    BOOL = 2,
    CONTROL = 3,
    COUNTER = 4,
    DINT = 5,
    INT = 6,
    LINT = 7,
    REAL = 8,
    SINT = 9,
    TIMER = 10,
    USER = 11, // any other structure
    USINT = 12,
    UINT = 13,
    UDINT = 14,
    ULINT = 15,
    LREAL = 16,
    SSTRING = 17,
    DATETIME = 18,
    DATE = 19,
    TIME = 20,
};

// Element size in bytes of a type code; 0 for variable or unsized types and
// for codes outside the table.
std::size_t TypeSize(std::uint16_t typeCode);
// The Logix type a structure member of that atomic code gets.
TLogixType MemberKindOf(std::uint16_t typeCode);
// The type's name ("DINT"), or "" for a code outside the table.
std::string TypeName(std::uint16_t typeCode);

// A day count of DATE values starts here (days since 1899-12-30).
inline constexpr double DateEpoch1972 = 26299.0; // 1972-01-01

// One value at offset: the single-value kind of the type; empty when the type
// has size 0 or no single value. Raises eip::EListError when the bytes end
// before the value does.
Variant ConvertValue(std::span<const std::uint8_t> bytes, std::size_t offset, std::uint16_t typeCode);
// The values at offset, offset + size, ... below offset + byteLength, as a
// one-dimensional variant array. Raises eip::EListError (with offset +
// byteLength) when the bytes are shorter than that.
Variant ConvertArray(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t byteLength,
                     std::uint16_t typeCode);
// A DATE (days from 1972-01-01) or DATE_AND_TIME (milliseconds of the day,
// then the day count) at offset as a date-time; empty for other codes.
// Raises eip::EListError when the bytes end before the value does.
Variant ConvertDate(std::span<const std::uint8_t> bytes, std::size_t offset, std::uint16_t typeCode);
// Each integer's bits from bit 0 upward, as an array of booleans.
Variant ExpandBits(const Variant& integers, unsigned bitsPerElement);
// A range-checked copy (eip::EListError when the bytes end early).
TPacketDataArray CopyBytes(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t length);

// Multi-index access outside the values: "List index out of bounds (i, j)".
class ELogixIndexError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

// An operation that cannot run on this object ("Invalid dimensions",
// "Member not found").
class ELogixInvalidOperation : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

} // namespace logix
