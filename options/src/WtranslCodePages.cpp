#include "options/WtranslCodePages.h"

#include "platform/Text.h"

#include <array>

namespace qor {

namespace {

struct CharsetEntry {
    std::string_view Name;
    std::uint32_t Charset;
    std::uint32_t CodePage;
};

constexpr std::array<CharsetEntry, 15> kCharsets{{
    {"windows-1250", 238, 1250},
    {"windows-1251", 204, 1251},
    {"windows-1252", 0, 1252},
    {"windows-1253", 161, 1253},
    {"windows-1254", 162, 1254},
    {"windows-1255", 177, 1255},
    {"windows-1256", 178, 1256},
    {"windows-1257", 186, 1257},
    {"windows-1258", 163, 1258},
    {"windows-874", 222, 874},
    {"shift-jis", 128, 932},
    {"hangeul", 129, 949},
    {"johab", 130, 1361},
    {"gb2312", 134, 936},
    {"chinesebig5", 136, 950},
}};

} // namespace

bool CharsetFromName(std::string_view name, std::uint32_t& charset, std::uint32_t& codePage) {
    for (const auto& e : kCharsets) {
        if (e.Name == name) {
            charset = e.Charset;
            codePage = e.CodePage;
            return true;
        }
    }
    return false;
}

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t need;
        char32_t v;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            v = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            v = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            v = c & 0x07;
        } else {
            return false;
        }
        if (need >= s.size() - i)
            return false;
        for (std::size_t k = 1; k <= need; ++k) {
            const auto n = static_cast<unsigned char>(s[i + k]);
            if ((n & 0xC0) != 0x80)
                return false;
            v = (v << 6) | (n & 0x3F);
        }
        const char32_t minimum = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
        if (v < minimum || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
            return false;
        i += need + 1;
    }
    return true;
}

std::string DecodeCodePage(std::string_view bytes, std::uint32_t codePage) {
    if (codePage == kCodePageUtf8)
        return std::string(bytes);
    if (codePage == 0) {
        if (IsValidUtf8(bytes))
            return std::string(bytes);
        codePage = 1252;
    }
    bool ascii = true;
    for (char c : bytes)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        return std::string(bytes);

    // A code page the system does not know leaves the bytes as they are.
    return platform::CodePageToUtf8(bytes, codePage).value_or(std::string(bytes));
}

} // namespace qor
