#include "sim/TagFile.h"

#include "sim/ValueText.h"

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>

namespace sim {
namespace {

constexpr std::size_t MaxRangeValues = 1u << 20;

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// Values separated by blanks or ','; a "quoted text" is one value, quotes kept.
std::vector<std::string_view> SplitValues(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',' || s[i] == '\r')) {
            ++i;
        }
        std::size_t j = i;
        if (j < s.size() && s[j] == '"') {
            const auto close = s.find('"', j + 1);
            if (close == std::string_view::npos) {
                throw ETagFile("missing closing '\"'");
            }
            out.push_back(s.substr(i, close + 1 - i));
            i = close + 1;
            continue;
        }
        while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != ',' && s[j] != '\r') {
            ++j;
        }
        if (j > i) {
            out.push_back(s.substr(i, j - i));
        }
        i = j;
    }
    return out;
}

std::vector<std::string_view> SplitWords(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) {
            ++i;
        }
        std::size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t') {
            ++j;
        }
        if (j > i) {
            out.push_back(s.substr(i, j - i));
        }
        i = j;
    }
    return out;
}

// Expands "a..b" into the integers from a to b, otherwise the token itself.
bool ExpandRange(std::string_view token, std::vector<std::string>& out) {
    const auto dots = token.find("..");
    if (dots == std::string_view::npos || token.front() == '"') {
        out.emplace_back(token);
        return true;
    }
    std::optional<IntegerText> a = ParseIntegerText(token.substr(0, dots));
    std::optional<IntegerText> b = ParseIntegerText(token.substr(dots + 2));
    if (!a || !b) {
        return false;
    }
    const auto from = static_cast<std::int64_t>(a->Bits);
    const auto to = static_cast<std::int64_t>(b->Bits);
    const std::int64_t step = from <= to ? 1 : -1;
    const std::uint64_t span = from <= to ? static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from)
                                          : static_cast<std::uint64_t>(from) - static_cast<std::uint64_t>(to);
    if (span >= MaxRangeValues) {
        return false;
    }
    for (std::int64_t v = from;; v += step) {
        out.push_back(std::to_string(v));
        if (v == to) {
            break;
        }
    }
    return true;
}

class LineParser {
public:
    LineParser(TagDatabase& tags, DataTable& files) : tags_(tags), files_(files) {}

    void Parse(std::string_view line) {
        bool quoted = false;
        for (std::size_t k = 0; k < line.size(); ++k) {
            if (line[k] == '"') {
                quoted = !quoted;
            } else if (line[k] == '#' && !quoted) {
                line = line.substr(0, k);
                break;
            }
        }
        line = Trim(line);
        if (line.empty()) {
            return;
        }
        if (ParseTypeBlock(line)) {
            return;
        }
        std::string_view lhs = line;
        std::vector<std::string> values;
        const auto eq = line.find('=');
        if (eq != std::string_view::npos) {
            lhs = Trim(line.substr(0, eq));
            for (std::string_view token : SplitValues(line.substr(eq + 1))) {
                if (!ExpandRange(token, values)) {
                    throw ETagFile("bad range '" + std::string(token) + "'");
                }
            }
        }
        std::vector<std::string_view> words = SplitWords(lhs);
        if (words.size() == 2) {
            ParseTag(words[0], words[1], values);
        } else if (words.size() == 1) {
            ParseFile(words[0], values);
        } else {
            throw ETagFile("expected 'TYPE NAME[DIMS] = VALUES' or 'FILE[ELEMENTS] = VALUES'");
        }
    }

    void Finish() {
        if (type_) {
            throw ETagFile("type " + type_->first + " has no END");
        }
    }

private:
    static bool SameWord(std::string_view a, std::string_view b) {
        return TagDatabase::Key(a) == TagDatabase::Key(b);
    }

