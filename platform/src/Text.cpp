#include "platform/Text.h"

#include <charconv>
#include <cstdio>
#include <random>

namespace platform {

std::size_t CharLowerBuffA(char* text, std::size_t length) {
    auto* p = reinterpret_cast<unsigned char*>(text);
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = p[i];
        if (c >= 'A' && c <= 'Z') {
            p[i] = static_cast<unsigned char>(c + 32);
        } else if (c == 0xC3 && i + 1 < length) {
            const unsigned char n = p[i + 1];
            if (n >= 0x80 && n <= 0x9E && n != 0x97)
                p[i + 1] = static_cast<unsigned char>(n + 0x20);
            ++i;
        }
    }
    return length;
}

std::string AnsiLowerCase(std::string_view text) {
    std::string s(text);
    CharLowerBuffA(s.data(), s.size());
    return s;
}

std::string AnsiUpperCase(std::string_view text) {
    std::string s(text);
    auto* p = reinterpret_cast<unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = p[i];
        if (c >= 'a' && c <= 'z') {
            p[i] = static_cast<unsigned char>(c - 32);
        } else if (c == 0xC3 && i + 1 < s.size()) {
            const unsigned char n = p[i + 1];
            if (n >= 0xA0 && n <= 0xBE && n != 0xB7)
                p[i + 1] = static_cast<unsigned char>(n - 0x20);
            ++i;
        }
    }
    return s;
}

std::optional<ParsedInteger> ParseIntegerText(std::string_view text) {
    ParsedInteger result;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        result.Negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (!text.empty() && text.front() == '$') {
        result.Hexadecimal = true;
        text.remove_prefix(1);
    } else if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        result.Hexadecimal = true;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), result.Magnitude, result.Hexadecimal ? 16 : 10);
    if (ec != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return result;
}

std::string CreateGuidString() {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    std::uint64_t hi = rng(), lo = rng();
    hi = (hi & ~0xF000ull) | 0x4000ull;                            // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;     // RFC 4122 variant
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", written digit by digit: every
    // parameter list gets one, so it is made often.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "{00000000-0000-0000-0000-000000000000}";
    std::size_t at = 1;
    const auto put = [&](std::uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            text[at++] = kDigits[(value >> shift) & 0xF];
        ++at; // the "-" or "}" after the group
    };
    put(hi >> 32, 8);
    put((hi >> 16) & 0xFFFF, 4);
    put(hi & 0xFFFF, 4);
    put(lo >> 48, 4);
    put(lo & 0xFFFFFFFFFFFFull, 12);
    return text;
}

} // namespace platform
