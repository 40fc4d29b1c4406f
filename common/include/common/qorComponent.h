// Components: named objects with published properties that own other
// components, and the ways the system walks them:
// - a property path ("Cfg.Requests", "Properties.Strings", "CustomParams.Port")
//   resolved from a root through owned components and object-valued
//   properties (the settings component, the translator);
// - the component stream, mapped to and from a component tree with a class
//   registry.
//
// A class declares its properties in its constructor (see qorPersistent.h) and
// its owned components by creating them through its owner:
//
//     class TaModule : public TComponent {
//     public:
//         TqorStrHolder& Properties = AddComponent<TqorStrHolder>("Properties");
//         ...
//     };
#pragma once

#include "common/qorComponentStream.h"
#include "common/qorPersistent.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

class TqorParamsList;

class TComponent : public TPersistent {
public:
    TComponent();
    ~TComponent() override;

    std::string_view ClassName() const override { return "TComponent"; }

    // Published: Name (kept in the stream's object header, not as a
    // property) and Tag (default 0).
    std::string Name;
    std::int32_t Tag = 0;

    TComponent* Owner() const { return owner_; }
    // Owned components in creation order.
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent& Components(int index) const { return *components_.at(static_cast<std::size_t>(index)); }
    // The owned component of that name (ASCII case ignored); nullptr when none.
    TComponent* FindComponent(std::string_view name) const;
    template <class T>
    T* FindComponent(std::string_view name) const {
        return dynamic_cast<T*>(FindComponent(name));
    }

    // Takes ownership; the component is freed with its owner unless removed first.
    TComponent& InsertComponent(std::unique_ptr<TComponent> component);
    // Gives ownership back to the caller; nullptr when c is not owned here.
    std::unique_ptr<TComponent> RemoveComponent(TComponent& c);
    // Removes and frees an owned component.
    void FreeComponent(TComponent& c) { RemoveComponent(c).reset(); }
    // Creates an owned component with a name.
    template <class T, class... Args>
    T& AddComponent(std::string name, Args&&... args) {
        auto c = std::make_unique<T>(std::forward<Args>(args)...);
        c->Name = std::move(name);
        T& ref = *c;
        InsertComponent(std::move(c));
        return ref;
    }

    // Called after the component and its children were read from a stream.
    virtual void Loaded() {}

    // "Left" and "Top": where a designer placed a non-visual component, kept
    // so a stored form reads and writes back whole. Derived classes that
    // define properties of their own call these first.
    bool ReadDefinedProperty(std::string_view name, const TStreamValue& value) override;
    void WriteDefinedProperties(std::vector<TStreamProperty>& out) const override;

private:
    std::int32_t designLeft_ = 0, designTop_ = 0;
    TComponent* owner_ = nullptr;
    std::vector<std::unique_ptr<TComponent>> components_;
};

// Resolves a property path from root: the parts are joined by "."; every part
// but the last names an object-valued property or an owned component (a
// property first), the last a published property or an item of a parameter
// list. Names are compared without regard to ASCII case. nullopt when a part
// is not found.
std::optional<TPropertyRef> FindPropertyPath(TPersistent& root, std::string_view path);

// Publishes a parameter list as an object-valued property of owner: in a path,
// the part after its name is looked up as an item name; the item's Tag is the
// variant type its value is converted to on assignment. A missing item does
// not resolve. The adapter it returns is owned by the caller (keep it beside
// the list).
class TParamsListProperties : public TPersistent {
public:
    explicit TParamsListProperties(TqorParamsList& list) : list_(list) {}
    std::string_view ClassName() const override { return "TqorParamsList"; }
    bool FindItemProperty(std::string_view name, TPropertyRef& out) override;
    TqorParamsList& List() const { return list_; }

private:
    TqorParamsList& list_;
};

// Classes the stream reader may create, by class name.
class TClassRegistry {
public:
    using Factory = std::function<std::unique_ptr<TComponent>()>;
    void Register(std::string className, Factory factory);
    // Without a name, the class name is taken from an instance made once here.
    template <class T>
    void Register(std::string className = {}) {
        if (className.empty())
            className = std::string(T().ClassName());
        Register(std::move(className), [] { return std::make_unique<T>(); });
    }
    // nullptr when the class is not registered.
    std::unique_ptr<TComponent> Create(std::string_view className) const;

private:
    std::map<std::string, Factory, std::less<>> factories_;
};

// Problems met while applying a stream to components; reading goes on after each.
struct TStreamLoadIssue {
    std::string Path;    // "Root.Child.Property"
    std::string Message; // e.g. "Property Foo does not exist"
};

// Applies a stream object to an existing component: its properties, then its
// children. A child that the component already owns under that name is loaded
// in place; otherwise it is created from the registry (classes may be null:
// then only existing children are loaded) and owned by the component whose
// object encloses it. Loaded() runs on every component afterwards, children
// first. Unknown properties and classes are reported and skipped.
void LoadComponent(TComponent& target, const TStreamObject& object, const TClassRegistry* classes,
                   std::vector<TStreamLoadIssue>* issues = nullptr);
// Reads a component stream into an existing root (a data module reading its
// resource). Throws EReadError for a malformed stream.
void ReadComponentStream(TComponent& root, std::span<const std::uint8_t> bytes, const TClassRegistry* classes,
                         std::vector<TStreamLoadIssue>* issues = nullptr);
// Creates the root from the registry; nullptr when its class is unknown.
std::unique_ptr<TComponent> CreateComponent(const TStreamObject& object, const TClassRegistry& classes,
                                            std::vector<TStreamLoadIssue>* issues = nullptr);

// The stored form of a component: the published properties that are stored
// and differ from their default (strings: not empty; floats: not 0; variants:
// not Empty; events: assigned; object-valued properties as "Name.Sub"), then
// the defined properties, then the owned components.
TStreamObject SaveComponent(const TComponent& component);
std::vector<std::uint8_t> WriteComponentStream(const TComponent& component);

// Conversions between stream values and property values.
Variant StreamValueToVariant(const TStreamValue& value);
TStreamValue VariantToStreamValue(const Variant& value);

} // namespace qor
