#include "options/ScriptTree.h"

#include <pugixml.hpp>

#include <array>
#include <cctype>
#include <sstream>
#include <vector>

namespace qor {

namespace {

enum class TTokenKind { Ident, Keyword, String, Number, Symbol, End };

struct TToken {
    TTokenKind Kind = TTokenKind::End;
    std::string Text;            // keywords lower-cased, everything else as written
    int Line = 0, Col = 0;       // first character
    int EndLine = 0, EndCol = 0; // the character after the last one
};

constexpr std::array<std::string_view, 14> kKeywords = {"var", "const", "procedure", "begin", "end",
                                                        "if",  "then",  "else",      "not",   "and",
                                                        "or",  "div",   "mod",       "nil"};

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

class TLexer {
public:
    explicit TLexer(std::string_view src) : src_(src) {}

    std::vector<TToken> Tokens() {
        std::vector<TToken> out;
        for (;;) {
            SkipBlanksAndComments();
            TToken t;
            t.Line = line_;
            t.Col = col_;
            if (pos_ >= src_.size()) {
                t.EndLine = line_;
                t.EndCol = col_;
                out.push_back(t);
                return out;
            }
            const char c = src_[pos_];
            const std::size_t start = pos_;
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                while (pos_ < src_.size() &&
                       (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '_'))
                    Advance();
                t.Text = std::string(src_.substr(start, pos_ - start));
                const std::string lower = Lower(t.Text);
                for (const std::string_view k : kKeywords)
                    if (lower == k) {
                        t.Kind = TTokenKind::Keyword;
                        t.Text = lower;
                    }
                if (t.Kind != TTokenKind::Keyword)
                    t.Kind = TTokenKind::Ident;
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_])))
                    Advance();
                t.Kind = TTokenKind::Number;
                t.Text = std::string(src_.substr(start, pos_ - start));
            } else if (c == '\'') {
                Advance();
                for (;;) {
                    if (pos_ >= src_.size() || src_[pos_] == '\n')
                        Fail(t.Line, t.Col, "unterminated string");
                    if (src_[pos_] == '\'') {
                        Advance();
                        if (pos_ < src_.size() && src_[pos_] == '\'') {
                            Advance();
                            continue;
                        }
                        break;
                    }
                    Advance();
                }
                t.Kind = TTokenKind::String;
                t.Text = std::string(src_.substr(start, pos_ - start));
            } else {
                static constexpr std::array<std::string_view, 4> kPairs = {":=", "<>", "<=", ">="};
                t.Kind = TTokenKind::Symbol;
                for (const std::string_view p : kPairs)
                    if (src_.substr(pos_, 2) == p)
                        t.Text = std::string(p);
                if (t.Text.empty()) {
                    if (std::string_view(":;,.()[]@+-*/=<>").find(c) == std::string_view::npos)
                        Fail(line_, col_, std::string("unexpected character '") + c + "'");
                    t.Text = std::string(1, c);
                }
                for (std::size_t i = 0; i < t.Text.size(); ++i)
                    Advance();
            }
            t.EndLine = line_;
            t.EndCol = col_;
            out.push_back(std::move(t));
        }
    }

    [[noreturn]] static void Fail(int line, int col, const std::string& what) {
        throw EScriptSyntax("Script " + std::to_string(line) + ":" + std::to_string(col) + ": " + what);
    }

private:
    void Advance() {
        if (src_[pos_] == '\n') {
            ++line_;
            col_ = 1;
        } else {
            ++col_;
        }
        ++pos_;
    }
    void SkipBlanksAndComments() {
        for (;;) {
            while (pos_ < src_.size() && static_cast<unsigned char>(src_[pos_]) <= ' ')
                Advance();
            if (src_.substr(pos_, 2) == "//") {
                while (pos_ < src_.size() && src_[pos_] != '\n')
                    Advance();
            } else if (pos_ < src_.size() && src_[pos_] == '{') {
                SkipTo("}", 1);
            } else if (src_.substr(pos_, 2) == "(*") {
                SkipTo("*)", 2);
            } else {
                return;
            }
        }
    }
    void SkipTo(std::string_view close, std::size_t openLength) {
        const int line = line_, col = col_;
        for (std::size_t i = 0; i < openLength; ++i)
            Advance();
        while (pos_ < src_.size() && src_.substr(pos_, close.size()) != close)
            Advance();
        if (pos_ >= src_.size())
            Fail(line, col, "unterminated comment");
        for (std::size_t i = 0; i < close.size(); ++i)
            Advance();
    }

    std::string_view src_;
    std::size_t pos_ = 0;
    int line_ = 1, col_ = 1;
};

std::string Position(int line, int col) {
    return std::to_string(line) + ":" + std::to_string(col);
}

class TParser {
public:
    explicit TParser(std::vector<TToken> tokens) : toks_(std::move(tokens)) {}

