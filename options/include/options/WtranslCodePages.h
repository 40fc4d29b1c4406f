// Code pages of language files: the "Charset=" names the translator knows and
// the decoding of translations to UTF-8 (through iconv).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qor {

inline constexpr std::uint32_t kCodePageUtf8 = 65001;

// The charset number and code page of a "Charset=" value ("windows-1251" ->
// 204 and 1251, "shift-jis" -> 128 and 932, ...). The name is compared as
// given (the caller lower-cases it). False for a name not in the table.
bool CharsetFromName(std::string_view name, std::uint32_t& charset, std::uint32_t& codePage);

// Text in a Windows code page as UTF-8. Code page 0 is the system's ANSI code
// page, which is UTF-8 on this platform; text that is not valid UTF-8 is read
// as windows-1252, the code page such files were written in on the original
// platform. 65001 is UTF-8. A byte sequence the code page does not define
// becomes U+FFFD; a code page iconv does not know leaves the text as it is.
std::string DecodeCodePage(std::string_view bytes, std::uint32_t codePage);

bool IsValidUtf8(std::string_view text);

} // namespace qor
