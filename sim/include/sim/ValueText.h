// Values as the tag text writes them, turned into the little-endian bytes of
// an atomic CIP type.
//
// Integers are decimal (optionally negative) or 0x hexadecimal and must fit
// the type (both -1 and 0xFFFF fill an INT); REAL and LREAL take decimal
// fractions; BOOL takes 0, 1, true or false. DATE takes YYYY-MM-DD or a day
// count since 1972-01-01; TIME takes [-]HH:MM:SS[.mmm] or milliseconds;
// DATE_AND_TIME takes YYYY-MM-DDTHH:MM:SS[.mmm].
#pragma once

#include "sim/SimBytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

// A signed or unsigned integer: decimal with an optional sign, or 0x hex, kept
// as the bit pattern of a 64-bit value plus whether it was negative.
struct IntegerText {
    std::uint64_t Bits = 0;
    bool Negative = false;
};
std::optional<IntegerText> ParseIntegerText(std::string_view text);
// A decimal number (a leading '+' allowed); nothing unless all of it is one.
std::optional<double> ParseDoubleText(std::string_view text);
// Negative values must lie in the signed range of the width, others in the
// unsigned range, so both -1 and 0xFFFF fill an INT.
bool FitsWidth(const IntegerText& value, std::size_t bytes);

// Appends the value's bytes; false when the text is no value of the type.
bool EncodeValueText(std::uint16_t typeCode, std::string_view text, Bytes& out);

// Days since 1972-01-01 of a YYYY-MM-DD text; nothing for a bad date or one
// before 1972.
std::optional<std::uint32_t> ParseDateText(std::string_view text);
// Milliseconds of an [-]HH:MM:SS[.mmm] text.
std::optional<std::int64_t> ParseTimeText(std::string_view text);

} // namespace sim
