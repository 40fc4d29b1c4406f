#include "host/HostConfig.h"

#include "host/DeviceConnections.h"

#include "platform/FileAccess.h"
#include "platform/Paths.h"

// Only the char flavour: the file's bytes are the strings' bytes.
#define SI_NO_CONVERSION
// The distribution's header carries the template definitions behind this.
#define SI_IMPLEMENTATION
#include <SimpleIni.h>
#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <span>

namespace host {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

std::string XmlEscape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// SimpleIni keeps no line numbers and takes what it does not understand
// without a word (a line without "=", an unclosed "[", a section or key given
// twice): the text is read here the way it reads it (";" and "#" start
// comments), each section and key is given its line, and what SimpleIni
// would skip or merge is refused.
class TLineIndex {
public:
    TLineIndex(const std::string& file, const std::string& text) {
        std::string section;     // lower case, as the index keeps it
        std::string sectionName; // as written, for messages
        int number = 0;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            const std::string_view line = TrimBlanks(std::string_view(text).substr(start, end - start));
            ++number;
            start = end + 1;
            if (line.empty() || line.front() == ';' || line.front() == '#')
                continue;
            if (line.front() == '[') {
                const std::size_t close = line.find(']');
                if (close == std::string_view::npos)
                    throw EConfigError(file, number, "", "", "a section name without its closing \"]\"");
                const std::string_view name = TrimBlanks(line.substr(1, close - 1));
                if (name.empty())
                    throw EConfigError(file, number, "", "", "a section without a name");
                if (!TrimBlanks(line.substr(close + 1)).empty())
                    throw EConfigError(file, number, std::string(name), "",
                                       "text after the section name (comments take whole lines)");
                section = Lower(name);
                sectionName = name;
                if (const auto [at, added] = sections_.emplace(section, number); !added)
                    throw EConfigError(file, number, std::string(name), "",
                                       "a second section of this name (the first is on line " +
                                           std::to_string(at->second) +
                                           "; names compare without regard to case)");
                continue;
            }
            const std::size_t equals = line.find('=');
            const std::string_view key = TrimBlanks(line.substr(0, equals));
            if (equals == std::string_view::npos || key.empty())
                // The line itself is not repeated: it may hold a secret.
                throw EConfigError(file, number, sectionName, "",
                                   "expected KEY = VALUE, a [section] or a comment");
            const std::string lowered = Lower(key);
            const bool repeatable = section == "host" && (lowered == "outputs" || lowered == "output");
            if (const auto [at, added] = keys_.emplace(std::make_pair(section, lowered), number);
                !added && !repeatable)
                throw EConfigError(file, number, sectionName, std::string(key),
                                   "given twice (first on line " + std::to_string(at->second) + ")");
        }
    }
    int Section(std::string_view section) const {
        auto it = sections_.find(Lower(section));
        return it == sections_.end() ? 0 : it->second;
    }
    // The key's first line, else its section's.
    int Key(std::string_view section, std::string_view key) const {
        auto it = keys_.find({Lower(section), Lower(key)});
        return it == keys_.end() ? Section(section) : it->second;
    }

private:
    std::map<std::string, int> sections_;
    std::map<std::pair<std::string, std::string>, int> keys_;
};

