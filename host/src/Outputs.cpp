#include "host/Outputs.h"

#include "OutputKinds.h"
#include "platform/Clock.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>

namespace host {
namespace outputs {

std::int64_t UnixMilliseconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    const std::int64_t ms = UnixMilliseconds(time);
    const std::int64_t msOfSecond = ((ms % 1000) + 1000) % 1000;
    const std::time_t seconds = static_cast<std::time_t>((ms - msOfSecond) / 1000);
    std::tm parts{};
    platform::UtcTime(seconds, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(msOfSecond));
    return text;
}

std::string IsoDate(double days) {
    // Beyond year 9999 the decoded parts no longer fit the four-digit form.
    if (!std::isfinite(days) || days < -657434.0 || days > 2958466.0)
        return {};
    const qor::TDateTimeParts p = qor::DecodeDateTime(days);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour,
                  p.Minute, p.Second, p.Millisecond);
    return text;
}

namespace {

// This machine's offset from UTC at the instant t, in seconds: the local
// broken-down time read as if it were UTC, less t.
std::int64_t LocalOffsetSeconds(std::int64_t t) {
    using namespace std::chrono;
    std::tm local{};
    if (!platform::LocalTime(t, &local))
        return 0;
    const sys_days day =
        year_month_day{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                       std::chrono::day{static_cast<unsigned>(local.tm_mday)}};
    const std::int64_t asUtc = day.time_since_epoch().count() * 86400LL + local.tm_hour * 3600LL +
                               local.tm_min * 60LL + local.tm_sec;
    return asUtc - t;
}

} // namespace

const char* NonFiniteText(double value) {
    if (std::isnan(value))
        return "NaN";
    return value > 0 ? "Infinity" : "-Infinity";
}

bool IsLocalStamp(const TOutputValue& value) {
    return value.Name == "DATE_TIME_STAMP" && value.Value.Type() == qor::VarType::Date &&
           !value.Value.IsArray();
}

std::string LocalStampText(double days, std::chrono::system_clock::time_point received) {
    std::string text = IsoDate(days);
    if (text.empty())
        return text;
    // The stamp is local wall-clock time; which offset it was taken with is
    // the one that, applied to it, lands nearest the receive time (around a
    // change to or from summer time two offsets are candidates).
    const std::int64_t wall = qor::DateTimeToUnixMilliseconds(days) / 1000;
    const std::int64_t near = UnixMilliseconds(received) / 1000;
    std::int64_t offset = LocalOffsetSeconds(near);
    std::int64_t best = -1;
    for (const std::int64_t probe : {near, near - 3 * 3600, near + 3 * 3600}) {
        const std::int64_t candidate = LocalOffsetSeconds(probe);
        if (LocalOffsetSeconds(wall - candidate) != candidate)
            continue;
        const std::int64_t distance = std::llabs(wall - candidate - near);
        if (best < 0 || distance < best) {
            best = distance;
            offset = candidate;
        }
    }
    const std::int64_t magnitude = std::llabs(offset) / 60;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', static_cast<int>(magnitude / 60),
                  static_cast<int>(magnitude % 60));
    return text + zone;
}

double SingleAsDouble(double widened) {
    const float single = static_cast<float>(widened);
    if (!std::isfinite(single))
        return widened;
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, single).ptr;
    double result = widened;
    std::from_chars(text, end, result);
    return result;
}

nlohmann::ordered_json JsonValue(const qor::Variant& value) {
    using qor::VarType;
    if (value.IsArray()) {
        auto array = nlohmann::ordered_json::array();
        for (const qor::Variant& element : value.AsArray())
            array.push_back(JsonValue(element));
        return array;
    }
    try {
        switch (value.Type()) {
        case VarType::Empty:
        case VarType::Null:
            return nullptr;
        case VarType::Boolean:
            return value.AsBoolean();
        case VarType::UInt64:
            return value.AsUInt64();
        case VarType::Single:
        case VarType::Double:
        case VarType::Currency: {
            double d = value.AsDouble();
            // JSON has no number for these: the same text in every output.
            if (!std::isfinite(d))
                return NonFiniteText(d);
            return value.Type() == VarType::Single ? SingleAsDouble(d) : d;
        }
        case VarType::Date: {
            std::string text = IsoDate(value.AsDateTime());
            return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(std::move(text));
        }
        default:
            if (qor::IsIntegerType(value.Type()))
                return value.AsInt64();
            return value.AsString();
        }
    } catch (const qor::EVariantError&) {
        return nullptr;
    }
}

std::string ValueText(const qor::Variant& value) {
    using qor::VarType;
    if (value.IsArray())
        return JsonValue(value).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (value.IsString())
        return value.AsString();
    switch (value.Type()) {
    case VarType::Empty:
    case VarType::Null:
        return {};
    case VarType::Date:
        return IsoDate(value.AsDateTime());
    default:
        break;
    }
    const auto json = JsonValue(value);
    if (json.is_null())
        return {};
    if (json.is_string())
        return json.get<std::string>();
    return json.dump();
}

std::string ValueText(const TOutputValue& value, std::chrono::system_clock::time_point received) {
    if (IsLocalStamp(value))
        return LocalStampText(value.Value.AsDateTime(), received);
    return ValueText(value.Value);
}

} // namespace outputs

std::string ValueTextOf(const TOutputValue& value, std::chrono::system_clock::time_point received) {
    return outputs::ValueText(value, received);
}

