#include "common/qorComponent.h"

#include "common/qorStrUtils.h"

#include "common/qorParamLst.h"
#include "common/qorStringList.h"

namespace qor {

namespace {

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = path.find('.', start);
        parts.push_back(path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return parts;
}

// One step of a path: an object-valued property first, then an owned component.
TPersistent* Step(TPersistent& obj, std::string_view part) {
    if (const TPropInfo* p = obj.FindProperty(part); p && p->Object)
        if (TPersistent* next = p->Object())
            return next;
    if (auto* c = dynamic_cast<TComponent*>(&obj))
        return c->FindComponent(part);
    return nullptr;
}

void Report(std::vector<TStreamLoadIssue>* issues, std::string path, std::string message) {
    if (issues)
        issues->push_back({std::move(path), std::move(message)});
}

void ApplyProperty(TPersistent& root, const TStreamProperty& prop, const std::string& objectPath,
                   std::vector<TStreamLoadIssue>* issues) {
    const std::string path = objectPath + "." + prop.Name;
    try {
        const auto parts = SplitPath(prop.Name);
        TPersistent* obj = &root;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            obj = Step(*obj, parts[i]);
            if (!obj) {
                Report(issues, path, "Property " + std::string(parts[i]) + " does not exist");
                return;
            }
        }
        const std::string_view name = parts.back();
        if (const TPropInfo* p = obj->FindProperty(name)) {
            if (p->Kind == TTypeKind::StringList && prop.Value.Type == TValueType::List && p->Object) {
                if (TPersistent* list = p->Object())
                    list->ReadDefinedProperty("Strings", prop.Value);
                return;
            }
            if (!p->Set) {
                Report(issues, path, "Property " + p->Name + " is read-only");
                return;
            }
            p->Set(StreamValueToVariant(prop.Value));
            return;
        }
        if (obj->ReadDefinedProperty(name, prop.Value))
            return;
        Report(issues, path, "Property " + std::string(name) + " does not exist");
    } catch (const std::exception& e) {
        Report(issues, path, e.what());
    }
}

void LoadInto(TComponent& target, const TStreamObject& object, const TClassRegistry* classes,
              std::vector<TStreamLoadIssue>* issues, const std::string& path, std::vector<TComponent*>& loaded) {
    for (const auto& prop : object.Properties)
        ApplyProperty(target, prop, path, issues);
    for (const auto& child : object.Children) {
        const std::string childPath = path + "." + child.Name;
        TComponent* c = child.Name.empty() ? nullptr : target.FindComponent(child.Name);
        if (c && !SameText(c->ClassName(), child.ClassName)) {
            Report(issues, childPath, "Class " + child.ClassName + " does not match " + std::string(c->ClassName()));
            continue;
        }
        if (!c) {
            std::unique_ptr<TComponent> made = classes ? classes->Create(child.ClassName) : nullptr;
            if (!made) {
                Report(issues, childPath, "Class " + child.ClassName + " not found");
                continue;
            }
            made->Name = child.Name;
            c = &target.InsertComponent(std::move(made));
        }
        LoadInto(*c, child, classes, issues, childPath, loaded);
    }
    loaded.push_back(&target);
}

std::vector<std::string> SplitSetText(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const std::size_t comma = text.find(',', start);
        out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

// The stream value of a published property, or nullopt when it is not written.
std::optional<TStreamValue> StoredValue(const TPropInfo& p, const Variant& v) {
    if (p.Default && v == *p.Default)
        return std::nullopt;
    switch (p.Kind) {
    case TTypeKind::Integer:
    case TTypeKind::Int64:
        if (v.Type() == VarType::UInt64 && v.AsUInt64() > std::uint64_t(INT64_MAX)) {
            TStreamValue q;
            q.Type = TValueType::QWord;
            q.UInt = v.AsUInt64();
            return q;
        }
        return TStreamValue::Integer(v.AsInt64());
    case TTypeKind::Float:
        if (v.AsDouble() == 0.0)
            return std::nullopt;
        return TStreamValue::Float80(v.AsDouble());
    case TTypeKind::String:
    case TTypeKind::Char:
        if (v.AsString().empty())
            return std::nullopt;
        return TStreamValue::Str(v.AsString());
    case TTypeKind::Enumeration:
        if (!v.IsString())
            return TStreamValue::Integer(v.AsInt64());
        return TStreamValue::Identifier(v.AsString());
    case TTypeKind::Set:
        return TStreamValue::SetOf(SplitSetText(v.AsString()));
    case TTypeKind::Boolean:
        return TStreamValue::Boolean(v.AsBoolean());
    case TTypeKind::Variant:
        if (v.IsEmpty())
            return std::nullopt;
        return VariantToStreamValue(v);
    case TTypeKind::Method:
        if (v.AsString().empty())
            return std::nullopt;
        return TStreamValue::Identifier(v.AsString());
    default:
        return std::nullopt;
    }
}

void SaveProperties(const TPersistent& obj, const std::string& prefix, std::vector<TStreamProperty>& out, int depth) {
    if (depth > 16) // object-valued properties that lead back to their owner
        return;
    for (const TPropInfo& p : obj.Properties()) {
        if (!p.Stored)
            continue;
        if (p.Kind == TTypeKind::Class || p.Kind == TTypeKind::StringList) {
            TPersistent* sub = p.Object ? p.Object() : nullptr;
            if (sub && !dynamic_cast<TComponent*>(sub)) {
                SaveProperties(*sub, prefix + p.Name + ".", out, depth + 1);
                continue;
            }
            if (p.Kind == TTypeKind::Class && p.Get) {
                // A reference to another component: stored by name.
                const Variant v = p.Get();
                out.push_back({prefix + p.Name, v.IsEmptyOrNull() ? TStreamValue::Of(TValueType::Nil)
                                                                  : TStreamValue::Identifier(v.AsString())});
            }
            continue;
        }
        if (!p.Get)
            continue;
        if (auto v = StoredValue(p, p.Get()))
            out.push_back({prefix + p.Name, std::move(*v)});
    }
    std::vector<TStreamProperty> defined;
    obj.WriteDefinedProperties(defined);
    for (auto& d : defined)
        out.push_back({prefix + d.Name, std::move(d.Value)});
}

} // namespace

TComponent::TComponent() {
    Publish("Name", Name).NotStored();
    Publish("Tag", Tag).WithDefault(Variant(std::int32_t{0}));
}

TComponent::~TComponent() {
    // Last created, first freed, each gone from the list before it is destroyed.
    while (!components_.empty()) {
        std::unique_ptr<TComponent> last = std::move(components_.back());
        components_.pop_back();
        last->owner_ = nullptr;
    }
}

bool TComponent::ReadDefinedProperty(std::string_view name, const TStreamValue& value) {
    std::int32_t* target = SameText(name, "Left") ? &designLeft_ : SameText(name, "Top") ? &designTop_ : nullptr;
    if (!target)
        return false;
    const std::int64_t v = value.AsInteger();
    if (v < INT32_MIN || v > INT32_MAX)
        throw EReadError("Invalid property value");
    *target = static_cast<std::int32_t>(v);
    return true;
}

void TComponent::WriteDefinedProperties(std::vector<TStreamProperty>& out) const {
    if (designLeft_ == 0 && designTop_ == 0)
        return;
    out.push_back({"Left", TStreamValue::Integer(designLeft_)});
    out.push_back({"Top", TStreamValue::Integer(designTop_)});
}

TComponent* TComponent::FindComponent(std::string_view name) const {
    if (name.empty())
        return nullptr;
    for (const auto& c : components_)
        if (SameText(c->Name, name))
            return c.get();
    return nullptr;
}

TComponent& TComponent::InsertComponent(std::unique_ptr<TComponent> component) {
    component->owner_ = this;
    components_.push_back(std::move(component));
    return *components_.back();
}

std::unique_ptr<TComponent> TComponent::RemoveComponent(TComponent& c) {
    for (auto it = components_.begin(); it != components_.end(); ++it) {
        if (it->get() == &c) {
            std::unique_ptr<TComponent> out = std::move(*it);
            components_.erase(it);
            out->owner_ = nullptr;
            return out;
        }
    }
    return nullptr;
}

std::optional<TPropertyRef> FindPropertyPath(TPersistent& root, std::string_view path) {
    const auto parts = SplitPath(path);
    TPersistent* obj = &root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i].empty())
            return std::nullopt;
        obj = Step(*obj, parts[i]);
        if (!obj)
            return std::nullopt;
    }
    const std::string_view last = parts.back();
    if (last.empty())
        return std::nullopt;
    if (const TPropInfo* p = obj->FindProperty(last))
        return TPropertyRef(obj, p);
    TPropertyRef item;
    if (obj->FindItemProperty(last, item))
        return item;
    return std::nullopt;
}

