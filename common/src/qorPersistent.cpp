#include "common/qorPersistent.h"

#include "common/qorStrUtils.h"

#include "common/qorStringList.h"

namespace qor {

namespace {

[[noreturn]] void RangeError() {
    throw EPropertyError("Range check error");
}

} // namespace

bool TPersistent::Assign(const TPersistent&) {
    return false;
}

const TPropInfo* TPersistent::FindProperty(std::string_view name) const {
    for (const auto& p : props_)
        if (SameText(p.Name, name))
            return &p;
    return nullptr;
}

bool TPersistent::ReadDefinedProperty(std::string_view, const TStreamValue&) {
    return false;
}

void TPersistent::WriteDefinedProperties(std::vector<TStreamProperty>&) const {}

bool TPersistent::FindItemProperty(std::string_view, TPropertyRef&) {
    return false;
}

TPropInfo& TPersistent::Publish(TPropInfo info) {
    // A derived class may declare a property of its base again: the later
    // declaration replaces the earlier one in its place.
    for (auto& p : props_) {
        if (SameText(p.Name, info.Name)) {
            p = std::move(info);
            return p;
        }
    }
    props_.push_back(std::move(info));
    return props_.back();
}

TPropInfo& TPersistent::Publish(std::string_view name, TTypeKind kind, std::function<Variant()> get,
                                std::function<void(const Variant&)> set) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = kind;
    p.Get = std::move(get);
    p.Set = std::move(set);
    return Publish(std::move(p));
}

TPropInfo& TPersistent::Publish(std::string_view name, bool& field) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Boolean;
    p.Get = [&field] { return Variant(field); };
    p.Set = [&field](const Variant& v) { field = v.AsBoolean(); };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::Publish(std::string_view name, char& field) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Char;
    p.Get = [&field] { return Variant(std::string(field == '\0' ? 0 : 1, field)); };
    p.Set = [&field](const Variant& v) {
        if (v.IsString()) {
            const std::string s = v.AsString();
            field = s.empty() ? '\0' : s[0];
        } else {
            field = static_cast<char>(CheckedInteger(v, 0, 255));
        }
    };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::Publish(std::string_view name, float& field) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Float;
    p.Get = [&field] { return Variant(field); };
    p.Set = [&field](const Variant& v) { field = static_cast<float>(v.AsDouble()); };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::Publish(std::string_view name, double& field) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Float;
    p.Get = [&field] { return Variant(field); };
    p.Set = [&field](const Variant& v) { field = v.AsDouble(); };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::Publish(std::string_view name, std::string& field) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::String;
    p.Get = [&field] { return Variant(field); };
    p.Set = [&field](const Variant& v) { field = v.AsString(); };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::Publish(std::string_view name, Variant& field) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Variant;
    p.Get = [&field] { return field; };
    p.Set = [&field](const Variant& v) { field = v; };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::Publish(std::string_view name, TStringList& list) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::StringList;
    p.Get = [&list] { return Variant(list.Text()); };
    p.Set = [&list](const Variant& v) { list.SetText(v.AsString()); };
    p.Object = [&list]() -> TPersistent* { return &list; };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::PublishObject(std::string_view name, TPersistent& object) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Class;
    p.Object = [&object]() -> TPersistent* { return &object; };
    return Publish(std::move(p));
}

TPropInfo& TPersistent::PublishMethod(std::string_view name, std::string& handlerName) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Method;
    p.Get = [&handlerName] { return Variant(handlerName); };
    p.Set = [&handlerName](const Variant& v) { handlerName = v.AsString(); };
    return Publish(std::move(p));
}

std::int64_t TPersistent::CheckedInteger(const Variant& v, std::int64_t lo, std::int64_t hi) {
    const std::int64_t x = v.AsInt64();
    if (x < lo || x > hi)
        RangeError();
    return x;
}

std::uint64_t TPersistent::CheckedUnsigned(const Variant& v, std::uint64_t hi) {
    if (v.Type() == VarType::UInt64) {
        const std::uint64_t x = v.AsUInt64();
        if (x > hi)
            RangeError();
        return x;
    }
    const std::int64_t x = v.AsInt64();
    if (x < 0 || static_cast<std::uint64_t>(x) > hi)
        RangeError();
    return static_cast<std::uint64_t>(x);
}