    void Program(pugi::xml_node program) {
        while (Cur().Kind != TTokenKind::End) {
            if (IsKeyword("var"))
                VarSection(program);
            else if (IsKeyword("const"))
                ConstSection(program);
            else if (IsKeyword("procedure"))
                Procedure(program);
            else
                Fail("var, const or procedure expected");
        }
    }

private:
    const TToken& Cur() const { return toks_[i_]; }
    const TToken& Prev() const { return toks_[i_ - 1]; }
    bool IsKeyword(std::string_view k) const { return Cur().Kind == TTokenKind::Keyword && Cur().Text == k; }
    bool IsSymbol(std::string_view s) const { return Cur().Kind == TTokenKind::Symbol && Cur().Text == s; }
    [[noreturn]] void Fail(const std::string& what) const {
        TLexer::Fail(Cur().Line, Cur().Col,
                     what + (Cur().Kind == TTokenKind::End ? ", found the end" : ", found " + Cur().Text));
    }
    void ExpectSymbol(std::string_view s) {
        if (!IsSymbol(s))
            Fail("'" + std::string(s) + "' expected");
        ++i_;
    }
    void ExpectKeyword(std::string_view k) {
        if (!IsKeyword(k))
            Fail(std::string(k) + " expected");
        ++i_;
    }

    // An element spanning from token first to the token before the current one.
    static void Span(pugi::xml_node n, const TToken& first, const TToken& last) {
        n.append_attribute("pos") = Position(first.Line, first.Col).c_str();
        n.append_attribute("pos1") = Position(last.EndLine, last.EndCol).c_str();
    }
    // A leaf element for the current token, which it consumes.
    pugi::xml_node Leaf(pugi::xml_node parent, const char* element) {
        pugi::xml_node n = parent.append_child(element);
        n.append_attribute("text") = Cur().Text.c_str();
        Span(n, Cur(), Cur());
        ++i_;
        return n;
    }
    pugi::xml_node Ident(pugi::xml_node parent, const char* element) {
        if (Cur().Kind != TTokenKind::Ident)
            Fail("identifier expected");
        return Leaf(parent, element);
    }

    // names ":" type, the names as ident elements and the type as type.
    void NamesAndType(pugi::xml_node parent) {
        Ident(parent, "ident");
        while (IsSymbol(",")) {
            ++i_;
            Ident(parent, "ident");
        }
        ExpectSymbol(":");
        Ident(parent, "type");
    }

    void VarSection(pugi::xml_node parent) {
        ++i_;
        do {
            const std::size_t first = i_;
            pugi::xml_node var = parent.append_child("var");
            NamesAndType(var);
            ExpectSymbol(";");
            Span(var, toks_[first], Prev());
        } while (Cur().Kind == TTokenKind::Ident);
    }

    void ConstSection(pugi::xml_node parent) {
        ++i_;
        do {
            const std::size_t first = i_;
            pugi::xml_node c = parent.append_child("const");
            Ident(c, "ident");
            ExpectSymbol("=");
            Expr(c);
            ExpectSymbol(";");
            Span(c, toks_[first], Prev());
        } while (Cur().Kind == TTokenKind::Ident);
    }

    void Procedure(pugi::xml_node parent) {
        const std::size_t first = i_;
        ++i_;
        pugi::xml_node proc = parent.append_child("procedure");
        Ident(proc, "name");
        if (IsSymbol("(")) {
            const std::size_t open = i_;
            ++i_;
            pugi::xml_node params = proc.append_child("parameters");
            NamesAndType(params);
            while (IsSymbol(";")) {
                ++i_;
                NamesAndType(params);
            }
            ExpectSymbol(")");
            Span(params, toks_[open], Prev());
        }
        ExpectSymbol(";");
        while (IsKeyword("var"))
            VarSection(proc);
        Compound(proc);
        ExpectSymbol(";");
        Span(proc, toks_[first], Prev());
    }

    void Compound(pugi::xml_node parent) {
        const std::size_t first = i_;
        ExpectKeyword("begin");
        pugi::xml_node block = parent.append_child("compoundstmt");
        for (;;) {
            if (IsKeyword("end"))
                break;
            Statement(block);
            if (!IsSymbol(";"))
                break;
            ++i_;
        }
        ExpectKeyword("end");
        Span(block, toks_[first], Prev());
    }

    void Statement(pugi::xml_node parent) {
        if (IsKeyword("begin")) {
            Compound(parent);
            return;
        }
        const std::size_t first = i_;
        if (IsKeyword("if")) {
            ++i_;
            pugi::xml_node stmt = parent.append_child("ifstmt");
            Expr(stmt);
            const std::size_t thenFirst = i_;
            ExpectKeyword("then");
            pugi::xml_node thenPart = stmt.append_child("thenstmt");
            Statement(thenPart);
            Span(thenPart, toks_[thenFirst], Prev());
            if (IsKeyword("else")) {
                const std::size_t elseFirst = i_;
                ++i_;
                pugi::xml_node elsePart = stmt.append_child("elsestmt");
                Statement(elsePart);
                Span(elsePart, toks_[elseFirst], Prev());
            }
            Span(stmt, toks_[first], Prev());
            return;
        }
        if (Cur().Kind != TTokenKind::Ident)
            Fail("statement expected");
        pugi::xml_node stmt = parent.append_child("callstmt");
        Designator(stmt);
        if (IsSymbol(":=")) {
            stmt.set_name("assignstmt");
            ++i_;
            Expr(stmt);
        }
        Span(stmt, toks_[first], Prev());
    }

