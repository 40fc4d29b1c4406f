#include "platform/IniFile.h"

#include "platform/AtomicFile.h"
#include "platform/Text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

// Only the char flavour is used: the file's bytes are the strings' bytes.
#define SI_NO_CONVERSION
// The distribution's header carries the template definitions behind this.
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace platform {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Section and key names compare as the Windows profile functions do: without
// regard to case, as CharLowerBuffA folds it.
struct FoldedLess {
    bool operator()(const char* left, const char* right) const {
        return AnsiLowerCase(left) < AnsiLowerCase(right);
    }
};

using Ini = CSimpleIniTempl<char, FoldedLess, SI_ConvertA<char>>;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool HasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos;
}

bool ValidSection(std::string_view s) {
    return !s.empty() && s.find(']') == s.npos && !HasLineBreakOrNul(s);
}

bool ValidKey(std::string_view k) {
    return !k.empty() && k.find('=') == k.npos && !HasLineBreakOrNul(k) && k.front() != ';' &&
           k.front() != '#' && k.front() != '[';
}

// A block value ends at the first line that reads END_OF_TEXT (in any case,
// blanks after it ignored); a value holding such a line cannot be stored.
bool HasBlockEndLine(std::string_view value) {
    constexpr std::string_view kEnd = "end_of_text";
    std::size_t pos = 0;
    while (pos <= value.size()) {
        const std::size_t eol = value.find_first_of("\r\n", pos);
        std::string_view line = value.substr(pos, eol == value.npos ? value.npos : eol - pos);
        while (!line.empty() && IsBlank(line.back()))
            line.remove_suffix(1);
        if (AnsiLowerCase(line) == kEnd)
            return true;
        if (eol == value.npos)
            break;
        pos = eol + 1;
    }
    return false;
}

// The value as the line holds it: quoted when blanks at its ends or enclosing
// quotes of its own would otherwise be lost on reading, or when it would
// read as the start of a block.
std::string ToFileForm(std::string_view value) {
    if (value.find_first_of("\r\n") != value.npos)
        return std::string(value);
    const bool quote =
        !value.empty() &&
        (IsBlank(value.front()) || IsBlank(value.back()) ||
         (value.size() >= 2 && value.front() == '"' && value.back() == '"') || value.substr(0, 3) == "<<<");
    return quote ? "\"" + std::string(value) + "\"" : std::string(value);
}

std::string FromFileForm(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"' &&
        text.find_first_of("\r\n") == text.npos)
        text = text.substr(1, text.size() - 2);
    return std::string(text);
}

std::optional<std::int64_t> ParseInteger(std::string_view text) {
    const auto parsed = ParseIntegerText(Trim(text));
    if (!parsed)
        return std::nullopt;
    const std::uint64_t magnitude = parsed->Magnitude;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (parsed->Hexadecimal && !parsed->Negative)
        return static_cast<std::int64_t>(magnitude); // all 64 bits, as written by a two's complement hex dump
    if (parsed->Negative) {
        if (magnitude > kMax + 1)
            return std::nullopt;
        return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                     : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > kMax)
        return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

std::optional<double> ParseFloat(std::string_view text) {
    std::string t(Trim(text));
    std::replace(t.begin(), t.end(), ',', '.');
    std::string_view v(t);
    if (!v.empty() && v.front() == '+')
        v.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size())
        return std::nullopt;
    return value;
}

// Splits off the comment lines after the last entry: the parser keeps only
// comments that stand before a section or key, and these would be lost.
// Without any entry the whole text is such a tail.
std::size_t TailStart(std::string_view text) {
    std::size_t tail = 0, pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        const std::size_t next = eol == text.npos ? text.size() : eol + 1;
        const std::size_t first = text.find_first_not_of(" \t\r\n", pos);
        const bool content = first != text.npos && first < next && text[first] != ';' && text[first] != '#';
        if (content)
            tail = next;
        pos = next;
    }
    return tail;
}

} // namespace

