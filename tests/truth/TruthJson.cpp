#include "TruthJson.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>

namespace truth {
namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    std::optional<JValue> Document(std::string* error) {
        try {
            JValue v = Value(0);
            Blank();
            if (at_ != s_.size())
                Fail("text after the value");
            return v;
        } catch (const std::string& why) {
            if (error)
                *error = why + " at offset " + std::to_string(at_);
            return std::nullopt;
        }
    }

private:
    [[noreturn]] void Fail(const std::string& why) { throw why; }

    void Blank() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
            ++at_;
    }
    char Peek() {
        if (at_ >= s_.size())
            Fail("unexpected end");
        return s_[at_];
    }
    void Expect(std::string_view word) {
        if (s_.substr(at_, word.size()) != word)
            Fail("expected " + std::string(word));
        at_ += word.size();
    }

    JValue Value(int depth) {
        if (depth > 64)
            Fail("nested too deep");
        Blank();
        JValue v;
        switch (Peek()) {
        case '{':
            v.Type = JValue::Kind::Object;
            ++at_;
            Blank();
            if (Peek() == '}') {
                ++at_;
                return v;
            }
            for (;;) {
                Blank();
                if (Peek() != '"')
                    Fail("expected a key");
                std::string key = String();
                Blank();
                if (Peek() != ':')
                    Fail("expected ':'");
                ++at_;
                v.Members.push_back(JMember{std::move(key), Value(depth + 1)});
                Blank();
                if (Peek() == ',') {
                    ++at_;
                    continue;
                }
                if (Peek() != '}')
                    Fail("expected ',' or '}'");
                ++at_;
                return v;
            }
        case '[':
            v.Type = JValue::Kind::Array;
            ++at_;
            Blank();
            if (Peek() == ']') {
                ++at_;
                return v;
            }
            for (;;) {
                v.Items.push_back(Value(depth + 1));
                Blank();
                if (Peek() == ',') {
                    ++at_;
                    continue;
                }
                if (Peek() != ']')
                    Fail("expected ',' or ']'");
                ++at_;
                return v;
            }
        case '"':
            v.Type = JValue::Kind::String;
            v.Text = String();
            return v;
        case 't':
            Expect("true");
            v.Type = JValue::Kind::Bool;
            v.Boolean = true;
            return v;
        case 'f':
            Expect("false");
            v.Type = JValue::Kind::Bool;
            return v;
        case 'n':
            Expect("null");
            return v;
        default:
            v.Type = JValue::Kind::Number;
            v.Text = Number();
            return v;
        }
    }

    // The JSON number grammar, exactly.
    std::string Number() {
        const std::size_t start = at_;
        auto digits = [&] {
            const std::size_t from = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9')
                ++at_;
            return at_ - from;
        };
        if (at_ < s_.size() && s_[at_] == '-')
            ++at_;
        if (at_ < s_.size() && s_[at_] == '0')
            ++at_;
        else if (digits() == 0)
            Fail("bad number");
        if (at_ < s_.size() && s_[at_] == '.') {
            ++at_;
            if (digits() == 0)
                Fail("bad fraction");
        }
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-'))
                ++at_;
            if (digits() == 0)
                Fail("bad exponent");
        }
        return std::string(s_.substr(start, at_ - start));
    }

    unsigned Hex4() {
        if (at_ + 4 > s_.size())
            Fail("short \\u escape");
        unsigned v = 0;
        const auto [end, ec] = std::from_chars(s_.data() + at_, s_.data() + at_ + 4, v, 16);
        if (ec != std::errc() || end != s_.data() + at_ + 4)
            Fail("bad \\u escape");
        at_ += 4;
        return v;
    }

    static void PutUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // One UTF-8 sequence copied as it is, after checking it is well formed.
    void CopyUtf8(std::string& out) {
        const auto b = static_cast<unsigned char>(s_[at_]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            n = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            n = 2;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3;
            cp = b & 0x07;
        } else {
            Fail("invalid UTF-8");
        }
        if (at_ + n >= s_.size())
            Fail("invalid UTF-8");
        for (std::size_t i = 1; i <= n; ++i) {
            const auto c = static_cast<unsigned char>(s_[at_ + i]);
            if ((c & 0xC0) != 0x80)
                Fail("invalid UTF-8");
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            Fail("invalid UTF-8");
        out.append(s_.substr(at_, n + 1));
        at_ += n + 1;
    }

    std::string String() {
        ++at_; // the opening quote
        std::string out;
        for (;;) {
            const char c = Peek();
            if (c == '"') {
                ++at_;
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                Fail("control character in a string");
            if (static_cast<unsigned char>(c) >= 0x80) {
                CopyUtf8(out);
                continue;
            }
            ++at_;
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = Peek();
            ++at_;
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                std::uint32_t cp = Hex4();
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    Expect("\\u");
                    const unsigned low = Hex4();
                    if (low < 0xDC00 || low > 0xDFFF)
                        Fail("lone surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    Fail("lone surrogate");
                }
                PutUtf8(out, cp);
                break;
            }
            default:
                Fail("bad escape");
            }
        }
    }

    std::string_view s_;
    std::size_t at_ = 0;
};

} // namespace

bool JValue::IsInteger() const {
    return Type == Kind::Number && Text.find_first_of(".eE") == std::string::npos;
}

std::optional<std::int64_t> JValue::AsInt64() const {
    if (!IsInteger())
        return std::nullopt;
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), v);
    if (ec != std::errc() || end != Text.data() + Text.size())
        return std::nullopt;
    return v;
}

std::optional<std::uint64_t> JValue::AsUInt64() const {
    if (!IsInteger() || Text.front() == '-')
        return std::nullopt;
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), v);
    if (ec != std::errc() || end != Text.data() + Text.size())
        return std::nullopt;
    return v;
}

std::optional<double> JValue::AsDouble() const {
    if (Type != Kind::Number)
        return std::nullopt;
    double v = 0;
    const auto [end, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), v);
    if (ec != std::errc() || end != Text.data() + Text.size())
        return std::nullopt;
    return v;
}

const JValue* JValue::Find(std::string_view key) const {
    for (const auto& [k, v] : Members)
        if (k == key)
            return &v;
    return nullptr;
}

std::vector<std::string> JValue::RepeatedKeys() const {
    std::map<std::string_view, int> seen;
    std::vector<std::string> out;
    for (const auto& [k, v] : Members)
        if (++seen[k] == 2)
            out.push_back(k);
    return out;
}

std::string JValue::Dump() const {
    switch (Type) {
    case Kind::Null:
        return "null";
    case Kind::Bool:
        return Boolean ? "true" : "false";
    case Kind::Number:
        return Text;
    case Kind::String:
        return JsonQuote(Text);
    case Kind::Array: {
        std::string out = "[";
        for (std::size_t i = 0; i < Items.size(); ++i)
            out += (i ? "," : "") + Items[i].Dump();
        return out + "]";
    }
    case Kind::Object: {
        std::string out = "{";
        for (std::size_t i = 0; i < Members.size(); ++i)
            out += (i ? "," : "") + JsonQuote(Members[i].Key) + ":" + Members[i].Value.Dump();
        return out + "}";
    }
    }
    return "?";
}

std::optional<JValue> ParseJson(std::string_view text, std::string* error) {
    return Parser(text).Document(error);
}

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(c));
                out += hex;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

} // namespace truth