std::optional<std::uint32_t> Unsigned(std::string_view text, std::uint32_t low, std::uint32_t high) {
    text = TrimBlanks(text);
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<bool> Flag(std::string_view text) {
    const std::string t = Lower(TrimBlanks(text));
    if (t == "1" || t == "true" || t == "yes" || t == "on")
        return true;
    if (t == "0" || t == "false" || t == "no" || t == "off")
        return false;
    return std::nullopt;
}

// Whitespace-separated words (addresses hold no blanks; ";" and "," belong
// to multi-tag and multi-dimension addresses).
std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ')
            ++i;
        const std::size_t start = i;
        while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ')
            ++i;
        if (i > start)
            words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

std::string Absolute(const std::string& folder, std::string_view path) {
    const std::filesystem::path p(path);
    return (p.is_absolute() ? p : std::filesystem::path(folder) / p).lexically_normal().string();
}

bool KnownOutput(std::string_view output) {
    for (const std::string_view prefix : {"jsonl:", "csv:", "sqlite:", "mqtt://", "mqtts://"})
        if (output.size() > prefix.size() && output.substr(0, prefix.size()) == prefix)
            return true;
    return output == "null";
}

// The first element named name (in any case) below node, as the plug-in
// finds a request's keys.
pugi::xml_node FindElement(pugi::xml_node node, std::string_view name) {
    return node.find_node(
        [&](pugi::xml_node n) { return n.type() == pugi::node_element && Lower(n.name()) == Lower(name); });
}

// The plug-in polls a request whose PollInterval is 0 without a pause and
// reads one that is no number as 1000 ms: both are refused here. Returns
// "LINE: what" for the first such request, else nothing.
std::string CheckPollIntervals(pugi::xml_node query, const std::string& text) {
    for (pugi::xml_node request = query.first_child(); request; request = request.next_sibling()) {
        if (request.type() != pugi::node_element)
            continue;
        const pugi::xml_node interval = FindElement(request, "PollInterval");
        const std::string_view given = TrimBlanks(interval.text().get());
        if (!interval || given.empty())
            continue;
        std::int64_t ms = 0;
        const auto [end, ec] = std::from_chars(given.data(), given.data() + given.size(), ms);
        if (ec == std::errc() && end == given.data() + given.size() && ms >= 1)
            continue;
        const std::size_t at = std::min<std::size_t>(
            static_cast<std::size_t>(std::max<std::ptrdiff_t>(interval.offset_debug(), 0)), text.size());
        const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
        std::string caption = request.attribute("caption").value();
        return std::to_string(line) + ": request \"" + caption + "\": PollInterval \"" + std::string(given) +
               "\" (expected a whole number of units from 1, as the dialog allows)";
    }
    return {};
}

constexpr const char* kHostKeys[] = {
    "plugin",       "outputs",        "output",        "log file",     "mqtt user", "mqtt password file",
    "mqtt ca file", "mqtt cert file", "mqtt key file", "mqtt insecure"};
constexpr const char* kSourceKeys[] = {"name",         "type",           "device",  "requests",
                                       "addresses",    "path",           "number",  "interval",
                                       "min interval", "export at once", "combine requests", "language"};

} // namespace

std::vector<std::string> RequestNames(const std::vector<TPollRequest>& requests) {
    std::vector<std::string> names;
    std::map<std::string, int> seen;
    for (const TPollRequest& r : requests) {
        const int n = ++seen[r.Address];
        names.push_back(n == 1 ? r.Address : r.Address + " #" + std::to_string(n));
    }
    return names;
}

std::string RequestListXml(const std::vector<TPollRequest>& requests) {
    const std::vector<std::string> names = RequestNames(requests);
    std::string xml = "<?xml version=\"1.0\"?>\n<RequestList>\n<MODBUSRTUQUERY>\n";
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const TPollRequest& r = requests[i];
        // No blanks between the elements: a checkbox's text decides its state.
        xml += "<Request caption=\"" + XmlEscape(names[i]) + "\"><Enabled>1</Enabled><Device>" +
               XmlEscape(r.Path) + "</Device><Address>" + XmlEscape(r.Address) + "</Address><Number>" +
               std::to_string(r.Number) +
               "</Number><DataType>T00</DataType><Timeout>3000</Timeout><RequestMethod><MethodOnce>0</"
               "MethodOnce>"
               "<MethodPoll check=\"2\"><PollInterval>" +
               std::to_string(r.IntervalMs) +
               "</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod><Name></Name>"
               "<Default>0</Default><Scale>1</Scale></Request>\n";
    }
    return xml + "</MODBUSRTUQUERY>\n</RequestList>\n";
}

namespace {

// Dotted IPv4: four numbers 0..255 (the shorter forms that the resolver
// also takes, "10.1" for 10.0.0.1, are a guess waiting to happen).
bool IsIpv4(std::string_view text) {
    int parts = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || part.size() > 3 || ec != std::errc() || end != part.data() + part.size() ||
            value > 255)
            return false;
        ++parts;
        if (dot == std::string_view::npos)
            break;
        text.remove_prefix(dot + 1);
    }
    return parts == 4;
}

