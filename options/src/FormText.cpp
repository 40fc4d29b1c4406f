#include "options/FormText.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>

namespace qor {

namespace {

class TFormTextReader {
public:
    explicit TFormTextReader(std::string_view text) : text_(text) {}

    TStreamObject ReadRoot() {
        TStreamObject root = ReadObject();
        SkipBlanks();
        if (pos_ != text_.size())
            Fail("text after the last end");
        return root;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw EFormTextError("Form text, line " + std::to_string(line_) + ": " + what);
    }

    void SkipBlanks() {
        while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) <= ' ') {
            if (text_[pos_] == '\n')
                ++line_;
            ++pos_;
        }
    }
    bool AtEnd() {
        SkipBlanks();
        return pos_ >= text_.size();
    }
    char Peek() { return AtEnd() ? '\0' : text_[pos_]; }
    void Expect(char c) {
        if (Peek() != c)
            Fail(std::string("'") + c + "' expected");
        ++pos_;
    }
    static bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

    // A name, possibly dotted ("Font.Name").
    std::string Name() {
        SkipBlanks();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && (IsIdentChar(text_[pos_]) || (text_[pos_] == '.' && pos_ > start)))
            ++pos_;
        if (pos_ == start)
            Fail("name expected");
        return std::string(text_.substr(start, pos_ - start));
    }

    TStreamObject ReadObject() {
        TStreamObject obj;
        const std::string kind = Name();
        if (kind == "inherited")
            obj.Flags |= ffInherited;
        else if (kind == "inline")
            obj.Flags |= ffInline;
        else if (kind != "object")
            Fail("object expected, found " + kind);
        obj.Name = Name();
        Expect(':');
        obj.ClassName = Name();
        if (Peek() == '[') {
            ++pos_;
            obj.Flags |= ffChildPos;
            obj.ChildPos = static_cast<std::int32_t>(ReadNumber().AsInteger());
            Expect(']');
        }
        for (;;) {
            if (AtEnd())
                Fail("end expected");
            const std::size_t mark = pos_;
            const int markLine = line_;
            const std::string word = Name();
            if (word == "end")
                return obj;
            if (word == "object" || word == "inherited" || word == "inline") {
                pos_ = mark;
                line_ = markLine;
                obj.Children.push_back(ReadObject());
                continue;
            }
            Expect('=');
            obj.Properties.push_back({word, ReadValue()});
        }
    }

    TStreamValue ReadNumber() {
        SkipBlanks();
        const std::size_t start = pos_;
        if (pos_ < text_.size() && (text_[pos_] == '-' || text_[pos_] == '+'))
            ++pos_;
        bool isFloat = false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (std::isdigit(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (c == '.' || c == 'E' || c == 'e') {
                isFloat = true;
                ++pos_;
                if (pos_ < text_.size() && (c == 'E' || c == 'e') &&
                    (text_[pos_] == '-' || text_[pos_] == '+'))
                    ++pos_;
            } else {
                break;
            }
        }
        const std::string digits(text_.substr(start, pos_ - start));
        if (isFloat) {
            char* end = nullptr;
            const double v = std::strtod(digits.c_str(), &end);
            if (end != digits.c_str() + digits.size())
                Fail("bad number " + digits);
            return TStreamValue::Float80(v);
        }
        std::int64_t v = 0;
        const char* first = digits.c_str() + (digits.starts_with('+') ? 1 : 0);
        const auto [ptr, ec] = std::from_chars(first, digits.c_str() + digits.size(), v);
        if (ec != std::errc() || ptr != digits.c_str() + digits.size())
            Fail("bad number " + digits);
        return TStreamValue::Integer(v);
    }

    static void AppendUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // Quoted pieces and #code pieces, side by side or joined by "+". A piece
    // after a blank or a line end without "+" is the next value (the items
    // of a list stand one per line).
    std::string ReadString() {
        std::string out;
        SkipBlanks();
        for (;;) {
            const char c = pos_ < text_.size() ? text_[pos_] : '\0';
            if (c == '\'') {
                ++pos_;
                for (;;) {
                    if (pos_ >= text_.size() || text_[pos_] == '\n')
                        Fail("unterminated string");
                    if (text_[pos_] == '\'') {
                        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
                            out += '\'';
                            pos_ += 2;
                            continue;
                        }
                        ++pos_;
                        break;
                    }
                    out += text_[pos_++];
                }
            } else if (c == '#') {
                ++pos_;
                const std::size_t start = pos_;
                while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_])))
                    ++pos_;
                std::uint32_t cp = 0;
                const auto [ptr, ec] = std::from_chars(text_.data() + start, text_.data() + pos_, cp);
                if (ec != std::errc() || pos_ == start || cp > 0x10FFFF)
                    Fail("bad character code");
                AppendUtf8(out, cp);
            } else {
                const std::size_t mark = pos_;
                const int markLine = line_;
                if (Peek() != '+') {
                    pos_ = mark;
                    line_ = markLine;
                    return out;
                }
                ++pos_;
                const char next = Peek();
                if (next != '\'' && next != '#')
                    Fail("string expected after +");
            }
        }
    }

    TStreamValue ReadValue() {
        const char c = Peek();
        if (c == '\'' || c == '#')
            return TStreamValue::Str(ReadString());
        if (c == '-' || c == '+' || std::isdigit(static_cast<unsigned char>(c)))
            return ReadNumber();
        if (c == '[') {
            ++pos_;
            std::vector<std::string> elements;
            while (Peek() != ']') {
                if (!elements.empty())
                    Expect(',');
                elements.push_back(Name());
            }
            ++pos_;
            return TStreamValue::SetOf(std::move(elements));
        }
        if (c == '(') {
            ++pos_;
            std::vector<TStreamValue> items;
            while (Peek() != ')') {
                if (AtEnd())
                    Fail("')' expected");
                items.push_back(ReadValue());
            }
            ++pos_;
            return TStreamValue::ListOf(std::move(items));
        }
        if (c == '{') {
            ++pos_;
            std::vector<std::uint8_t> bytes;
            std::string digits;
            while (Peek() != '}') {
                if (AtEnd() || !std::isxdigit(static_cast<unsigned char>(text_[pos_])))
                    Fail("hexadecimal digit expected");
                digits += text_[pos_++];
                if (digits.size() == 2) {
                    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16)));
                    digits.clear();
                }
            }
            ++pos_;
            if (!digits.empty())
                Fail("odd number of hexadecimal digits");
            return TStreamValue::Bin(std::move(bytes));
        }
        if (c == '<')
            Fail("collections are not read");
        const std::string word = Name();
        if (word == "True" || word == "False")
            return TStreamValue::Boolean(word == "True");
        if (word == "nil")
            return TStreamValue::Of(TValueType::Nil);
        return TStreamValue::Identifier(word);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

} // namespace

TStreamObject ReadObjectText(std::string_view text) {
    return TFormTextReader(text).ReadRoot();
}

} // namespace qor
