// Published properties: the small reflection that the settings component, the
// translator and the component stream walk.
//
// An object declares each property once, in its constructor, bound to a field
// or to a getter/setter pair, with its kind:
//
//     class TDataSourceCfg : public TComponent {
//     public:
//         std::int32_t Left = 326;
//         std::string lblParams_Caption;
//         bool chkExportAll_Checked = true;
//         TDataSourceCfg() {
//             Publish("Left", Left);
//             Publish("lblParams_Caption", lblParams_Caption);
//             Publish("chkExportAll_Checked", chkExportAll_Checked);
//         }
//     };
//
// Values go in and out as Variant. Names are compared without regard to ASCII
// case. Objects are neither copied nor moved (the declarations point into them).
#pragma once

#include "common/Variant.h"
#include "common/qorComponentStream.h"

#include <concepts>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qor {

class TPersistent;
class TPropertyRef;
class TStringList;
class TqorParamsList;

// The kinds of published properties. The settings component stores a value by
// its kind; the stream writes it by its kind.
enum class TTypeKind : std::uint8_t {
    Unknown,
    Integer,     // up to 32 bits
    Int64,
    Float,
    String,
    Char,
    Enumeration, // get: the element's name; set: a name or the ordinal
    Set,         // get: element names joined by ","; set: such a text (brackets allowed) or the bit mask
    Boolean,
    Class,       // an object-valued property; the path walks through it
    Variant,
    StringList,  // get/set: the lines as one text, CR LF between lines
    Method,      // an event; get/set: the name of its handler
};

// A property that does not exist, or a value it does not take.
class EPropertyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One published property of one object.
struct TPropInfo {
    std::string Name;
    TTypeKind Kind = TTypeKind::Unknown;
    std::function<Variant()> Get;               // empty: not readable
    std::function<void(const Variant&)> Set;    // empty: read-only
    std::function<TPersistent*()> Object;       // Class and StringList: the object behind it (may be null)
    std::vector<std::string> Names;             // Enumeration and Set: the element names by ordinal
    std::optional<Variant> Default;             // a value equal to it is not written to streams
    bool Stored = true;                         // written to component streams at all

    TPropInfo& WithDefault(Variant v) {
        Default = std::move(v);
        return *this;
    }
    TPropInfo& NotStored() {
        Stored = false;
        return *this;
    }
};

// Base of every object with published properties.
class TPersistent {
public:
    TPersistent() = default;
    TPersistent(const TPersistent&) = delete;
    TPersistent& operator=(const TPersistent&) = delete;
    virtual ~TPersistent() = default;

    // The class name as streams and class registries know it.
    virtual std::string_view ClassName() const { return "TPersistent"; }

    // Copies the content of source; false when this class cannot take it.
    virtual bool Assign(const TPersistent& source);

    // Published properties in declaration order (base classes first).
    const std::deque<TPropInfo>& Properties() const { return props_; }
    const TPropInfo* FindProperty(std::string_view name) const;

    // Properties of a form of the class's own, stored after the published ones
    // (an object's "defined properties"). Read: false when the name is not one.
    virtual bool ReadDefinedProperty(std::string_view name, const TStreamValue& value);
    virtual void WriteDefinedProperties(std::vector<TStreamProperty>& out) const;

    // Names that are not published properties but still resolve in a path
    // (the items of a parameter list); false when there is no such item.
    virtual bool FindItemProperty(std::string_view name, TPropertyRef& out);

protected:
    TPropInfo& Publish(TPropInfo info);
    // A property with accessors of its own (either may be empty).
    TPropInfo& Publish(std::string_view name, TTypeKind kind, std::function<Variant()> get,
                       std::function<void(const Variant&)> set);

    TPropInfo& Publish(std::string_view name, bool& field);
    TPropInfo& Publish(std::string_view name, char& field);
    TPropInfo& Publish(std::string_view name, float& field);
    TPropInfo& Publish(std::string_view name, double& field);
    TPropInfo& Publish(std::string_view name, std::string& field);
    TPropInfo& Publish(std::string_view name, Variant& field);
    TPropInfo& Publish(std::string_view name, TStringList& list);
    template <class T>
        requires(std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>)
    TPropInfo& Publish(std::string_view name, T& field);