// IPv6 text: up to eight groups of one to four hex digits, at most one "::",
// an IPv4 address in place of the last two groups.
bool IsIpv6(std::string_view text) {
    if (text.empty())
        return false;
    int groups = 0;
    bool compressed = false;
    std::size_t i = 0;
    if (text.starts_with("::")) {
        compressed = true;
        i = 2;
    } else if (text.front() == ':') {
        return false;
    }
    while (i < text.size()) {
        const std::size_t colon = text.find(':', i);
        const std::string_view group = text.substr(i, colon == std::string_view::npos ? colon : colon - i);
        if (group.find('.') != std::string_view::npos) {
            if (colon != std::string_view::npos || !IsIpv4(group))
                return false;
            groups += 2;
            break;
        }
        if (group.empty() || group.size() > 4 ||
            group.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
            return false;
        ++groups;
        if (colon == std::string_view::npos)
            break;
        i = colon + 1;
        if (i < text.size() && text[i] == ':') {
            if (compressed)
                return false;
            compressed = true;
            ++i;
        } else if (i == text.size()) {
            return false; // a single ":" at the end
        }
    }
    return compressed ? groups <= 7 : groups == 8;
}

// A host name: labels of letters, digits, "-" and "_" joined by dots.
bool IsHostName(std::string_view text) {
    if (text.empty() || text.size() > 253)
        return false;
    if (text.back() == '.')
        text.remove_suffix(1);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view label = text.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (const char c : label)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
                return false;
        start = dot + 1;
    }
    // All digits and dots is meant as an IPv4 address.
    return text.find_first_not_of("0123456789.") != std::string_view::npos || IsIpv4(text);
}

} // namespace

std::string CheckDevice(std::string_view device) {
    const std::string_view text = TrimBlanks(device);
    const char* expected = "expected HOST or HOST:PORT (port 1..65535)";
    std::string_view host = text;
    std::string_view port;
    bool hasPort = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return expected;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return expected;
            hasPort = true;
            port = rest.substr(1);
        }
        if (!IsIpv6(host))
            return std::string(expected) + "; \"" + std::string(host) + "\" is no IPv6 address";
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        // A bare IPv6 address takes no port (that needs the brackets).
        if (!IsIpv6(text))
            return std::string(expected) + "; an IPv6 address with a port goes in brackets, [ADDRESS]:PORT";
    } else {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string_view::npos) {
            hasPort = true;
            port = text.substr(colon + 1);
        }
        if (!IsHostName(host))
            return std::string(expected) + "; \"" + std::string(host) + "\" is no host name or IPv4 address";
    }
    if (hasPort && !Unsigned(port, 1, 65535))
        return expected;
    // The connection code reads the text the same way.
    return SplitDeviceAddress(text) ? "" : expected;
}

std::string CheckType(std::string_view type) {
    for (const std::string_view known : kDataSourceTypes)
        if (type == known)
            return {};
    std::string list;
    for (const std::string_view known : kDataSourceTypes)
        list += std::string(list.empty() ? "" : ", ") + "\"" + std::string(known) + "\"";
    return "unknown data source type \"" + std::string(type) + "\" (the plug-in has " + list + ")";
}

std::string CheckPath(std::string_view path) {
    return path.find_first_not_of("0123456789;,") == std::string_view::npos
               ? ""
               : "a device path holds only digits, \";\" and \",\"";
}

std::string OutputDestination(std::string_view output, const std::string& folder) {
    if (output == "null")
        return "null";
    for (const std::string_view scheme : {"mqtt://", "mqtts://"}) {
        if (!output.starts_with(scheme))
            continue;
        std::string_view rest = output.substr(scheme.size());
        const std::size_t slash = rest.find('/');
        std::string authority = Lower(rest.substr(0, slash));
        std::string prefix(slash == std::string_view::npos ? "" : rest.substr(slash + 1));
        while (!prefix.empty() && prefix.back() == '/')
            prefix.pop_back();
        const std::size_t close = authority.rfind(']');
        const std::size_t colon = authority.rfind(':');
        if (colon == std::string::npos || (close != std::string::npos && colon < close) ||
            (close == std::string::npos && authority.find(':') != colon))
            authority += scheme == "mqtts://" ? ":8883" : ":1883";
        return "mqtt:" + authority + "/" + prefix;
    }
    const std::size_t colon = output.find(':');
    const std::string_view path = colon == std::string_view::npos ? output : output.substr(colon + 1);
    if (path == "-")
        return "stdout";
    return "file:" + Absolute(folder, path);
}

