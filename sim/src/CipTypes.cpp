#include "sim/CipTypes.h"

#include <array>

namespace sim {
namespace {

struct TypeRow {
    CipType Type;
    std::string_view Name;
    std::size_t Size;
};

constexpr std::array<TypeRow, 18> Types = {{
    {CipType::Bool, "BOOL", 1},
    {CipType::Sint, "SINT", 1},
    {CipType::Int, "INT", 2},
    {CipType::Dint, "DINT", 4},
    {CipType::Lint, "LINT", 8},
    {CipType::Usint, "USINT", 1},
    {CipType::Uint, "UINT", 2},
    {CipType::Udint, "UDINT", 4},
    {CipType::Ulint, "ULINT", 8},
    {CipType::Real, "REAL", 4},
    {CipType::Lreal, "LREAL", 8},
    {CipType::Byte, "BYTE", 1},
    {CipType::Word, "WORD", 2},
    {CipType::Dword, "DWORD", 4},
    {CipType::Lword, "LWORD", 8},
    {CipType::Date, "DATE", 2},
    {CipType::DateAndTime, "DATE_AND_TIME", 6},
    {CipType::Time, "TIME", 4},
}};

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::size_t AtomicSize(std::uint16_t typeCode) {
    for (const TypeRow& row : Types) {
        if (static_cast<std::uint16_t>(row.Type) == typeCode) {
            return row.Size;
        }
    }
    return 0;
}

std::optional<CipType> CipTypeFromName(std::string_view name) {
    for (const TypeRow& row : Types) {
        if (SameName(name, row.Name)) {
            return row.Type;
        }
    }
    return std::nullopt;
}

std::string_view CipTypeName(std::uint16_t typeCode) {
    for (const TypeRow& row : Types) {
        if (static_cast<std::uint16_t>(row.Type) == typeCode) {
            return row.Name;
        }
    }
    return typeCode == StructureTypeWord ? "STRUCT" : "?";
}

} // namespace sim