struct IniFile::Impl {
    // One change made through the IniFile, replayed on the file as it is on
    // disk when the changes are saved.
    struct Change {
        enum class Kind { Set, DeleteKey, EraseSection };
        Kind kind;
        std::string section, key, form;
    };

    std::filesystem::path file;
    Ini ini{true, false, true}; // UTF-8, one value per key, block values
    bool existed = false;
    bool modified = false;
    bool bom = false;
    std::string tail;
    std::error_code readError;
    std::vector<Change> changes;

    Impl() {
        ini.SetSpaces(false); // "key=value", as the profile functions write it
        ini.SetQuotes(false); // quoting is done here, both ways
    }

    bool Load() {
        ini.Reset();
        existed = modified = bom = false;
        tail.clear();
        changes.clear();
        readError = {};
        std::string data;
        bool missing = false;
        readError = ReadWholeFile(file, &data, &missing);
        if (readError || missing)
            return !readError;
        existed = true;
        if (data.find('\0') != data.npos) {
            // Not a text file: the parser would stop at the NUL and a save would
            // cut the file there.
            readError = std::make_error_code(std::errc::illegal_byte_sequence);
            return false;
        }
        std::string_view text(data);
        if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
            bom = true;
            text.remove_prefix(kUtf8Bom.size());
        }
        const std::size_t tailStart = TailStart(text);
        if (text.find_first_of(";#", tailStart) != text.npos)
            tail = text.substr(tailStart);
        const std::string body(text.substr(0, tailStart));
        if (ini.LoadData(body.data(), body.size()) < 0) {
            readError = std::make_error_code(std::errc::not_enough_memory);
            ini.Reset();
            return false;
        }
        return true;
    }

    // Names are trimmed and valid, form is the value's file form.
    bool Apply(const Change& c) {
        switch (c.kind) {
        case Change::Kind::Set: return ini.SetValue(c.section.c_str(), c.key.c_str(), c.form.c_str()) >= 0;
        case Change::Kind::DeleteKey: return ini.Delete(c.section.c_str(), c.key.c_str(), false);
        case Change::Kind::EraseSection: return ini.Delete(c.section.c_str(), nullptr, false);
        }
        return false;
    }

    bool Record(Change c) {
        if (!Apply(c))
            return false;
        changes.push_back(std::move(c));
        modified = true;
        return true;
    }

    std::string Text() const {
        std::string text;
        if (bom)
            text = kUtf8Bom;
        std::string body;
        ini.Save(body, false);
        // The library ends lines with CR LF when built for Windows; the file is
        // written with "\n" everywhere (the profile functions read both), so
        // one file reads the same from either system.
        for (std::size_t at = body.find("\r\n"); at != std::string::npos; at = body.find("\r\n", at))
            body.erase(at, 1);
        text += body;
        if (!tail.empty()) {
            if (!body.empty() && body.back() != '\n')
                text += '\n';
            text += tail;
        }
        return text;
    }

    const char* Find(std::string_view section, std::string_view key) const {
        const std::string s(Trim(section)), k(Trim(key));
        return ini.GetValue(s.c_str(), k.c_str(), nullptr);
    }
};

IniFile::IniFile(std::filesystem::path file) : impl_(std::make_unique<Impl>()) {
    impl_->file = std::move(file);
    impl_->Load();
}

IniFile::~IniFile() = default;
IniFile::IniFile(IniFile&&) noexcept = default;
IniFile& IniFile::operator=(IniFile&&) noexcept = default;

const std::filesystem::path& IniFile::FileName() const noexcept {
    return impl_->file;
}
bool IniFile::FileExisted() const noexcept {
    return impl_->existed;
}
std::error_code IniFile::ReadError() const noexcept {
    return impl_->readError;
}
bool IniFile::Reload() {
    return impl_->Load();
}
bool IniFile::Modified() const noexcept {
    return impl_->modified;
}