EConfigError::EConfigError(const std::string& file, int line, const std::string& section,
                           const std::string& key, const std::string& what)
    : std::runtime_error(file + ":" + (line > 0 ? std::to_string(line) + ":" : "") +
                         (section.empty() ? "" : " [" + section + "]") +
                         (key.empty() ? "" : " " + key + ":") + " " + what),
      line_(line), key_(key) {}

std::vector<TOptionsValue> TSourceSettings::DialogValues() const {
    return {{"Parser config", RequestXml},
            {"Min interval", std::to_string(MinIntervalMs)},
            {"Export at once ", ExportAtOnce ? "1" : "0"},
            {"Combine requests", CombineRequests ? "1" : "0"}};
}

bool TSourceSettings::NeedsRestart(const TSourceSettings& other) const {
    return Name != other.Name || Type != other.Type || Device != other.Device || Language != other.Language;
}

namespace {

// A password or a private key is far smaller: a larger file is not one.
constexpr std::size_t kMaxSecretBytes = 64 * 1024;

// The [host] "mqtt ..." keys. get gives a key's value, fail throws.
void LoadMqttSettings(THostConfig& config, const TSecret& environmentPassword,
                      const std::function<std::string(const char*)>& get,
                      const std::function<void(const char*, const std::string&)>& fail) {
    TMqttSettings& mqtt = config.Mqtt;
    mqtt.User = get("mqtt user");
    if (const std::string path = get("mqtt password file"); !path.empty()) {
        mqtt.PasswordFile = Absolute(config.Folder, path);
        if (mqtt.User.empty())
            fail("mqtt password file", "a password without \"mqtt user\"");
        std::string text, why;
        const TWipeOnExit wipe(text);
        if (!platform::ReadPrivateFile(platform::PathFromUtf8(mqtt.PasswordFile), kMaxSecretBytes, text, why))
            fail("mqtt password file", why);
        // The file's line end is not part of the password.
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        mqtt.Password = TSecret(text);
        if (mqtt.Password.Empty())
            fail("mqtt password file", mqtt.PasswordFile + " is empty");
    } else if (!mqtt.User.empty()) {
        mqtt.Password = environmentPassword;
    }
    const bool tls = std::any_of(config.Outputs.begin(), config.Outputs.end(),
                                 [](const std::string& o) { return o.starts_with("mqtts://"); });
    for (const auto& [key, path] :
         {std::pair{"mqtt ca file", &mqtt.CaFile}, std::pair{"mqtt cert file", &mqtt.CertFile},
          std::pair{"mqtt key file", &mqtt.KeyFile}}) {
        const std::string given = get(key);
        if (given.empty())
            continue;
        if (!tls)
            fail(key, "for mqtts:// outputs, and there is none (mqtt:// is not encrypted)");
        *path = Absolute(config.Folder, given);
        if (!std::ifstream(*path))
            fail(key, "cannot read " + *path);
    }
    if (mqtt.CertFile.empty() != mqtt.KeyFile.empty())
        fail(mqtt.CertFile.empty() ? "mqtt key file" : "mqtt cert file",
             "a client certificate takes both \"mqtt cert file\" and \"mqtt key file\"");
    if (!mqtt.KeyFile.empty()) {
        std::string text, why;
        const TWipeOnExit wipe(text);
        if (!platform::ReadPrivateFile(platform::PathFromUtf8(mqtt.KeyFile), kMaxSecretBytes, text, why))
            fail("mqtt key file", why);
    }
    if (const std::string insecure = get("mqtt insecure"); !insecure.empty()) {
        const auto flag = Flag(insecure);
        if (!flag)
            fail("mqtt insecure", "expected 1 or 0");
        if (*flag && !tls)
            fail("mqtt insecure", "for mqtts:// outputs, and there is none");
        mqtt.Insecure = *flag;
    }
}

} // namespace

