#include "options/WtranslLanguages.h"

#include "common/qorStrUtils.h"

#include "options/WtranslCodePages.h"

#include "platform/Text.h"

#include <limits>

namespace qor {

namespace {

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Lines end with LF or CR LF; a lone CR stays in the line. Text after the last
// LF is a line only when there is some.
std::vector<std::string_view> FileLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        std::string_view line = text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        start = lf + 1;
    }
    return lines;
}

// The value of "Name=value": after the first "=", trimmed, lower-cased.
std::string DirectiveValue(std::string_view d) {
    const std::size_t eq = d.find('=');
    return LowerAscii(Trim(d.substr(eq + 1)));
}

std::uint32_t ParseLocale(std::string_view v) {
    const auto parsed = platform::ParseIntegerText(v);
    if (!parsed || parsed->Negative || parsed->Magnitude > std::numeric_limits<std::uint32_t>::max())
        return 0;
    return static_cast<std::uint32_t>(parsed->Magnitude);
}

// Applies a directive; true when the line is consumed by it.
bool ApplyDirective(std::string_view d, TWtranslFileSettings& s) {
    if (d == "//filenew")
        s.FileMode = TWtranslFileMode::New;
    else if (d == "//filerewrite")
        s.FileMode = TWtranslFileMode::Rewrite;
    else if (d == "//fileappend")
        s.FileMode = TWtranslFileMode::Append;
    else if (d.find("Encoding=") != std::string_view::npos) {
        const std::string v = DirectiveValue(d);
        if (v == "utf-8")
            s.Encoding = 1;
        else if (v == "utf-16")
            s.Encoding = 2;
        else if (v == "unicode")
            s.Encoding = 3;
        return true;
    } else if (d.find("BiDiMode=") != std::string_view::npos) {
        const std::string v = DirectiveValue(d);
        if (v == "righttoleft")
            s.BiDiMode = 1;
        else if (v == "righttoleftnoalign")
            s.BiDiMode = 2;
        else if (v == "righttoleftreadingonly")
            s.BiDiMode = 3;
        return true;
    } else if (d.find("Locale=") != std::string_view::npos) {
        const std::uint32_t v = ParseLocale(DirectiveValue(d));
        if (v > 0)
            s.Locale = v;
        return true;
    } else if (d.find("Charset=") != std::string_view::npos) {
        CharsetFromName(DirectiveValue(d), s.Charset, s.CodePage);
        return true;
    } else if (d == "//saveuntr")
        s.SaveMode = TWtranslSaveMode::Untranslated;
    else if (d == "//saveuntrobj")
        s.SaveMode = TWtranslSaveMode::UntranslatedObjects;
    else if (d == "//saveunused")
        s.SaveMode = TWtranslSaveMode::Unused;
    else if (d == "//saveall")
        s.SaveMode = TWtranslSaveMode::All;
    return false;
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

std::string Unescape(std::string_view r) {
    std::string out;
    out.reserve(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (r[i] == '%' && i + 2 < r.size() && IsHex(r[i + 1]) && IsHex(r[i + 2])) {
            out.push_back(static_cast<char>(HexValue(r[i + 1]) * 16 + HexValue(r[i + 2])));
            i += 2;
        } else {
            out.push_back(r[i]);
        }
    }
    return out;
}

// Drops every single "&"; "&&" stays as it is.
std::string DropAccelerators(std::string_view r) {
    std::string out;
    out.reserve(r.size());
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (r[i] != '&') {
            out.push_back(r[i]);
        } else if (i + 1 < r.size() && r[i + 1] == '&') {
            out += "&&";
            ++i;
        }
    }
    return out;
}

} // namespace

