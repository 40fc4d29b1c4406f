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
// NaN and the infinities have no JSON number and no SQLite REAL (SQLite
// stores NaN as NULL): every output writes them as the texts "NaN",
// "Infinity" and "-Infinity".
const char* NonFiniteText(double value);
nlohmann::ordered_json JsonValue(const qor::Variant& value);
// The value as one text field: numbers round-trip exactly, booleans as
// true/false, dates as IsoDate, arrays as JSON, Empty and Null as "".
std::string ValueText(const qor::Variant& value);
// The packet's time stamp ("DATE_TIME_STAMP") is taken by the plug-in in this
// machine's local time: the outputs write it with its UTC offset,
// "2026-03-01T13:00:00.250+01:00", found from the receive time.
bool IsLocalStamp(const TOutputValue& value);
std::string LocalStampText(double days, std::chrono::system_clock::time_point received);
// ValueText, with the time stamp item as LocalStampText.
std::string ValueText(const TOutputValue& value, std::chrono::system_clock::time_point received);

std::unique_ptr<IOutput> MakeJsonlOutput(std::string target, std::string path, TLog log);
std::unique_ptr<IOutput> MakeCsvOutput(std::string target, std::string path, TLog log);
// Once per process, before the first database opens.
void PrepareSqlite();
std::unique_ptr<IOutput> MakeSqliteOutput(std::string target, std::string path, TLog log);
std::unique_ptr<IOutput> MakeMqttOutput(std::string target, std::string host, int port, std::string prefix,
                                        bool tls, const TMqttOptions& options, TLog log);

} // namespace host::outputs
