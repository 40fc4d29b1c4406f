#include "logix/Logix_Types.h"

#include <algorithm>
#include <array>

namespace logix {

using namespace eip;

namespace {

struct TTypeRow {
    std::uint16_t Code;
    const char* Name;
    std::uint8_t Size;
    TLogixType Kind;
};

constexpr std::array<TTypeRow, 25> TypeTable{{
    {cipType::BOOL, "BOOL", 1, TLogixType::BOOL},
    {cipType::SINT, "SINT", 1, TLogixType::SINT},
    {cipType::INT, "INT", 2, TLogixType::INT},
    {cipType::DINT, "DINT", 4, TLogixType::DINT},
    {cipType::LINT, "LINT", 8, TLogixType::LINT},
    {cipType::USINT, "USINT", 1, TLogixType::USINT},
    {cipType::UINT, "UINT", 2, TLogixType::UINT},
    {cipType::UDINT, "UDINT", 4, TLogixType::UDINT},
    {cipType::ULINT, "ULINT", 8, TLogixType::ULINT},
    {cipType::REAL, "REAL", 4, TLogixType::REAL},
    {cipType::LREAL, "LREAL", 8, TLogixType::LREAL},
    {cipType::STIME, "STIME", 0, TLogixType::None},
    {cipType::DATE, "DATE", 2, TLogixType::DATE},
    {cipType::TIME_OF_DAY, "TIME_OF_DAY", 4, TLogixType::None},
    {cipType::DATE_AND_TIME, "DATE_AND_TIME", 6, TLogixType::DATETIME},
    {cipType::STRING, "STRING", 0, TLogixType::SSTRING},
    {cipType::BYTE, "BYTE", 1, TLogixType::BOOL},
    {cipType::WORD, "WORD", 2, TLogixType::BOOL},
    {cipType::DWORD, "DWORD", 4, TLogixType::BOOL},
    {cipType::LWORD, "LWORD", 8, TLogixType::BOOL},
    {cipType::FTIME, "FTIME", 4, TLogixType::None},
    {cipType::LTIME, "LTIME", 8, TLogixType::None},
    {cipType::ITIME, "ITIME", 2, TLogixType::None},
    {cipType::SHORT_STRING, "SHORT_STRING", 0, TLogixType::SSTRING},
    {cipType::TIME, "TIME", 4, TLogixType::TIME},
}};

const TTypeRow* Row(std::uint16_t code) {
    for (const auto& row : TypeTable)
        if (row.Code == code)
            return &row;
    return nullptr;
}

} // namespace

std::size_t TypeSize(std::uint16_t typeCode) {
    const TTypeRow* row = Row(typeCode);
    return row ? row->Size : 0;
}

TLogixType MemberKindOf(std::uint16_t typeCode) {
    const TTypeRow* row = Row(typeCode);
    return row ? row->Kind : TLogixType::None;
}

std::string TypeName(std::uint16_t typeCode) {
    const TTypeRow* row = Row(typeCode);
    return row ? row->Name : "";
}

Variant ConvertValue(std::span<const std::uint8_t> bytes, std::size_t offset, std::uint16_t typeCode) {
    switch (typeCode) {
    case cipType::SINT:
        return Variant(ToSByte(bytes, offset));
    case cipType::INT:
    case cipType::ITIME:
        return Variant(ToInt16(bytes, offset));
    case cipType::DINT:
    case cipType::FTIME:
    case cipType::TIME:
        return Variant(ToInt32(bytes, offset));
    case cipType::LINT:
    case cipType::LTIME:
        return Variant(static_cast<long long>(ToInt64(bytes, offset)));
    case cipType::ULINT:
    case cipType::LWORD:
        // Unsigned: 0xFFFF...FFFF is 18446744073709551615, not -1.
        return Variant(static_cast<unsigned long long>(ToUInt64(bytes, offset)));
    case cipType::USINT:
    case cipType::BYTE:
        return Variant(ToByte(bytes, offset));
    case cipType::UINT:
    case cipType::DATE:
    case cipType::WORD:
        return Variant(ToUInt16(bytes, offset));
    case cipType::UDINT:
    case cipType::TIME_OF_DAY:
    case cipType::DWORD:
        return Variant(ToUInt32(bytes, offset));
    case cipType::REAL:
        return Variant(ToSingle(bytes, offset));
    case cipType::LREAL:
        return Variant(ToDouble(bytes, offset));
    default:
        return Variant();
    }
}

Variant ConvertArray(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t byteLength,
                     std::uint16_t typeCode) {
    if (offset > bytes.size() || byteLength > bytes.size() - offset)
        throw EListError(static_cast<std::int64_t>(offset) + static_cast<std::int64_t>(byteLength));
    std::vector<Variant> values;
    const std::size_t size = TypeSize(typeCode);
    if (size != 0) {
        values.reserve(byteLength / size);
        // Only whole elements: a trailing partial one is not a value.
        for (std::size_t at = offset; at + size <= offset + byteLength; at += size)
            values.push_back(ConvertValue(bytes, at, typeCode));
    }
    return Variant::MakeArray(std::move(values));
}

Variant ConvertDate(std::span<const std::uint8_t> bytes, std::size_t offset, std::uint16_t typeCode) {
    constexpr double MillisecondsPerDay = 86'400'000.0;
    if (typeCode == cipType::DATE)
        return Variant::FromDateTime(DateEpoch1972 + ToUInt16(bytes, offset));
    if (typeCode == cipType::DATE_AND_TIME)
        return Variant::FromDateTime(DateEpoch1972 + ToUInt16(bytes, offset + 4) +
                                     ToUInt32(bytes, offset) / MillisecondsPerDay);
    return Variant();
}

Variant ExpandBits(const Variant& integers, unsigned bitsPerElement) {
    std::vector<Variant> bits;
    if (!integers.IsArray())
        return Variant::MakeArray({}, qor::VarType::Boolean);
    const auto& elements = integers.AsArray();
    bitsPerElement = std::min(bitsPerElement, 64u);
    bits.reserve(elements.size() * bitsPerElement);
    for (const Variant& element : elements) {
        const std::uint64_t value = element.Type() == qor::VarType::UInt64
                                        ? element.AsUInt64()
                                        : static_cast<std::uint64_t>(element.AsInt64());
        for (unsigned k = 0; k < bitsPerElement; ++k)
            bits.emplace_back(((value >> k) & 1u) != 0);
    }
    return Variant::MakeArray(std::move(bits), qor::VarType::Boolean);
}

TPacketDataArray CopyBytes(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t length) {
    if (length == 0)
        return {};
    return ToBytes(bytes, offset, length);
}

} // namespace logix
