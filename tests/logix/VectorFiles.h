// Access to the bytes recorded from real controllers, which live beside the
// repository and are read at run time: a small JSON reader for their
// machine-readable files and a hex decoder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace logixtest {

inline std::filesystem::path VectorsDir() { return std::filesystem::path(LOGIX_VECTORS_DIR); }

inline std::optional<std::string> ReadVectorFile(const std::string& relative) {
    std::ifstream in(VectorsDir() / relative, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#define LOGIX_VECTOR_FILE(var, relative)                                                                   \
    const auto var##Text = logixtest::ReadVectorFile(relative);                                             \
    if (!var##Text)                                                                                        \
        GTEST_SKIP() << "recorded vectors not present: " << (logixtest::VectorsDir() / relative).string(); \
    const std::string& var = *var##Text

inline std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        if (v < 0)
            continue;
        if (high < 0)
            high = v;
        else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

// A JSON value: null, boolean, number, string, array or object.
struct Json {
    using Array = std::vector<Json>;
    using Object = std::map<std::string, Json>;
    std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>, std::shared_ptr<Object>> V;

    bool IsNull() const { return std::holds_alternative<std::nullptr_t>(V); }
    bool IsNumber() const { return std::holds_alternative<double>(V); }
    bool IsString() const { return std::holds_alternative<std::string>(V); }
    bool IsArray() const { return std::holds_alternative<std::shared_ptr<Array>>(V); }
    bool IsObject() const { return std::holds_alternative<std::shared_ptr<Object>>(V); }
    bool Bool() const { return std::get<bool>(V); }
    double Number() const { return std::get<double>(V); }
    long long Int() const { return static_cast<long long>(std::get<double>(V)); }
    const std::string& Str() const { return std::get<std::string>(V); }
    const Array& Arr() const { return *std::get<std::shared_ptr<Array>>(V); }
    const Object& Obj() const { return *std::get<std::shared_ptr<Object>>(V); }
    bool Has(const std::string& key) const { return IsObject() && Obj().count(key) != 0; }
    const Json& operator[](const std::string& key) const { return Obj().at(key); }
    const Json& operator[](std::size_t i) const { return Arr().at(i); }

    static Json Parse(std::string_view text) {
        std::size_t at = 0;
        Json v = ParseValue(text, at);
        return v;
    }

private:
    static void Skip(std::string_view t, std::size_t& at) {
        while (at < t.size() && (t[at] == ' ' || t[at] == '\n' || t[at] == '\r' || t[at] == '\t'))
            ++at;
    }
    static Json ParseValue(std::string_view t, std::size_t& at) {
        Skip(t, at);
        if (at >= t.size())
            throw std::runtime_error("JSON: unexpected end");
        const char c = t[at];
        Json out;
        if (c == '{') {
            auto obj = std::make_shared<Object>();
            ++at;
            Skip(t, at);
            if (t[at] == '}') {
                ++at;
            } else {
                for (;;) {
                    Skip(t, at);
                    std::string key = ParseString(t, at);
                    Skip(t, at);
                    ++at; // ':'
                    (*obj)[key] = ParseValue(t, at);
                    Skip(t, at);
                    if (t[at++] == '}')
                        break;
                }
            }
            out.V = obj;
        } else if (c == '[') {
            auto arr = std::make_shared<Array>();
            ++at;
            Skip(t, at);
            if (t[at] == ']') {
                ++at;
            } else {
                for (;;) {
                    arr->push_back(ParseValue(t, at));
                    Skip(t, at);
                    if (t[at++] == ']')
                        break;
                }
            }
            out.V = arr;
        } else if (c == '"') {
            out.V = ParseString(t, at);
        } else if (t.substr(at, 4) == "true") {
            out.V = true;
            at += 4;
        } else if (t.substr(at, 5) == "false") {
            out.V = false;
            at += 5;
        } else if (t.substr(at, 4) == "null") {
            out.V = nullptr;
            at += 4;
        } else {
            std::size_t end = at;
            while (end < t.size() && std::string_view("+-0123456789.eE").find(t[end]) != std::string_view::npos)
                ++end;
            out.V = std::stod(std::string(t.substr(at, end - at)));
            at = end;
        }
        return out;
    }
    static std::string ParseString(std::string_view t, std::size_t& at) {
        std::string s;
        ++at; // opening quote
        while (at < t.size() && t[at] != '"') {
            char c = t[at++];
            if (c == '\\') {
                const char e = t[at++];
                switch (e) {
                case 'n':
                    s += '\n';
                    break;
                case 't':
                    s += '\t';
                    break;
                case 'u': {
                    const unsigned code = std::stoul(std::string(t.substr(at, 4)), nullptr, 16);
                    at += 4;
                    if (code < 0x80)
                        s += static_cast<char>(code);
                    else if (code < 0x800) {
                        s += static_cast<char>(0xC0 | (code >> 6));
                        s += static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        s += static_cast<char>(0xE0 | (code >> 12));
                        s += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                        s += static_cast<char>(0x80 | (code & 0x3F));
                    }
                    break;
                }
                default:
                    s += e;
                }
            } else {
                s += c;
            }
        }
        ++at; // closing quote
        return s;
    }
};

// One JSON value per line.
inline std::vector<Json> ParseJsonLines(const std::string& text) {
    std::vector<Json> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            lines.push_back(Json::Parse(line));
    return lines;
}

// The entry of curated.jsonl with that id.
inline std::optional<Json> CuratedVector(const std::vector<Json>& curated, const std::string& id) {
    for (const auto& v : curated)
        if (v.Has("id") && v["id"].Str() == id)
            return v;
    return std::nullopt;
}

} // namespace logixtest

namespace logixtest {

// The index-th fenced block inside the VECTORS.md section whose heading
// starts with heading ("### GG-01").
inline std::optional<std::string> SectionBlock(const std::string& markdown, const std::string& heading,
                                               int index = 0) {
    std::size_t at = markdown.find(heading);
    if (at == std::string::npos)
        return std::nullopt;
    const std::size_t end = markdown.find("\n## ", at) < markdown.find("\n### ", at + 1)
                                ? markdown.find("\n## ", at)
                                : markdown.find("\n### ", at + 1);
    for (int i = 0;; ++i) {
        const std::size_t open = markdown.find("```", at);
        if (open == std::string::npos || open >= end)
            return std::nullopt;
        const std::size_t body = markdown.find('\n', open) + 1;
        const std::size_t close = markdown.find("```", body);
        if (close == std::string::npos)
            return std::nullopt;
        if (i == index)
            return markdown.substr(body, close - body);
        at = close + 3;
    }
}

} // namespace logixtest