bool TParamsListProperties::FindItemProperty(std::string_view name, TPropertyRef& out) {
    TqorParamsListItem* item = list_.FindItem(name);
    if (!item || item->IsRowMarker())
        return false;
    const VarType type = item->Tag <= 0xFFFF ? static_cast<VarType>(item->Tag) : VarType::Empty;
    TqorParamsList* list = &list_;
    std::string key(name);
    out = TPropertyRef(
        item->Name, TTypeKind::Variant, type,
        [list, key] {
            if (const TqorParamsListItem* i = list->FindItem(key))
                return i->Value;
            throw EPropertyError("Property " + key + " does not exist");
        },
        [list, key, type](const Variant& v) {
            TqorParamsListItem* i = list->FindItem(key);
            if (!i)
                throw EPropertyError("Property " + key + " does not exist");
            i->Value = VarAsType(v, type);
            i->Flags = kItemHasValue;
        });
    return true;
}

TPropInfo& TPersistent::PublishParams(std::string_view name, TqorParamsList& list) {
    adapters_.push_back(std::make_unique<TParamsListProperties>(list));
    return PublishObject(name, *adapters_.back());
}

void TClassRegistry::Register(std::string className, Factory factory) {
    factories_[std::move(className)] = std::move(factory);
}

std::unique_ptr<TComponent> TClassRegistry::Create(std::string_view className) const {
    for (const auto& [name, factory] : factories_)
        if (SameText(name, className))
            return factory();
    return nullptr;
}

