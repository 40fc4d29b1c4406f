#include "options/qorStringHolder.h"

#include "options/WtranslCodePages.h"

namespace qor {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Hexadecimal pairs to bytes; a pair that is not a number gives 32, an odd
// last digit is dropped.
std::string HexToBytes(std::string_view hex) {
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        out.push_back(hi < 0 || lo < 0 ? ' ' : static_cast<char>(hi * 16 + lo));
    }
    return out;
}

void Xor(std::string& data, std::string_view key) {
    if (key.empty())
        return;
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(data[i] ^ key[i % key.size()]);
}

} // namespace

TqorStrHolder::TqorStrHolder() {
    Publish(
        "Capacity", TTypeKind::Integer, [this] { return Variant(strings_.Capacity()); },
        [this](const Variant& v) { strings_.SetCapacity(v.AsInteger()); });
    PublishEnum("Duplicates", strings_.Duplicates, {"dupIgnore", "dupAccept", "dupError"})
        .WithDefault(Variant("dupIgnore"));
    Publish("KeyString", KeyString);
    Publish(
        "Sorted", TTypeKind::Boolean, [this] { return Variant(strings_.Sorted()); },
        [this](const Variant& v) { strings_.SetSorted(v.AsBoolean()); })
        .WithDefault(Variant(false));
    // The strings are stored in "StrData", not as a published property.
    Publish("Strings", strings_).NotStored();
    PublishMethod("OnChange", onChange_);
    PublishMethod("OnChanging", onChanging_);
}

bool TqorStrHolder::Assign(const TPersistent& source) {
    if (const auto* holder = dynamic_cast<const TqorStrHolder*>(&source)) {
        if (holder != this)
            strings_.Assign(holder->strings_.Lines());
        return true;
    }
    return strings_.Assign(source);
}

std::string TqorStrHolder::EncodeString(std::string_view text, std::string_view key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string bytes(text);
    Xor(bytes, key);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

std::string TqorStrHolder::DecodeString(std::string_view data, std::string_view key, int version) {
    std::string bytes;
    if (version >= 1) {
        bytes = HexToBytes(data);
        Xor(bytes, key);
        // Version 2 holds UTF-8; version 1 the single-byte text of its platform.
        return version >= 2 ? bytes : DecodeCodePage(bytes, 0);
    }
    bytes = std::string(data.substr(0, 255));
    Xor(bytes, key.substr(0, 255));
    return DecodeCodePage(bytes, 0);
}

bool TqorStrHolder::ReadDefinedProperty(std::string_view name, const TStreamValue& value) {
    auto is = [&](std::string_view n) {
        if (name.size() != n.size())
            return false;
        for (std::size_t i = 0; i < n.size(); ++i)
            if ((name[i] | 0x20) != (n[i] | 0x20))
                return false;
        return true;
    };
    if (is("InternalVer")) {
        streamVersion_ = static_cast<int>(value.AsInteger());
        return true;
    }
    if (!is("StrData"))
        return TComponent::ReadDefinedProperty(name, value);
    if (value.Type != TValueType::List)
        throw EReadError("Invalid property value");
    for (const auto& item : value.Items)
        if (!item.IsString())
            throw EReadError("Invalid property value");
    strings_.BeginUpdate();
    strings_.Clear();
    if (!value.Items.empty()) {
        KeyString = value.Items[0].Text;
        for (std::size_t i = 1; i < value.Items.size(); ++i)
            strings_.Add(DecodeString(value.Items[i].Text, KeyString, streamVersion_));
    }
    strings_.EndUpdate();
    return true;
}

void TqorStrHolder::WriteDefinedProperties(std::vector<TStreamProperty>& out) const {
    TComponent::WriteDefinedProperties(out);
    out.push_back({"InternalVer", TStreamValue::Integer(kStreamVersion)});
    if (strings_.Empty() && KeyString.empty())
        return;
    std::vector<TStreamValue> items;
    items.push_back(TStreamValue::Str(KeyString));
    for (const auto& s : strings_.Lines())
        items.push_back(TStreamValue::Str(EncodeString(s, KeyString)));
    out.push_back({"StrData", TStreamValue::ListOf(std::move(items))});
}

} // namespace qor