std::int64_t TPersistent::EnumOrdinal(const Variant& v, const std::vector<std::string>& names) {
    if (v.IsString()) {
        const std::string s = v.AsString();
        for (std::size_t i = 0; i < names.size(); ++i)
            if (SameText(names[i], Trim(s)))
                return static_cast<std::int64_t>(i);
    }
    std::int64_t ordinal = -1;
    try {
        ordinal = v.AsInt64();
    } catch (const EVariantError&) {
    }
    if (ordinal < 0 || (!names.empty() && ordinal >= static_cast<std::int64_t>(names.size())))
        throw EPropertyError("Invalid property value");
    return ordinal;
}

std::uint64_t TPersistent::SetBits(const Variant& v, const std::vector<std::string>& names) {
    if (!v.IsString())
        return v.AsUInt64();
    const std::string text = v.AsString();
    std::string_view s = Trim(text);
    if (!s.empty() && s.front() == '[')
        s.remove_prefix(1);
    if (!s.empty() && s.back() == ']')
        s.remove_suffix(1);
    std::uint64_t bits = 0;
    while (!s.empty()) {
        const std::size_t comma = s.find(',');
        const std::string_view element = Trim(s.substr(0, comma));
        s = comma == std::string_view::npos ? std::string_view() : s.substr(comma + 1);
        if (element.empty())
            continue;
        bool found = false;
        for (std::size_t i = 0; i < names.size() && i < 64; ++i) {
            if (SameText(names[i], element)) {
                bits |= std::uint64_t(1) << i;
                found = true;
                break;
            }
        }
        if (!found)
            throw EPropertyError("Invalid property value");
    }
    return bits;
}

std::string TPersistent::SetText(std::uint64_t bits, const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < 64; ++i) {
        if ((bits >> i) & 1) {
            if (!out.empty())
                out += ',';
            out += i < names.size() ? names[i] : std::to_string(i);
        }
    }
    return out;
}

Variant TPropertyRef::Get() const {
    if (info_) {
        if (!info_->Get)
            throw EPropertyError("Property " + info_->Name + " is not readable");
        return info_->Get();
    }
    if (!get_)
        throw EPropertyError("Property " + name_ + " is not readable");
    return get_();
}

void TPropertyRef::Set(const Variant& value) const {
    if (info_) {
        if (!info_->Set)
            throw EPropertyError("Property " + info_->Name + " is read-only");
        info_->Set(value);
        return;
    }
    if (!set_)
        throw EPropertyError("Property " + name_ + " is read-only");
    set_(value);
}

Variant VarAsType(const Variant& value, VarType type) {
    if (value.IsEmptyOrNull())
        return value;
    auto ranged = [&](std::int64_t lo, std::int64_t hi) {
        const std::int64_t x = value.AsInt64();
        if (x < lo || x > hi)
            throw EVariantError("Could not convert variant of type (" + VarTypeName(value.Type()) +
                                ") into type (" + VarTypeName(type) + ")");
        return x;
    };
    switch (type) {
    case VarType::Smallint:
        return Variant(static_cast<std::int16_t>(ranged(INT16_MIN, INT16_MAX)));
    case VarType::Integer:
        return Variant(value.AsInteger());
    case VarType::Single:
        return Variant(static_cast<float>(value.AsDouble()));
    case VarType::Double:
        return Variant(value.AsDouble());
    case VarType::Currency:
        return Variant::FromCurrency(value.AsCurrency());
    case VarType::Date:
        return Variant::FromDateTime(value.AsDateTime());
    case VarType::OleStr:
    case VarType::String:
    case VarType::UString:
        return Variant::FromText(value.AsString(), type);
    case VarType::Boolean:
        return Variant(value.AsBoolean());
    case VarType::ShortInt:
        return Variant(static_cast<std::int8_t>(ranged(INT8_MIN, INT8_MAX)));
    case VarType::Byte:
        return Variant(static_cast<std::uint8_t>(ranged(0, UINT8_MAX)));
    case VarType::Word:
        return Variant(static_cast<std::uint16_t>(ranged(0, UINT16_MAX)));
    case VarType::LongWord:
        return Variant(static_cast<std::uint32_t>(ranged(0, UINT32_MAX)));
    case VarType::Int64:
        return Variant(value.AsInt64());
    case VarType::UInt64:
        return Variant(value.AsUInt64());
    default:
        return value;
    }
}

} // namespace qor
