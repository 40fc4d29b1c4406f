#include "host/HostConfig.h"

#include "host/DeviceConnections.h"

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

// SimpleIni keeps no line numbers: the lines of the sections and keys are
// found by reading the text the way it does (";" and "#" start comments).
class TLineIndex {
public:
    explicit TLineIndex(const std::string& text) {
        std::string section;
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
                section = Lower(TrimBlanks(line.substr(1, close == std::string_view::npos ? 1 : close - 1)));
                sections_.emplace(section, number);
                continue;
            }
            const std::size_t equals = line.find('=');
            keys_.emplace(std::make_pair(section, Lower(TrimBlanks(line.substr(0, equals)))), number);
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
    for (const std::string_view prefix : {"jsonl:", "csv:", "sqlite:", "mqtt://"})
        if (output.size() > prefix.size() && output.substr(0, prefix.size()) == prefix)
            return true;
    return output == "null";
}

constexpr const char* kHostKeys[] = {"plugin", "outputs", "output", "log file"};
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

std::string CheckDevice(std::string_view device) {
    return SplitDeviceAddress(TrimBlanks(device)) ? "" : "expected HOST or HOST:PORT (port 1..65535)";
}

std::string CheckPath(std::string_view path) {
    return path.find_first_not_of("0123456789;,") == std::string_view::npos
               ? ""
               : "a device path holds only digits, \";\" and \",\"";
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

THostConfig LoadHostConfig(const std::string& file) {
    THostConfig config;
    std::error_code ec;
    config.File = std::filesystem::absolute(file, ec).lexically_normal().string();
    config.Folder = std::filesystem::path(config.File).parent_path().string();
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw EConfigError(file, 0, "", "", "cannot read the file");
    const std::string text(std::istreambuf_iterator<char>(in), {});

    CSimpleIniA ini(false, true, false); // not UTF-8 checked, multiple keys, no multi-line values
    if (ini.LoadData(text) < 0)
        throw EConfigError(file, 0, "", "", "not INI text");
    const TLineIndex lines(text);
    const auto fail = [&](std::string_view section, std::string_view key, const std::string& what) {
        throw EConfigError(file, lines.Key(section, key), std::string(section), std::string(key), what);
    };
    const auto checkKeys = [&](const char* section, std::span<const char* const> allowed) {
        CSimpleIniA::TNamesDepend keys;
        ini.GetAllKeys(section, keys);
        for (const auto& k : keys)
            if (std::none_of(allowed.begin(), allowed.end(),
                             [&](const char* a) { return Lower(k.pItem) == a; }))
                fail(section, k.pItem, "unknown key");
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
                        if (!KnownOutput(output))
                            fail(section, key,
                                 "unknown output \"" + std::string(output) +
                                     "\" (jsonl:PATH, csv:PATH, sqlite:PATH, mqtt://HOST[:PORT]/PREFIX, "
                                     "null)");
                        config.Outputs.emplace_back(output);
                        config.OutputLines.push_back(lines.Key(section, key));
                    }
                }
            }
            if (const std::string log = value(section, "log file"); !log.empty()) {
                config.LogFile = Absolute(config.Folder, log);
                if (!std::filesystem::is_directory(std::filesystem::path(config.LogFile).parent_path()))
                    fail(section, "log file", "no folder for " + config.LogFile);
            }
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
