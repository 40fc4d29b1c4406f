// How eiptool shows values: each tag as one JSON object, or as readable text
// (structures as nested members either way).
#pragma once

#include "common/Variant.h"
#include "logix/Logix_Processor.h"
#include "logix/Logix_Read.h"
#include "logix/Logix_Struct.h"

#include <string>
#include <string_view>

namespace eiptool {

std::string JsonString(std::string_view text);
std::string JsonOfVariant(const qor::Variant& value);

// The type's name as a user knows it: "DINT", a structure's template name.
std::string TypeNameOf(const logix::TLogixTag& tag);
// The decoded values as a JSON array (a structure element is an object of
// its visible members).
std::string JsonValues(const logix::TLogixTag& tag);

// An attribute read without a type code holds the reply's bytes as they came
// (a one-string tag); they are shown as bytes, type "raw", not as text.
bool IsRawAttribute(const logix::TLogixReadOutcome& outcome, std::uint16_t typeCode);

// {"name": ..., "type": ..., "values": [...]} or {"name": ..., "error": ..., "text": ...}
std::string JsonLine(const logix::TLogixReadOutcome& outcome, bool raw = false);
// "Name (TYPE) = values" over as many lines as the structure needs.
std::string TextLines(const logix::TLogixReadOutcome& outcome, bool raw = false);

} // namespace eiptool
