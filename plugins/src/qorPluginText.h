// Small text helpers shared by the module's sources (names are compared
// with qor::SameText of common/qorStrUtils.h).
#pragma once

#include "common/Variant.h"
#include "common/qorStrUtils.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace qor::detail {

using qor::SameText;

inline bool StartsWithText(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

// The fields of text between separators (one field for text without one).
inline std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t at = text.find(separator);
        fields.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return fields;
        text.remove_prefix(at + 1);
    }
}

// The non-empty lines of text; lines end in CR LF, CR or LF.
inline std::vector<std::string_view> NonEmptyLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        if (end != 0)
            lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + (text.substr(end, 2) == "\r\n" ? 2 : 1));
    }
    return lines;
}

// text as a 32-bit integer (decimal or hexadecimal), or fallback.
inline std::int32_t IntegerOr(std::string_view text, std::int32_t fallback) {
    try {
        return Variant(text).AsInteger();
    } catch (const EVariantError&) {
        return fallback;
    }
}

} // namespace qor::detail
