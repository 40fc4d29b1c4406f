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

#include <cstdint>
#include <optional>
#include <string_view>

namespace sim {

// Appends the value's bytes; false when the text is no value of the type.
bool EncodeValueText(std::uint16_t typeCode, std::string_view text, Bytes& out);

// Days since 1972-01-01 of a YYYY-MM-DD text; nothing for a bad date or one
// before 1972.
std::optional<std::uint32_t> ParseDateText(std::string_view text);
// Milliseconds of an [-]HH:MM:SS[.mmm] text.
std::optional<std::int64_t> ParseTimeText(std::string_view text);

} // namespace sim
