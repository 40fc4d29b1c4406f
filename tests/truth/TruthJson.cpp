#include "TruthJson.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <map>

namespace truth {
namespace {

// Builds the tree from the parser's events: every member in order (repeated
// keys too) and every number as its text. The containers open at the moment
// are on the stack; a value goes into the innermost one, whose earlier
// children may move, never the containers themselves.
class Builder {
public:
    using Json = nlohmann::json;

    bool null() { return Put(JValue{}); }
    bool boolean(bool v) {
        JValue j;
        j.Type = JValue::Kind::Bool;
        j.Boolean = v;
        return Put(std::move(j));
    }
    bool number_integer(Json::number_integer_t v) { return Number(std::to_string(v)); }
    bool number_unsigned(Json::number_unsigned_t v) { return Number(std::to_string(v)); }
    bool number_float(Json::number_float_t, const std::string& text) { return Number(text); }
    bool string(std::string& text) {
        JValue j;
        j.Type = JValue::Kind::String;
        j.Text = std::move(text);
        return Put(std::move(j));
    }
    bool binary(Json::binary_t&) { return false; }
    bool start_object(std::size_t) { return Open(JValue::Kind::Object); }
    bool key(std::string& key) {
        key_ = std::move(key);
        return true;
    }
    bool end_object() { return Close(); }
    bool start_array(std::size_t) { return Open(JValue::Kind::Array); }
    bool end_array() { return Close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        error_ = e.what();
        return false;
    }

    JValue& Root() { return root_; }
    const std::string& Error() const { return error_; }

private:
    JValue* Place(JValue v) {
        if (open_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        JValue& in = *open_.back();
        if (in.Type == JValue::Kind::Array) {
            in.Items.push_back(std::move(v));
            return &in.Items.back();
        }
        in.Members.push_back(JMember{std::move(key_), std::move(v)});
        return &in.Members.back().Value;
    }
    bool Put(JValue v) {
        Place(std::move(v));
        return true;
    }
    bool Number(std::string text) {
        JValue j;
        j.Type = JValue::Kind::Number;
        j.Text = std::move(text);
        return Put(std::move(j));
    }
    bool Open(JValue::Kind kind) {
        JValue j;
        j.Type = kind;
        open_.push_back(Place(std::move(j)));
        return true;
    }
    bool Close() {
        open_.pop_back();
        return true;
    }

    JValue root_;
    std::vector<JValue*> open_;
    std::string key_;
    std::string error_;
};

} // namespace

bool JValue::IsInteger() const {
    return Type == Kind::Number && Text.find_first_of(".eE") == std::string::npos;
}

namespace {

// The whole text as a number of that type, or nothing.
template <class T>
std::optional<T> Whole(const std::string& text) {
    T v{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return v;
}

} // namespace

std::optional<std::int64_t> JValue::AsInt64() const {
    return IsInteger() ? Whole<std::int64_t>(Text) : std::nullopt;
}

std::optional<std::uint64_t> JValue::AsUInt64() const {
    return IsInteger() && Text.front() != '-' ? Whole<std::uint64_t>(Text) : std::nullopt;
}

std::optional<double> JValue::AsDouble() const {
    return Type == Kind::Number ? Whole<double>(Text) : std::nullopt;
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
    // Strict: one whole text, trailing bytes and invalid UTF-8 refused.
    Builder builder;
    if (!nlohmann::json::sax_parse(text, &builder, nlohmann::json::input_format_t::json, true)) {
        if (error)
            *error = builder.Error();
        return std::nullopt;
    }
    return std::move(builder.Root());
}

std::string JsonQuote(std::string_view text) {
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace truth