std::string PacketJson(const TOutputPacket& packet) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const TOutputValue& value : packet.Values)
        object[value.Name] = outputs::IsLocalStamp(value)
                                 ? nlohmann::ordered_json(outputs::ValueText(value, packet.Time))
                                 : outputs::JsonValue(value.Value);
    // Texts from a device are not always valid UTF-8: bad bytes become U+FFFD
    // rather than failing the whole packet.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

namespace {

class TNullOutput : public IOutput {
public:
    explicit TNullOutput(std::string target) : target_(std::move(target)) {}
    const std::string& Target() const override { return target_; }
    bool Write(const TOutputPacket&) override {
        ++tally_.Given;
        ++tally_.Written; // discarding is what it is for
        return true;
    }
    bool Flush(std::chrono::milliseconds) override { return true; }
    TOutputTally Tally() const override { return tally_; }

private:
    std::string target_;
    TOutputTally tally_;
};

std::string ResolvePath(std::string_view target, std::string_view path, const std::string& baseDir) {
    if (path.empty())
        throw std::invalid_argument("output \"" + std::string(target) + "\": the path is missing");
    if (path == "-")
        return {};
    std::filesystem::path p{std::string(path)};
    if (p.is_relative() && !baseDir.empty())
        p = std::filesystem::path(baseDir) / p;
    return p.lexically_normal().string();
}

// "mqtt://HOST[:PORT]/PREFIX" or "mqtts://..."; an IPv6 address goes in brackets.
std::unique_ptr<IOutput> ParseMqtt(std::string_view target, const TMqttOptions& options, outputs::TLog log) {
    const bool tls = target.starts_with("mqtts://");
    const std::string scheme = tls ? "mqtts://" : "mqtt://";
    std::string_view rest = target.substr(scheme.size());
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    // A user name and password in the text would end up in every log line
    // that names the output: they are refused, and not repeated.
    if (const auto at = authority.rfind('@'); at != std::string_view::npos)
        throw std::invalid_argument("output \"" + scheme + "...@" + std::string(rest.substr(at + 1)) +
                                    "\": a user or password does not go in the output's text (use \"mqtt "
                                    "user\" and \"mqtt password file\")");
    const std::string text(target);
    auto fail = [&](const std::string& why) -> std::invalid_argument {
        return std::invalid_argument("output \"" + text + "\": " + why + " (expected " + scheme +
                                     "HOST[:PORT]/PREFIX)");
    };
    if (slash == std::string_view::npos)
        throw fail("the topic prefix is missing");
    std::string prefix(rest.substr(slash + 1));
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (prefix.empty())
        throw fail("the topic prefix is missing");
    if (prefix.find_first_of("+#") != std::string::npos)
        throw fail("the topic prefix may not hold + or #");
    std::string hostName;
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            throw fail("unclosed [ in the host");
        hostName = std::string(authority.substr(1, close - 1));
        authority.remove_prefix(close + 1);
        if (!authority.empty() && authority.front() != ':')
            throw fail("text after the host");
        if (!authority.empty())
            portText = authority.substr(1);
    } else {
        const auto colon = authority.find(':');
        hostName = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos)
            portText = authority.substr(colon + 1);
    }
    if (hostName.empty())
        throw fail("the host is missing");
    int port = tls ? 8883 : 1883;
    if (!portText.empty() || authority.find(':') != std::string_view::npos) {
        const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (ec != std::errc{} || end != portText.data() + portText.size() || port < 1 || port > 65535)
            throw fail("the port is not a number from 1 to 65535");
    }
    return outputs::MakeMqttOutput(text, std::move(hostName), port, std::move(prefix), tls, options,
                                   std::move(log));
}

} // namespace

void PrepareOutputLibraries() { outputs::PrepareSqlite(); }

std::unique_ptr<IOutput> MakeOutput(std::string_view target, const std::string& baseDir,
                                    std::function<void(const std::string&)> log, const TMqttOptions& mqtt) {
    if (!log)
        log = [](const std::string&) {};
    if (target == "null")
        return std::make_unique<TNullOutput>(std::string(target));
    if (target.starts_with("mqtt://") || target.starts_with("mqtts://"))
        return ParseMqtt(target, mqtt, std::move(log));
    const auto colon = target.find(':');
    const std::string_view kind = target.substr(0, colon);
    if (colon != std::string_view::npos) {
        const std::string_view path = target.substr(colon + 1);
        if (kind == "jsonl")
            return outputs::MakeJsonlOutput(std::string(target), ResolvePath(target, path, baseDir),
                                            std::move(log));
        if (kind == "csv")
            return outputs::MakeCsvOutput(std::string(target), ResolvePath(target, path, baseDir),
                                          std::move(log));
        if (kind == "sqlite") {
            std::string resolved = ResolvePath(target, path, baseDir);
            if (resolved.empty())
                throw std::invalid_argument("output \"" + std::string(target) +
                                            "\": SQLite needs a file, not -");
            return outputs::MakeSqliteOutput(std::string(target), std::move(resolved), std::move(log));
        }
    }
    throw std::invalid_argument("output \"" + std::string(target) +
                                "\": unknown kind (expected jsonl:PATH, csv:PATH, sqlite:PATH, "
                                "mqtt://HOST[:PORT]/PREFIX, mqtts://HOST[:PORT]/PREFIX or null)");
}

} // namespace host
