// How eiptool shows a read: each address's values under the names the data
// packets give them, as one JSON object or as readable text.
#pragma once

#include "common/Variant.h"
#include "logix/Logix_Read.h"
#include "logix/Logix_Values.h"

#include <string>
#include <string_view>

namespace eiptool {

// A JSON string of text: control characters escaped, bytes that are not
// UTF-8 taken as Latin-1 characters, so the line is always valid UTF-8.
std::string JsonString(std::string_view text);
std::string JsonOfVariant(const qor::Variant& value);

// The type's name as a user knows it: "DINT", a structure's template name.
std::string TypeNameOf(const logix::TLogixTag& tag);

// An attribute read without a type code holds the reply's bytes as they came
// (a one-string tag); they are shown as bytes, type "raw", not as text.
bool IsRawAttribute(const logix::TLogixReadOutcome& outcome, std::uint16_t typeCode);

// {"name": ..., "type": ..., "values": {"<name>": value, ...}} (a raw
// attribute also with "bytes": [...]) or {"name": ..., "error": ..., "text": ...}
std::string JsonLine(const logix::TLogixReadOutcome& outcome, const logix::TLogixNaming& naming, bool raw = false);
// "Name (TYPE) = value", or the name and type followed by one line per value.
std::string TextLines(const logix::TLogixReadOutcome& outcome, const logix::TLogixNaming& naming,
                      bool raw = false);

} // namespace eiptool