    // "TYPE Name", then one "TYPE Member[N]" line per member, then "END".
    bool ParseTypeBlock(std::string_view line) {
        std::vector<std::string_view> words = SplitWords(line);
        if (!type_) {
            if (words.size() == 2 && SameWord(words[0], "TYPE") && line.find('=') == std::string_view::npos) {
                type_.emplace(std::string(words[1]), std::vector<MemberDecl>{});
                return true;
            }
            return false;
        }
        if (words.size() == 1 && SameWord(words[0], "END")) {
            try {
                tags_.DefineType(type_->first, type_->second);
            } catch (const std::invalid_argument& e) {
                type_.reset();
                throw ETagFile(e.what());
            }
            type_.reset();
            return true;
        }
        if (words.size() != 2) {
            throw ETagFile("expected 'TYPE MEMBER[N]' or END inside type " + type_->first);
        }
        std::string_view name;
        std::vector<std::uint32_t> dims = Dims(words[1], name);
        if (dims.size() > 1) {
            throw ETagFile("members have one dimension at most");
        }
        type_->second.push_back({std::string(name), std::string(words[0]), dims.empty() ? 0 : dims[0]});
        return true;
    }

    static std::vector<std::uint32_t> Dims(std::string_view nameDims, std::string_view& name) {
        std::vector<std::uint32_t> dims;
        const auto open = nameDims.find('[');
        name = nameDims.substr(0, open);
        if (open == std::string_view::npos) {
            return dims;
        }
        if (nameDims.back() != ']') {
            throw ETagFile("missing ']' in '" + std::string(nameDims) + "'");
        }
        std::string_view inside = nameDims.substr(open + 1, nameDims.size() - open - 2);
        std::size_t start = 0;
        for (;;) {
            const auto comma = inside.find(',', start);
            std::string_view part =
                Trim(inside.substr(start, comma == std::string_view::npos ? comma : comma - start));
            std::uint32_t d = 0;
            auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), d);
            if (part.empty() || ec != std::errc() || end != part.data() + part.size() || d == 0) {
                throw ETagFile("bad dimension '" + std::string(part) + "'");
            }
            dims.push_back(d);
            if (comma == std::string_view::npos) {
                break;
            }
            start = comma + 1;
        }
        if (dims.size() > 3) {
            throw ETagFile("more than three dimensions");
        }
        return dims;
    }

    void ParseTag(std::string_view typeName, std::string_view nameDims,
                  const std::vector<std::string>& values) {
        std::string_view name;
        std::vector<std::uint32_t> dims = Dims(nameDims, name);
        if (name.empty() || name.find(']') != std::string_view::npos) {
            throw ETagFile("bad tag name '" + std::string(nameDims) + "'");
        }
        if (SameWord(typeName, "SHORT_STRING") || SameWord(typeName, "SSTRING")) {
            ParseShortString(name, dims, values);
            return;
        }
        std::optional<CipType> type = CipTypeFromName(typeName);
        if (!type) {
            if (!tags_.Types().FindByName(typeName)) {
                throw ETagFile("unknown type '" + std::string(typeName) + "'");
            }
            try {
                tags_.SetStructure(std::string(name), typeName, dims, values);
            } catch (const std::invalid_argument& e) {
                throw ETagFile(e.what());
            }
            return;
        }
        if (*type == CipType::Bool && !dims.empty()) {
            ParseBoolArray(name, dims, values);
            return;
        }
        SimTag tag;
        try {
            tag = MakeTag(std::string(name), *type, dims);
        } catch (const std::invalid_argument& e) {
            throw ETagFile(e.what());
        }
        if (values.size() > tag.ElementCount()) {
            throw ETagFile("more values than elements");
        }
        Bytes data;
        for (const std::string& text : values) {
            if (!EncodeValueText(tag.TypeCode, text, data)) {
                throw ETagFile("value '" + text + "' does not fit " + std::string(CipTypeName(tag.TypeCode)));
            }
        }
        std::copy(data.begin(), data.end(), tag.Data.begin());
        tags_.Set(std::move(tag));
    }

    // SHORT_STRING Name = "text": a scalar.
    void ParseShortString(std::string_view name, const std::vector<std::uint32_t>& dims,
                          const std::vector<std::string>& values) {
        if (!dims.empty()) {
            throw ETagFile("SHORT_STRING tags are scalars");
        }
        if (values.size() > 1 || (values.size() == 1 && (values[0].size() < 2 || values[0].front() != '"'))) {
            throw ETagFile("a SHORT_STRING takes one \"text\"");
        }
        const std::string text = values.empty() ? std::string() : values[0].substr(1, values[0].size() - 2);
        try {
            tags_.Set(MakeShortString(std::string(name), text));
        } catch (const std::invalid_argument& e) {
            throw ETagFile(e.what());
        }
    }

    // BOOL Name[BITS] = one 0/1 per bit; held as 32-bit words.
    void ParseBoolArray(std::string_view name, const std::vector<std::uint32_t>& dims,
                        const std::vector<std::string>& values) {
        if (dims.size() != 1) {
            throw ETagFile("BOOL arrays have one dimension");
        }
        SimTag tag;
        try {
            tag = MakeBoolArray(std::string(name), dims[0]);
        } catch (const std::invalid_argument& e) {
            throw ETagFile(e.what());
        }
        if (values.size() > dims[0]) {
            throw ETagFile("more values than elements");
        }
        for (std::size_t bit = 0; bit < values.size(); ++bit) {
            Bytes one;
            if (!EncodeValueText(static_cast<std::uint16_t>(CipType::Bool), values[bit], one)) {
                throw ETagFile("value '" + values[bit] + "' is no BOOL");
            }
            if (one[0] != 0) {
                tag.Data[bit / 8] = static_cast<std::uint8_t>(tag.Data[bit / 8] | (1u << (bit % 8)));
            }
        }
        tags_.Set(std::move(tag));
    }

    void ParseFile(std::string_view nameDims, const std::vector<std::string>& values) {
        std::string_view name;
        std::vector<std::uint32_t> dims = Dims(nameDims, name);
        if (name.size() < 2 || dims.size() > 1) {
            throw ETagFile("bad data file '" + std::string(nameDims) + "'");
        }
        char letter = name[0];
        if (letter >= 'a' && letter <= 'z') {
            letter = static_cast<char>(letter - 'a' + 'A');
        }
        const PcccFileLayout* layout = FindFileLayout(letter);
        unsigned number = 0;
        auto [end, ec] = std::from_chars(name.data() + 1, name.data() + name.size(), number);
        if (layout == nullptr || ec != std::errc() || end != name.data() + name.size() || number > 255) {
            throw ETagFile("bad data file '" + std::string(name) + "'");
        }
        // F and L elements are one 32-bit value each; the others 16-bit words.
        const bool wide = letter == 'F' || letter == 'L';
        const std::size_t perElement = wide ? 1 : layout->ElementSize / 2u;
        std::size_t elements = dims.empty() ? (values.size() + perElement - 1) / perElement : dims[0];
        if (elements == 0) {
            elements = 1;
        }
        if (values.size() > elements * perElement) {
            throw ETagFile("more values than elements");
        }
        DataFile file = MakeDataFile(letter, static_cast<std::uint8_t>(number), elements);
        Bytes data;
        for (const std::string& text : values) {
            if (letter == 'F') {
                std::optional<double> v = ParseDoubleText(text);
                if (!v) {
                    throw ETagFile("bad number '" + text + "'");
                }
                PutValue(data, static_cast<float>(*v));
                continue;
            }
            if (letter == 'L') {
                std::optional<IntegerText> v = ParseIntegerText(text);
                if (!v || !FitsWidth(*v, 4)) {
                    throw ETagFile("value '" + text + "' is not a 32-bit integer");
                }
                PutU32(data, static_cast<std::uint32_t>(v->Bits));
                continue;
            }
            std::optional<IntegerText> v = ParseIntegerText(text);
            if (!v || !FitsWidth(*v, 2)) {
                throw ETagFile("value '" + text + "' is not a 16-bit word");
            }
            PutU16(data, static_cast<std::uint16_t>(v->Bits));
        }
        std::copy(data.begin(), data.end(), file.Data.begin());
        files_.Set(std::move(file));
    }

    TagDatabase& tags_;
    DataTable& files_;
    // The type being declared: its name and the members so far.
    std::optional<std::pair<std::string, std::vector<MemberDecl>>> type_;
};

