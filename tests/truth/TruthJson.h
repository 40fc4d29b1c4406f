// A strict JSON reader for the truth test, on the events of the library's
// parser. It keeps what a document object hides: object members in order with
// every repeated key (a reader that keeps one of two equal keys would hide a
// value overwritten by its name), and numbers as their text, so that a ULINT
// is compared as an unsigned 64-bit integer and a REAL as the exact double its
// text denotes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace truth {

struct JMember;

struct JValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind Type = Kind::Null;
    bool Boolean = false;
    std::string Text; // a number's text, or a string's decoded UTF-8
    std::vector<JValue> Items;
    std::vector<JMember> Members; // in order, repeats kept

    bool IsInteger() const; // a number without fraction or exponent
    std::optional<std::int64_t> AsInt64() const;
    std::optional<std::uint64_t> AsUInt64() const;
    std::optional<double> AsDouble() const;
    // The first member of that name.
    const JValue* Find(std::string_view key) const;
    // Keys that occur more than once, each once.
    std::vector<std::string> RepeatedKeys() const;
    // Compact text for messages.
    std::string Dump() const;
};

struct JMember {
    std::string Key;
    JValue Value;
};

// Parses one whole JSON text; nothing (and the reason in error) when it is not
// one, including trailing bytes and invalid UTF-8 in strings.
std::optional<JValue> ParseJson(std::string_view text, std::string* error = nullptr);

// A JSON string literal of a text.
std::string JsonQuote(std::string_view text);

} // namespace truth
