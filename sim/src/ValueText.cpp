#include "sim/ValueText.h"

#include "sim/CipTypes.h"
#include "sim/TagDatabase.h"

#include <charconv>
#include <limits>

namespace sim {
namespace {


std::optional<unsigned> Digits(std::string_view s) {
    unsigned v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

} // namespace

std::optional<std::uint32_t> ParseDateText(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    std::optional<unsigned> y = Digits(text.substr(0, 4));
    std::optional<unsigned> m = Digits(text.substr(5, 2));
    std::optional<unsigned> d = Digits(text.substr(8, 2));
    if (!y || !m || !d || *m < 1 || *m > 12 || *d < 1 || *d > 31) {
        return std::nullopt;
    }
    const std::int64_t days = DaysFromCivil(*y, *m, *d) - DaysFromCivil(1972, 1, 1);
    if (days < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(days);
}

std::optional<std::int64_t> ParseTimeText(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.size() < 8 || text[2] != ':' || text[5] != ':') {
        return std::nullopt;
    }
    std::optional<unsigned> h = Digits(text.substr(0, 2));
    std::optional<unsigned> m = Digits(text.substr(3, 2));
    std::optional<unsigned> s = Digits(text.substr(6, 2));
    unsigned ms = 0;
    if (text.size() > 8) {
        if (text[8] != '.' || text.size() != 12) {
            return std::nullopt;
        }
        std::optional<unsigned> f = Digits(text.substr(9, 3));
        if (!f) {
            return std::nullopt;
        }
        ms = *f;
    }
    if (!h || !m || !s || *m > 59 || *s > 59) {
        return std::nullopt;
    }
    const std::int64_t total = ((std::int64_t{*h} * 60 + *m) * 60 + *s) * 1000 + ms;
    return negative ? -total : total;
}

bool EncodeValueText(std::uint16_t typeCode, std::string_view text, Bytes& out) {
    const auto type = static_cast<CipType>(typeCode);
    const std::size_t size = AtomicSize(typeCode);
    if (size == 0) {
        return false;
    }
    switch (type) {
    case CipType::Real:
    case CipType::Lreal: {
        std::optional<double> v = ParseDoubleText(text);
        if (!v) {
            return false;
        }
        PutTyped(out, type, *v);
        return true;
    }
    case CipType::Date:
        if (std::optional<std::uint32_t> days = ParseDateText(text)) {
            if (*days > 0xFFFF) {
                return false;
            }
            PutU16(out, static_cast<std::uint16_t>(*days));
            return true;
        }
        break;
    case CipType::Time:
        if (std::optional<std::int64_t> ms = ParseTimeText(text)) {
            if (*ms < std::numeric_limits<std::int32_t>::min() ||
                *ms > std::numeric_limits<std::int32_t>::max()) {
                return false;
            }
            PutU32(out, static_cast<std::uint32_t>(*ms));
            return true;
        }
        break;
    case CipType::DateAndTime: {
        const auto t = text.find('T');
        if (t == std::string_view::npos) {
            break;
        }
        std::optional<std::uint32_t> days = ParseDateText(text.substr(0, t));
        std::optional<std::int64_t> ms = ParseTimeText(text.substr(t + 1));
        if (!days || !ms || *days > 0xFFFF || *ms < 0 || *ms >= 86'400'000) {
            return false;
        }
        PutU32(out, static_cast<std::uint32_t>(*ms));
        PutU16(out, static_cast<std::uint16_t>(*days));
        return true;
    }
    default:
        break;
    }
    std::optional<IntegerText> v = ParseIntegerText(text);
    if (!v && type == CipType::Bool) {
        if (text == "true" || text == "TRUE") {
            v = IntegerText{1, false};
        } else if (text == "false" || text == "FALSE") {
            v = IntegerText{0, false};
        }
    }
    if (!v || !FitsWidth(*v, size) || (type == CipType::Bool && v->Bits > 1)) {
        return false;
    }
    PutTypedInteger(out, type, static_cast<std::int64_t>(v->Bits));
    return true;
}

std::optional<IntegerText> ParseIntegerText(std::string_view s) {
    IntegerText v;
    if (!s.empty() && s[0] == '-') {
        v.Negative = true;
        s.remove_prefix(1);
    } else if (!s.empty() && s[0] == '+') {
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    if (v.Negative) {
        if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) {
            return std::nullopt;
        }
        v.Bits = ~magnitude + 1;
    } else {
        v.Bits = magnitude;
    }
    return v;
}

std::optional<double> ParseDoubleText(std::string_view s) {
    if (!s.empty() && s[0] == '+') {
        s.remove_prefix(1);
    }
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

bool FitsWidth(const IntegerText& v, std::size_t bytes) {
    if (bytes >= 8) {
        return true;
    }
    const unsigned bits = static_cast<unsigned>(bytes * 8);
    if (v.Negative) {
        return static_cast<std::int64_t>(v.Bits) >= -(std::int64_t{1} << (bits - 1));
    }
    return v.Bits < (std::uint64_t{1} << bits);
}

} // namespace sim