constexpr std::string_view Sample =
    R"(# Sample controller: one tag of every atomic type, dates and times, a BOOL
# array, arrays of one to three dimensions, program-scoped tags, an array that
# needs fragmented reads, the predefined TIMER, COUNTER, CONTROL and STRING,
# user-defined types (packed BOOLs, nested, arrays of structures, a custom
# LEN + DATA string), and one PCCC data file of every letter.
BOOL   Run                  = 1
BOOL   Ready                = 1
SINT   SmallCount           = -12
INT    Speed                = 1500
DINT   Counter              = 123456
LINT   TotalCount           = 9876543210
USINT  Percent              = 200
UINT   Rpm                  = 60000
UDINT  BigSerial            = 4000000000
ULINT  HugeCount            = 0xFFFFFFFFFFFFFFFF
REAL   Temperature          = 21.5
LREAL  Pressure             = 1013.25
BYTE   Mode                 = 0xA5
WORD   StatusWord           = 0x1234
DWORD  Flags[2]             = 0x00000001 0x80000000
LWORD  Mask                 = 0x0123456789ABCDEF
DATE          StartDate     = 2024-03-15
TIME          Uptime        = 12:30:05.250
DATE_AND_TIME LastStop      = 2024-03-15T08:00:00.000
BOOL   Alarms[64]           = 1 0 1 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 1  1
DINT   Counts[10]           = 1..10
REAL   Temps[4]             = 20.5 21 21.5 22
INT    Matrix[2,3]          = 11 12 13 21 22 23
SINT   Cube[2,2,2]          = 1..8
DINT   Trend[300]           = 0..299
REAL   Program:Main.Setpoint = 55.5
DINT   Program:Main.Steps[5] = 10 20 30 40 50