    // designator: name { "." name | "(" args ")" }
    void Designator(pugi::xml_node parent) {
        const std::size_t first = i_;
        pugi::xml_node d = Ident(parent, "dsgn");
        for (;;) {
            if (IsSymbol(".")) {
                ++i_;
                Ident(d, "ident");
            } else if (IsSymbol("(")) {
                const std::size_t open = i_;
                ++i_;
                pugi::xml_node args = d.append_child("parameters");
                if (!IsSymbol(")")) {
                    Expr(args);
                    while (IsSymbol(",")) {
                        ++i_;
                        Expr(args);
                    }
                }
                ExpectSymbol(")");
                Span(args, toks_[open], Prev());
            } else {
                break;
            }
        }
        // Move the span attributes after text: the leaf was spanned by its first token only.
        d.remove_attribute("pos");
        d.remove_attribute("pos1");
        Span(d, toks_[first], Prev());
    }

    // The operators of each precedence level, loosest first.
    static int Level(const TToken& t) {
        if (t.Kind == TTokenKind::Symbol) {
            if (t.Text == "=" || t.Text == "<>" || t.Text == "<" || t.Text == ">" || t.Text == "<=" ||
                t.Text == ">=")
                return 0;
            if (t.Text == "+" || t.Text == "-")
                return 1;
            if (t.Text == "*" || t.Text == "/")
                return 2;
        } else if (t.Kind == TTokenKind::Keyword) {
            if (t.Text == "or")
                return 1;
            if (t.Text == "and" || t.Text == "div" || t.Text == "mod")
                return 2;
        }
        return -1;
    }

    void Expr(pugi::xml_node parent) {
        const std::size_t first = i_;
        pugi::xml_node e = parent.append_child("expr");
        Binary(e, 0);
        Span(e, toks_[first], Prev());
    }

    // Operands of level and above, appended to parent as one operand.
    void Binary(pugi::xml_node parent, int level) {
        if (level > 2) {
            Factor(parent);
            return;
        }
        const std::size_t first = i_;
        Binary(parent, level + 1);
        while (Level(Cur()) == level) {
            // Wrap what is there so far as the left operand of a node.
            pugi::xml_node node = parent.append_child("node");
            pugi::xml_node left = parent.first_child() == node ? pugi::xml_node() : node.previous_sibling();
            node.append_move(left);
            Leaf(node, "op");
            Binary(node, level + 1);
            Span(node, toks_[first], Prev());
            if (level == 0)
                break; // comparisons do not chain
        }
    }

    void Factor(pugi::xml_node parent) {
        const TToken& t = Cur();
        if (t.Kind == TTokenKind::String) {
            Leaf(parent, "string");
        } else if (t.Kind == TTokenKind::Number) {
            Leaf(parent, "number");
        } else if (t.Kind == TTokenKind::Ident) {
            Designator(parent);
        } else if (t.Kind == TTokenKind::Keyword && t.Text == "nil") {
            Leaf(parent, "dsgn");
        } else if ((t.Kind == TTokenKind::Keyword && t.Text == "not") ||
                   (t.Kind == TTokenKind::Symbol && t.Text == "-")) {
            const std::size_t first = i_;
            pugi::xml_node node = parent.append_child("node");
            Leaf(node, "op");
            Factor(node);
            Span(node, toks_[first], Prev());
        } else if (IsSymbol("@")) {
            const std::size_t first = i_;
            ++i_;
            pugi::xml_node addr = parent.append_child("addr");
            Designator(addr);
            Span(addr, toks_[first], Prev());
        } else if (IsSymbol("(")) {
            ++i_;
            Expr(parent);
            ExpectSymbol(")");
        } else if (IsSymbol("[")) {
            const std::size_t first = i_;
            ++i_;
            pugi::xml_node set = parent.append_child("set");
            if (!IsSymbol("]")) {
                Expr(set);
                while (IsSymbol(",")) {
                    ++i_;
                    Expr(set);
                }
            }
            ExpectSymbol("]");
            Span(set, toks_[first], Prev());
        } else {
            Fail("operand expected");
        }
    }

    std::vector<TToken> toks_;
    std::size_t i_ = 0;
};

} // namespace

std::string ScriptToXml(std::string_view source) {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    pugi::xml_node program = doc.append_child("program");
    TParser(TLexer(source).Tokens()).Program(program);
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
    return out.str();
}

} // namespace qor