    // An object-valued property: the path walks into object.
    TPropInfo& PublishObject(std::string_view name, TPersistent& object);
    // An enumeration field; names[i] is the name of ordinal i.
    template <class E>
        requires std::is_enum_v<E>
    TPropInfo& PublishEnum(std::string_view name, E& field, std::vector<std::string> names);
    // A set held as a bit mask; names[i] is the name of bit i.
    template <std::unsigned_integral T>
    TPropInfo& PublishSet(std::string_view name, T& bits, std::vector<std::string> names);
    // An event, held as the name of its handler.
    TPropInfo& PublishMethod(std::string_view name, std::string& handlerName);
    // A parameter list: in a path, the part after its name is an item name
    // (see TParamsListProperties in qorComponent.h).
    TPropInfo& PublishParams(std::string_view name, TqorParamsList& list);

private:
    static std::int64_t CheckedInteger(const Variant& v, std::int64_t lo, std::int64_t hi);
    static std::uint64_t CheckedUnsigned(const Variant& v, std::uint64_t hi);
    static std::int64_t EnumOrdinal(const Variant& v, const std::vector<std::string>& names);
    static std::uint64_t SetBits(const Variant& v, const std::vector<std::string>& names);
    static std::string SetText(std::uint64_t bits, const std::vector<std::string>& names);

    std::deque<TPropInfo> props_; // a deque: references handed out by Publish stay valid
    std::vector<std::unique_ptr<TPersistent>> adapters_; // objects made for PublishParams
};

// A property found by path: a published property of an object, or an item of a
// parameter list (kind Variant, its Tag the variant type of the value).
class TPropertyRef {
public:
    TPropertyRef() = default;
    TPropertyRef(TPersistent* instance, const TPropInfo* info) : instance_(instance), info_(info) {}
    // A dynamic item: the caller supplies its access.
    TPropertyRef(std::string name, TTypeKind kind, VarType itemType, std::function<Variant()> get,
                 std::function<void(const Variant&)> set)
        : name_(std::move(name)), kind_(kind), itemType_(itemType), get_(std::move(get)), set_(std::move(set)) {}

    bool Valid() const { return info_ != nullptr || get_ || set_; }
    TPersistent* Instance() const { return instance_; }
    const TPropInfo* Info() const { return info_; }
    std::string_view Name() const { return info_ ? std::string_view(info_->Name) : std::string_view(name_); }
    TTypeKind Kind() const { return info_ ? info_->Kind : kind_; }
    // For a parameter-list item: the variant type its Tag names (Empty when none).
    VarType ItemType() const { return itemType_; }
    bool Readable() const { return info_ ? bool(info_->Get) : bool(get_); }
    bool Writable() const { return info_ ? bool(info_->Set) : bool(set_); }
    // The object behind a Class or StringList property (null otherwise).
    TPersistent* Object() const { return info_ && info_->Object ? info_->Object() : nullptr; }

    // Throw EPropertyError when not readable or writable, EVariantError when
    // the value does not convert.
    Variant Get() const;
    void Set(const Variant& value) const;

private:
    TPersistent* instance_ = nullptr;
    const TPropInfo* info_ = nullptr;
    std::string name_;
    TTypeKind kind_ = TTypeKind::Unknown;
    VarType itemType_ = VarType::Empty;
    std::function<Variant()> get_;
    std::function<void(const Variant&)> set_;
};

// Converts a value to a variant type (a parameter-list item's Tag); Empty
// and unknown types leave the value as it is.
Variant VarAsType(const Variant& value, VarType type);

// ---- templates

template <class T>
    requires(std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>)
TPropInfo& TPersistent::Publish(std::string_view name, T& field) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = sizeof(T) <= 4 ? TTypeKind::Integer : TTypeKind::Int64;
    p.Get = [&field] { return Variant(field); };
    p.Set = [&field](const Variant& v) {
        if constexpr (std::is_signed_v<T>)
            field = static_cast<T>(CheckedInteger(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
        else
            field = static_cast<T>(CheckedUnsigned(v, std::numeric_limits<T>::max()));
    };
    return Publish(std::move(p));
}

template <class E>
    requires std::is_enum_v<E>
TPropInfo& TPersistent::PublishEnum(std::string_view name, E& field, std::vector<std::string> names) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Enumeration;
    p.Names = std::move(names);
    p.Get = [&field, n = p.Names]() -> Variant {
        const auto ordinal = static_cast<std::size_t>(field);
        return ordinal < n.size() ? Variant(n[ordinal]) : Variant(static_cast<std::int64_t>(ordinal));
    };
    p.Set = [&field, n = p.Names](const Variant& v) { field = static_cast<E>(EnumOrdinal(v, n)); };
    return Publish(std::move(p));
}

template <std::unsigned_integral T>
TPropInfo& TPersistent::PublishSet(std::string_view name, T& bits, std::vector<std::string> names) {
    TPropInfo p;
    p.Name = std::string(name);
    p.Kind = TTypeKind::Set;
    p.Names = std::move(names);
    p.Get = [&bits, n = p.Names] { return Variant(SetText(bits, n)); };
    p.Set = [&bits, n = p.Names](const Variant& v) {
        const std::uint64_t b = SetBits(v, n);
        if (b > std::numeric_limits<T>::max())
            throw EPropertyError("Invalid property value");
        bits = static_cast<T>(b);
    };
    return Publish(std::move(p));
}

} // namespace qor
