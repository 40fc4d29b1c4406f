// What the outputs share inside the host: the value texts every format uses
// and the constructors MakeOutput picks from.
#pragma once

#include "host/Outputs.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace host::outputs {

using TLog = std::function<void(const std::string&)>;

// "2026-03-01T12:00:00.250Z": a receive time, always UTC with milliseconds.
std::string IsoUtc(std::chrono::system_clock::time_point time);
std::int64_t UnixMilliseconds(std::chrono::system_clock::time_point time);
// A date-time value as the plug-in stamps it (local time, no zone known):
// "2026-03-01T12:00:00.250"; empty when the value is not a finite date.
std::string IsoDate(double days);
// A Single is widened to double exactly; its shortest float text read back as
// double gives the number people expect (0.1f as 0.1, not 0.100000001490116).
double SingleAsDouble(double widened);
nlohmann::ordered_json JsonValue(const qor::Variant& value);
// The value as one text field: numbers round-trip exactly, booleans as
// true/false, dates as IsoDate, arrays as JSON, Empty and Null as "".
std::string ValueText(const qor::Variant& value);

std::unique_ptr<IOutput> MakeJsonlOutput(std::string target, std::string path, TLog log);
std::unique_ptr<IOutput> MakeCsvOutput(std::string target, std::string path, TLog log);
std::unique_ptr<IOutput> MakeSqliteOutput(std::string target, std::string path, TLog log);
std::unique_ptr<IOutput> MakeMqttOutput(std::string target, std::string host, int port, std::string prefix,
                                        TLog log);

} // namespace host::outputs