int ReadLanguageText(std::string_view text, std::string_view from, std::string_view to,
                     TWtranslFileSettings& settings, TWtranslLanguagesList& dict, std::vector<std::string>* sources) {
    const std::string fromPrefix = std::string(from) + ":>";
    const std::string toPrefix = std::string(to) + ":>";
    int pairs = 0;
    std::string_view source, translation;
    bool inBlock = false;

    const auto lines = FileLines(text);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string_view line = TrimBlanks(lines[n]);
        if (n < kDirectiveLines) {
            const std::string_view d = Trim(line).substr(0, 50);
            if (ApplyDirective(d, settings))
                continue;
        }
        if (StartsWith(line, "//"))
            continue;
        if (!line.empty()) {
            inBlock = true;
            if (StartsWith(line, fromPrefix))
                source = line.substr(fromPrefix.size());
            if (StartsWith(line, toPrefix))
                translation = line.substr(toPrefix.size());
            continue;
        }
        if (inBlock && !source.empty() && !translation.empty()) {
            const std::string s(source);
            std::string r = settings.Encoding == 1 ? std::string(translation)
                                                   : DecodeCodePage(translation, settings.CodePage);
            // Folded as lookups fold the text asked for (Latin-1 capitals too).
            const std::string lower = platform::AnsiLowerCase(s);
            if (lower != s)
                dict.Lower[lower] = r;
            dict.Exact[s] = std::move(r);
            ++pairs;
            if (settings.SaveMode == TWtranslSaveMode::Unused && sources)
                sources->push_back(s);
        }
        source = translation = {};
        inBlock = false;
    }
    return pairs;
}

TWtranslLookup LookupText(const TWtranslLanguagesList& dict, std::string_view text) {
    TWtranslLookup result;
    const std::string_view t = Trim(text);
    if (t.empty())
        return result;

    std::string a, b;
    bool escaped = false, accelerator = false, doubleSeen = false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const auto c = static_cast<unsigned char>(t[i]);
        if (c < 32) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            const char esc[3] = {'%', kHex[c >> 4], kHex[c & 15]};
            a.append(esc, 3);
            b.append(esc, 3);
            escaped = true;
        } else if (c == '&' && !doubleSeen && (i + 1 == t.size() || t[i + 1] != '&')) {
            a.push_back('&');
            accelerator = true;
        } else {
            if (c == '&')
                doubleSeen = true;
            a.push_back(static_cast<char>(c));
            b.push_back(static_cast<char>(c));
        }
    }
    result.FileForm = a;

    const std::string* hit = nullptr;
    if (auto it = dict.Exact.find(std::string(t)); it != dict.Exact.end()) {
        hit = &it->second;
        result.Key = it->first;
    } else if (it = dict.Exact.find(a); it != dict.Exact.end()) {
        hit = &it->second;
        result.Key = it->first;
    } else if (it = dict.Exact.find(b); it != dict.Exact.end()) {
        hit = &it->second;
        result.Key = it->first;
        accelerator = true;
    } else if (it = dict.Lower.find(platform::AnsiLowerCase(t)); it != dict.Lower.end()) {
        hit = &it->second;
        result.Key = it->first;
        result.FromLower = true;
    }
    if (!hit)
        return result;

    std::string r = escaped ? Unescape(*hit) : *hit;
    if (!accelerator)
        r = DropAccelerators(r);
    result.Translation = std::move(r);
    return result;
}

// The code of an entry line ("DE:>..."): letters, digits, "-" and "_" before ":>".
std::string_view EntryLanguage(std::string_view line) {
    const std::size_t mark = line.find(":>");
    if (mark == std::string_view::npos || mark == 0 || mark > 16)
        return {};
    for (char c : line.substr(0, mark))
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return {};
    return line.substr(0, mark);
}

TLanguageFileInfo ReadLanguagesSection(std::string_view text) {
    TLanguageFileInfo info;
    std::string marked;
    bool inSection = false, sectionDone = false;
    for (const std::string_view raw : FileLines(text)) {
        const std::string_view line = Trim(raw);
        if (const std::string_view code = EntryLanguage(TrimBlanks(raw)); !code.empty()) {
            bool known = false;
            for (const auto& l : info.EntryLanguages)
                known = known || l == code;
            if (!known)
                info.EntryLanguages.emplace_back(code);
        }
        if (sectionDone)
            continue;
        if (!inSection) {
            inSection = LowerAscii(line) == "[languages]";
            continue;
        }
        if (line.empty() || line.front() == '[') {
            sectionDone = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = Trim(line.substr(0, eq));
        const std::string_view value = Trim(line.substr(eq + 1));
        if (LowerAscii(key) == "default") {
            info.Default = std::string(value);
        } else if (key.size() > 1 && key.front() == '$') {
            info.Languages.emplace_back(Trim(key.substr(1)));
            if (marked.empty() && value.find("(Default)") != std::string_view::npos)
                marked = info.Languages.back();
        }
    }
    if (info.Default.empty())
        info.Default = marked;
    return info;
}

} // namespace qor
