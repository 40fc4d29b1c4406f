// Parser item definitions: the named values a data source delivers, as the
// host learns them through ITEMS.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

// Index into kParserItemTypeNames; NoType prints as an empty type field.
enum class TParserItemType : std::uint8_t {
    String = 0,
    Memo = 1,
    Bytes = 2,
    Blob = 3,
    Boolean = 4,
    Float = 5,
    Smallint = 6,
    Word = 7,
    Integer = 8,
    Date = 9,
    Time = 10,
    DateTime = 11,
    DWord = 12,
    Byte = 13,
    Shortint = 14,
    Int64 = 15,
    Currency = 16,
    NoType = 17,
};

inline constexpr std::array<std::string_view, 17> kParserItemTypeNames = {
    "String", "Memo", "Bytes", "Blob",     "Boolean", "Float",    "Smallint", "Word",    "Integer",
    "Date",   "Time", "DateTime", "DWord", "Byte",    "Shortint", "Int64",    "Currency"};

struct TParserItem {
    std::string Name; // item name used in packets
    std::string Desc; // description shown by the host
    TParserItemType Type = TParserItemType::NoType;
    std::string Extra; // free text, passed through
};

// The items every data source delivers, in this order; the first six are
// always declared, CLIENTID only for a client-aware module.
struct TStandardParserItem {
    std::string_view Name;
    std::string_view Desc;
    TParserItemType Type;
};
inline constexpr std::array<TStandardParserItem, 7> kStandardParserItems = {{
    {"FULL_DATA_PACKET", "Full data packet", TParserItemType::String},
    {"DATA_PACKET", "Data packet", TParserItemType::String},
    {"DATE_TIME_STAMP", "Datetime stamp", TParserItemType::DateTime},
    {"DATA_SOURCE_ID", "Data source ID", TParserItemType::Integer},
    {"DATA_SOURCE_NAME", "Data source name", TParserItemType::String},
    {"DATA_SOURCE_FULL_NAME", "Data source long name", TParserItemType::String},
    {"CLIENTID", "Client ID", TParserItemType::Integer},
}};

// One line per definition, "Desc|Name|TypeName|Extra", joined by CR LF
// (none after the last).
std::string ParserItemsText(std::span<const TParserItem> items);

// The definitions in a parser item text. Lines end in CR LF, CR or LF; empty
// lines are skipped. Each line is "Desc|Name[|TypeName[|Extra]]": the type
// name is compared without regard to case (NoType when missing or unknown),
// fields after the fourth are ignored. A line with fewer than two fields ends
// the parse: the definitions before it are the result.
std::vector<TParserItem> ParseParserItemsText(std::string_view text);

} // namespace qor