bool IniFile::SectionExists(std::string_view section) const {
    const std::string s(Trim(section));
    return impl_->ini.GetSection(s.c_str()) != nullptr;
}

bool IniFile::ValueExists(std::string_view section, std::string_view key) const {
    return impl_->Find(section, key) != nullptr;
}

std::optional<std::string> IniFile::ReadString(std::string_view section, std::string_view key) const {
    const char* v = impl_->Find(section, key);
    if (!v)
        return std::nullopt;
    return FromFileForm(v);
}

std::optional<std::int64_t> IniFile::ReadInteger(std::string_view section, std::string_view key) const {
    const char* v = impl_->Find(section, key);
    return v ? ParseInteger(FromFileForm(v)) : std::nullopt;
}

std::optional<double> IniFile::ReadFloat(std::string_view section, std::string_view key) const {
    const char* v = impl_->Find(section, key);
    return v ? ParseFloat(FromFileForm(v)) : std::nullopt;
}

std::vector<std::string> IniFile::ReadSections() const {
    Ini::TNamesDepend names;
    impl_->ini.GetAllSections(names);
    names.sort(Ini::Entry::LoadOrder());
    std::vector<std::string> result;
    for (const auto& e : names)
        if (*e.pItem)
            result.emplace_back(e.pItem);
    return result;
}

std::vector<std::string> IniFile::ReadSection(std::string_view section) const {
    const std::string s(Trim(section));
    Ini::TNamesDepend names;
    impl_->ini.GetAllKeys(s.c_str(), names);
    names.sort(Ini::Entry::LoadOrder());
    std::vector<std::string> result;
    for (const auto& e : names)
        result.emplace_back(e.pItem);
    return result;
}

bool IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string s(Trim(section)), k(Trim(key));
    if (!ValidSection(s) || !ValidKey(k) || value.find('\0') != value.npos)
        return false;
    if (value.find_first_of("\r\n") != value.npos && HasBlockEndLine(value))
        return false;
    const std::string form = ToFileForm(value);
    const char* old = impl_->ini.GetValue(s.c_str(), k.c_str(), nullptr);
    if (old && form == old)
        return true;
    return impl_->Record({Impl::Change::Kind::Set, s, k, form});
}

bool IniFile::WriteInteger(std::string_view section, std::string_view key, std::int64_t value) {
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, value);
    return WriteString(section, key, std::string_view(text, static_cast<std::size_t>(r.ptr - text)));
}

bool IniFile::WriteFloat(std::string_view section, std::string_view key, double value) {
    char text[40];
    const auto r = std::to_chars(text, text + sizeof text, value);
    return WriteString(section, key, std::string_view(text, static_cast<std::size_t>(r.ptr - text)));
}

bool IniFile::DeleteKey(std::string_view section, std::string_view key) {
    const std::string s(Trim(section)), k(Trim(key));
    return impl_->Record({Impl::Change::Kind::DeleteKey, s, k, {}});
}

bool IniFile::EraseSection(std::string_view section) {
    const std::string s(Trim(section));
    return impl_->Record({Impl::Change::Kind::EraseSection, s, {}, {}});
}

std::string IniFile::Text() const {
    return impl_->Text();
}

std::error_code IniFile::UpdateFile() {
    if (impl_->readError)
        return impl_->readError;
    if (!impl_->modified)
        return {};
    try {
        // Other instances (and the host) save to the same file. Under the lock
        // the file is read again and only this object's changes are applied
        // to it, so a save never puts back what another one wrote meanwhile.
        FileUpdateLock lock;
        if (const std::error_code ec = lock.Lock(impl_->file))
            return ec;
        auto current = std::make_unique<Impl>();
        current->file = impl_->file;
        if (!current->Load())
            return current->readError;
        for (const Impl::Change& c : impl_->changes)
            current->Apply(c);
        const std::error_code ec = WriteFileAtomically(impl_->file, current->Text());
        if (!ec) {
            current->existed = true;
            impl_ = std::move(current);
        }
        return ec;
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
}

} // namespace platform