THostConfig LoadHostConfig(const std::string& file, const TSecret& environmentPassword) {
    THostConfig config;
    std::error_code ec;
    config.File = std::filesystem::absolute(file, ec).lexically_normal().string();
    config.Folder = std::filesystem::path(config.File).parent_path().string();
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw EConfigError(file, 0, "", "", "cannot read the file");
    const std::string text(std::istreambuf_iterator<char>(in), {});

    const TLineIndex lines(file, text);
    CSimpleIniA ini(false, true, false); // not UTF-8 checked, multiple keys, no multi-line values
    if (ini.LoadData(text) < 0)
        throw EConfigError(file, 0, "", "", "not INI text");
    const auto fail = [&](std::string_view section, std::string_view key, const std::string& what) {
        throw EConfigError(file, lines.Key(section, key), std::string(section), std::string(key), what);
    };
    const auto checkKeys = [&](const char* section, std::span<const char* const> allowed) {
        CSimpleIniA::TNamesDepend keys;
        ini.GetAllKeys(section, keys);
        for (const auto& k : keys) {
            // Said without the value, which the message must not repeat.
            if (Lower(k.pItem).find("password") != std::string::npos &&
                Lower(k.pItem) != "mqtt password file")
                fail(section, k.pItem,
                     "a password is not written in the configuration: give \"mqtt password file = PATH\" "
                     "(a file only its owner may read) or the environment variable QORHOST_MQTT_PASSWORD");
            if (std::none_of(allowed.begin(), allowed.end(),
                             [&](const char* a) { return Lower(k.pItem) == a; }))
                fail(section, k.pItem, "unknown key");
        }
    };
    const auto value = [&](const char* section, const char* key) -> std::string {
        return std::string(TrimBlanks(ini.GetValue(section, key, "")));
    };

    CSimpleIniA::TNamesDepend sections;
    ini.GetAllSections(sections);
    sections.sort(CSimpleIniA::Entry::LoadOrder());
    std::set<std::string> names;
    for (const auto& s : sections) {
        const char* section = s.pItem;
        if (*section == '\0') {
            CSimpleIniA::TNamesDepend keys;
            ini.GetAllKeys(section, keys);
            if (!keys.empty())
                fail("", keys.front().pItem, "a key before the first section");
            continue;
        }
        if (Lower(section) == "host") {
            checkKeys(section, kHostKeys);
            if (const std::string plugin = value(section, "plugin"); !plugin.empty()) {
                config.Plugin = Absolute(config.Folder, plugin);
                if (!std::filesystem::is_regular_file(config.Plugin))
                    fail(section, "plugin", "no such file: " + config.Plugin);
            }
            for (const char* key : {"outputs", "output"}) {
                CSimpleIniA::TNamesDepend values;
                ini.GetAllValues(section, key, values);
                values.sort(CSimpleIniA::Entry::LoadOrder());
                for (const auto& v : values) {
                    // Several outputs on one line are separated by commas.
                    std::string_view rest = v.pItem;
                    while (!rest.empty()) {
                        const std::size_t comma = rest.find(',');
                        const std::string_view output = TrimBlanks(rest.substr(0, comma));
                        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
                        if (output.empty())
                            continue;
                        // Not repeated in the message: it would show the password.
                        if (output.starts_with("mqtt") &&
                            output.substr(0, output.find('/', output.find("://") + 3)).find('@') !=
                                std::string_view::npos)
                            fail(section, key,
                                 "a user or password does not go in an output's text (\"mqtt user\", "
                                 "\"mqtt password file\")");
                        if (!KnownOutput(output))
                            fail(section, key,
                                 "unknown output \"" + std::string(output) +
                                     "\" (jsonl:PATH, csv:PATH, sqlite:PATH, mqtt://HOST[:PORT]/PREFIX, "
                                     "mqtts://HOST[:PORT]/PREFIX, null)");
                        const std::string destination = OutputDestination(output, config.Folder);
                        for (std::size_t i = 0; i < config.Outputs.size(); ++i)
                            if (OutputDestination(config.Outputs[i], config.Folder) == destination)
                                fail(section, key,
                                     "\"" + std::string(output) + "\" writes where \"" + config.Outputs[i] +
                                         "\" (line " + std::to_string(config.OutputLines[i]) +
                                         ") already does");
                        config.Outputs.emplace_back(output);
                        config.OutputLines.push_back(lines.Key(section, key));
                    }
                }
            }
            if (const std::string log = value(section, "log file"); !log.empty()) {
                config.LogFile = Absolute(config.Folder, log);
                config.LogFileLine = lines.Key(section, "log file");
                if (!std::filesystem::is_directory(std::filesystem::path(config.LogFile).parent_path()))
                    fail(section, "log file", "no folder for " + config.LogFile);
            }
            LoadMqttSettings(
                config, environmentPassword, [&](const char* key) { return value(section, key); },
                [&](const char* key, const std::string& what) { fail(section, key, what); });
            continue;
        }

        checkKeys(section, kSourceKeys);
        TSourceSettings source;
        source.Section = section;
        source.Name = value(section, "name");
        if (source.Name.empty())
            source.Name = section;
        if (source.Name.find_first_of(";\r\n") != std::string::npos)
            fail(section, "name", "a data source name holds no \";\" and no line break");
        if (!names.insert(Lower(source.Name)).second)
            fail(section, "name", "a second data source named \"" + source.Name + "\"");
        if (const std::string type = value(section, "type"); !type.empty())
            source.Type = type;
        if (const std::string wrong = CheckType(source.Type); !wrong.empty())
            fail(section, "type", wrong);
        source.Device = value(section, "device");
        if (source.Device.empty())
            fail(section, "device", "missing (HOST or HOST:PORT of the controller)");
        if (const std::string wrong = CheckDevice(source.Device); !wrong.empty())
            fail(section, "device", wrong);
        source.Language = value(section, "language");
        if (const std::string text = value(section, "min interval"); !text.empty()) {
            const auto ms = Unsigned(text, 0, 65535);
            if (!ms)
                fail(section, "min interval", "expected milliseconds 0..65535");
            source.MinIntervalMs = *ms;
        }
        if (const std::string text = value(section, "export at once"); !text.empty()) {
            const auto flag = Flag(text);
            if (!flag)
                fail(section, "export at once", "expected 1 or 0");
            source.ExportAtOnce = *flag;
        }
        if (const std::string text = value(section, "combine requests"); !text.empty()) {
            const auto flag = Flag(text);
            if (!flag)
                fail(section, "combine requests", "expected 1 or 0");
            source.CombineRequests = *flag;
        }

        const std::string requests = value(section, "requests");
        const std::string addresses = value(section, "addresses");
        if (requests.empty() == addresses.empty())
            fail(section, requests.empty() ? "addresses" : "requests",
                 "give either \"requests\" (a request list file) or \"addresses\"");
        if (!requests.empty()) {
            for (const char* inlineOnly : {"path", "number", "interval"})
                if (!value(section, inlineOnly).empty())
                    fail(section, inlineOnly, "belongs to \"addresses\"; a request list file holds its own");
            const std::string path = Absolute(config.Folder, requests);
            std::ifstream list(path, std::ios::binary);
            if (!list)
                fail(section, "requests", "cannot read " + path);
            source.RequestXml.assign(std::istreambuf_iterator<char>(list), {});
            pugi::xml_document doc;
            if (const pugi::xml_parse_result parsed = doc.load_string(source.RequestXml.c_str()); !parsed)
                fail(section, "requests", path + ": not XML (" + parsed.description() + ")");
            const pugi::xml_node query = doc.find_node([](pugi::xml_node n) {
                return n.type() == pugi::node_element && Lower(n.name()) == "modbusrtuquery";
            });
            if (!query || !query.first_child())
                fail(section, "requests",
                     path + ": no request items (a MODBUSRTUQUERY element with children)");
            if (const std::string wrong = CheckPollIntervals(query, source.RequestXml); !wrong.empty())
                fail(section, "requests", path + ":" + wrong);
        } else {
            TPollRequest request;
            // "path =" with nothing after it is the empty route (no port segment).
            if (const char* given = ini.GetValue(section, "path", nullptr)) {
                const std::string path(TrimBlanks(given));
                if (const std::string wrong = CheckPath(path); !wrong.empty())
                    fail(section, "path", wrong);
                request.Path = path;
            }
            if (const std::string text = value(section, "number"); !text.empty()) {
                const auto n = Unsigned(text, 1, 65535);
                if (!n)
                    fail(section, "number", "expected 1..65535 elements");
                request.Number = *n;
            }
            if (const std::string text = value(section, "interval"); !text.empty()) {
                const auto ms = Unsigned(text, 1, 655350);
                if (!ms)
                    fail(section, "interval", "expected milliseconds 1..655350");
                request.IntervalMs = *ms;
            }
            std::vector<TPollRequest> polled;
            for (std::string& address : Words(addresses)) {
                request.Address = std::move(address);
                polled.push_back(request);
            }
            source.RequestXml = RequestListXml(polled);
        }
        config.Sources.push_back(std::move(source));
    }
    if (config.Sources.empty())
        throw EConfigError(file, 0, "", "",
                           "no data source section (one section per controller besides [host])");
    return config;
}

} // namespace host