void LoadComponent(TComponent& target, const TStreamObject& object, const TClassRegistry* classes,
                   std::vector<TStreamLoadIssue>* issues) {
    std::vector<TComponent*> loaded;
    LoadInto(target, object, classes, issues, object.Name.empty() ? object.ClassName : object.Name, loaded);
    for (TComponent* c : loaded)
        c->Loaded();
}

void ReadComponentStream(TComponent& root, std::span<const std::uint8_t> bytes, const TClassRegistry* classes,
                         std::vector<TStreamLoadIssue>* issues) {
    const TStreamObject object = ReadObjectStream(bytes);
    if (root.Name.empty())
        root.Name = object.Name;
    LoadComponent(root, object, classes, issues);
}

std::unique_ptr<TComponent> CreateComponent(const TStreamObject& object, const TClassRegistry& classes,
                                            std::vector<TStreamLoadIssue>* issues) {
    std::unique_ptr<TComponent> c = classes.Create(object.ClassName);
    if (!c) {
        Report(issues, object.Name, "Class " + object.ClassName + " not found");
        return nullptr;
    }
    c->Name = object.Name;
    LoadComponent(*c, object, &classes, issues);
    return c;
}

TStreamObject SaveComponent(const TComponent& component) {
    TStreamObject o;
    o.ClassName = std::string(component.ClassName());
    o.Name = component.Name;
    SaveProperties(component, "", o.Properties, 0);
    for (int i = 0; i < component.ComponentCount(); ++i)
        o.Children.push_back(SaveComponent(component.Components(i)));
    return o;
}

std::vector<std::uint8_t> WriteComponentStream(const TComponent& component) {
    return WriteObjectStream(SaveComponent(component));
}

Variant StreamValueToVariant(const TStreamValue& value) {
    switch (value.Type) {
    case TValueType::Null:
        return Variant::MakeNull();
    case TValueType::Nil:
        return Variant();
    case TValueType::List: {
        std::vector<Variant> items;
        for (const auto& i : value.Items)
            items.push_back(StreamValueToVariant(i));
        return Variant::MakeArray(std::move(items));
    }
    case TValueType::Int8:
    case TValueType::Int16:
    case TValueType::Int32:
        return Variant(static_cast<std::int32_t>(value.Int));
    case TValueType::Int64:
        return Variant(value.Int);
    case TValueType::QWord:
        return Variant(value.UInt);
    case TValueType::Extended:
        return Variant(value.Float);
    case TValueType::Single:
        return Variant(static_cast<float>(value.Float));
    case TValueType::Date:
        return Variant::FromDateTime(value.Float);
    case TValueType::Currency:
        return Variant::FromCurrency(value.Int);
    case TValueType::String:
    case TValueType::LString:
    case TValueType::WString:
    case TValueType::UString:
    case TValueType::UTF8String:
    case TValueType::Ident:
        return Variant(value.Text);
    case TValueType::False:
        return Variant(false);
    case TValueType::True:
        return Variant(true);
    case TValueType::Set: {
        std::string text;
        for (const auto& e : value.Elements)
            text += (text.empty() ? "" : ",") + e;
        return Variant(text);
    }
    case TValueType::Binary: {
        std::vector<Variant> bytes;
        for (std::uint8_t b : value.Bytes)
            bytes.emplace_back(b);
        return Variant::MakeArray(std::move(bytes), VarType::Byte);
    }
    case TValueType::Collection:
        break;
    }
    throw EReadError("Invalid property value");
}

TStreamValue VariantToStreamValue(const Variant& v) {
    TStreamValue s;
    if (v.IsArray()) {
        std::vector<TStreamValue> items;
        for (const auto& e : v.AsArray())
            items.push_back(VariantToStreamValue(e));
        return TStreamValue::ListOf(std::move(items));
    }
    switch (v.Type()) {
    case VarType::Empty:
        s.Type = TValueType::Nil;
        return s;
    case VarType::Null:
        s.Type = TValueType::Null;
        return s;
    case VarType::Boolean:
        return TStreamValue::Boolean(v.AsBoolean());
    case VarType::Single:
        s.Type = TValueType::Single;
        s.Float = v.AsDouble();
        return s;
    case VarType::Double:
        return TStreamValue::Float80(v.AsDouble());
    case VarType::Date:
        s.Type = TValueType::Date;
        s.Float = v.AsDateTime();
        return s;
    case VarType::Currency:
        s.Type = TValueType::Currency;
        s.Int = v.AsCurrency();
        return s;
    case VarType::UInt64:
        if (v.AsUInt64() > std::uint64_t(INT64_MAX)) {
            s.Type = TValueType::QWord;
            s.UInt = v.AsUInt64();
            return s;
        }
        return TStreamValue::Integer(v.AsInt64());
    default:
        if (v.IsString())
            return TStreamValue::Str(v.AsString());
        return TStreamValue::Integer(v.AsInt64());
    }
}

} // namespace qor
