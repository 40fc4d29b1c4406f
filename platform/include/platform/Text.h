// Text services: ANSI case mapping, integer text and GUID text.
//
// The design's "ANSI" strings are UTF-8 here. Lower-casing follows what the
// Windows ANSI mapping does for the Western code page, without changing the
// byte length of any text:
// - ASCII A-Z become a-z;
// - the Latin-1 capitals U+00C0..U+00DE except U+00D7 (bytes C3 80..C3 9E in
//   UTF-8) become U+00E0..U+00FE (C3 A0..C3 BE);
// - every other byte, and every other code point, is kept.
#pragma once

#include "platform/Types.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Lower-cases length bytes in place; returns the count processed.
QOR_PLATFORM_API std::size_t CharLowerBuffA(char* text, std::size_t length);
QOR_PLATFORM_API std::string AnsiLowerCase(std::string_view text);
// The inverse mapping (a-z and U+00E0..U+00FE except U+00F7).
QOR_PLATFORM_API std::string AnsiUpperCase(std::string_view text);

// Integer text as settings and variants hold it: an optional sign, then
// decimal digits, or "$" or "0x" and hexadecimal digits; nothing around it
// (callers trim as their format says). Nothing when the text is not such a
// number or its magnitude does not fit 64 bits; what range the number may
// have is the caller's rule.
struct ParsedInteger {
    bool Negative = false;
    bool Hexadecimal = false;
    std::uint64_t Magnitude = 0;
};
QOR_PLATFORM_API std::optional<ParsedInteger> ParseIntegerText(std::string_view text);

// Text in a Windows code page (1250..1258, 874, 932, 936, 949, 950, 1361,
// 1252 for Western text) as UTF-8. A byte sequence the code page does not
// define becomes U+FFFD. Nothing when the system has no such code page.
QOR_PLATFORM_API std::optional<std::string> CodePageToUtf8(std::string_view bytes, std::uint32_t codePage);

// Text of the "A" interfaces at the host boundary, which is in the host's
// ANSI code page on Windows (the system's CP_ACP) and UTF-8 elsewhere, to
// and from the UTF-8 of the code base. Characters the code page lacks become
// "?" on the way out, as the system's own conversion makes them.
QOR_PLATFORM_API std::string AnsiToUtf8(std::string_view ansi);
QOR_PLATFORM_API std::string Utf8ToAnsi(std::string_view utf8);

// A fresh random GUID in registry text form, e.g.
// "{33316D29-0F86-41C4-8DB4-3FE9756158B2}" (upper-case hexadecimal, version 4).
QOR_PLATFORM_API std::string CreateGuidString();

} // namespace platform