# Predefined structures. Values: TIMER PRE ACC EN TT DN; COUNTER PRE ACC
# CU CD DN OV UN; CONTROL LEN POS EN EU DN EM ER UL IN FD; STRING "text".
TIMER   Delay               = 5000 1234 1 1 0
COUNTER Parts               = 100 42 1 0 0 0 0
CONTROL Fifo                = 16 4 1 0 0 0 0 0 0 0
STRING  Message             = "Hello, line 4"

TYPE Str20                  # a custom string: LEN + DATA
  DINT  LEN
  SINT  DATA[20]
END
TYPE Alarm_UDT
  BOOL   Active
  BOOL   Acked
  DINT   Code
  STRING Text
END
TYPE Motor_UDT
  DINT      Speed
  REAL      Current
  BOOL      Running
  BOOL      Faulted
  INT       History[4]
  TIMER     Delay
  Alarm_UDT Alarm
  Str20     Label
  LREAL     Energy
END

Str20     Label             = "Pump A"
Motor_UDT Motor             = 1450 12.5 1 0  1 2 3 4  3000 150 1 1 0  1 0 17 "Overload"  "Pump A"  123.5
Motor_UDT Motors[2]         = 100 1.5 1 0 5 6 7 8 1000 10 1 1 0 0 0 0 "" "Fan 1" 1.25   200 2.5 0 1 9 10 11 12 2000 20 0 0 1 1 1 42 "Jam" "Fan 2" 2.5
Alarm_UDT Program:Main.Last = 1 1 99 "Door open"

O0[2]  = 0x0001 0
I1[2]  = 0x0003 0
S2[4]  = 0 0 0 0
B3[2]  = 0x0005 0x8000
T4[2]  = 0xA000 100 100  0x4000 500 42
C5[2]  = 0x8000 10 3     0 20 0
R6[1]  = 0x2000 16 4
N7[10] = 1..10
F8[4]  = 1.5 2.5 -3.25 100
A9[2]  = 0x4142 0x4344
D10[2] = 0x1234 0x0099
L11[2] = 100000 -5
)";

} // namespace

void LoadTagText(std::string_view text, TagDatabase& tags, DataTable& files) {
    LineParser parser(tags, files);
    std::size_t lineNo = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        ++lineNo;
        try {
            parser.Parse(line);
        } catch (const std::exception& e) {
            throw ETagFile("line " + std::to_string(lineNo) + ": " + e.what());
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    try {
        parser.Finish();
    } catch (const std::exception& e) {
        throw ETagFile("line " + std::to_string(lineNo) + ": " + e.what());
    }
}

void LoadTagFile(const std::string& path, TagDatabase& tags, DataTable& files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ETagFile("cannot open " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    LoadTagText(text.str(), tags, files);
}

std::string_view SampleTagText() {
    return Sample;
}

} // namespace sim
