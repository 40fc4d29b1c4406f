// The data module's stored form: read at construction from the plug-in
// library's raw-data resource named after the class ("TAPLUGIN"), as the
// designer's data module is. It names the create handler and carries the
// settings map in the "Properties" string holder.
#include "engine/PluginDM.h"

#include "common/qorComponent.h"
#include "common/qorStrUtils.h"
#include "engine/SettingsMap.h"
#include "platform/Resources.h"

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qor {

namespace {

constexpr std::string_view kFormClass = "TaPlugin";
constexpr std::string_view kFormResource = "TAPLUGIN";

// What a designer stores about the data module itself; nothing at run time
// depends on it.
bool IsDesignerProperty(std::string_view name) {
    for (const std::string_view p : {"OldCreateOrder", "Height", "Width", "Left", "Top"})
        if (SameText(name, p))
            return true;
    return false;
}

// The form's children, read into components of their own: the module takes
// them only when every one read cleanly.
std::vector<std::unique_ptr<TComponent>> ReadChildren(const TStreamObject& form) {
    TClassRegistry classes;
    classes.Register<TqorStrHolder>();
    std::vector<std::unique_ptr<TComponent>> children;
    for (const TStreamObject& child : form.Children) {
        std::vector<TStreamLoadIssue> issues;
        std::unique_ptr<TComponent> c = CreateComponent(child, classes, &issues);
        if (!issues.empty())
            throw EReadError(issues.front().Path + ": " + issues.front().Message);
        children.push_back(std::move(c));
    }
    return children;
}

} // namespace

void TaPlugin::ReadStoredForm() {
    std::string failure;
    try {
        const auto bytes = platform::FindResource(PluginLibraryModule(), kFormResource);
        if (!bytes)
            throw EReadError("no such resource");
        const TStreamObject form = ReadObjectStream(*bytes);
        if (!SameText(form.ClassName, kFormClass))
            throw EReadError("class " + form.ClassName + " instead of " + std::string(kFormClass));
        bool createBound = false;
        for (const TStreamProperty& p : form.Properties) {
            if (SameText(p.Name, "OnCreate")) {
                // A handler is found by its name among the module's methods.
                if (p.Value.Type != TValueType::Ident || !SameText(p.Value.Text, "qorPluginCreate"))
                    throw EReadError("OnCreate names no handler of the module");
                createBound = true;
            } else if (!IsDesignerProperty(p.Name)) {
                throw EReadError("Property " + p.Name + " does not exist");
            }
        }
        if (!createBound)
            throw EReadError("OnCreate is not assigned");
        std::vector<std::unique_ptr<TComponent>> children = ReadChildren(form);
        TqorStrHolder* map = nullptr;
        for (const auto& c : children)
            if (SameText(c->Name, "Properties"))
                map = dynamic_cast<TqorStrHolder*>(c.get());
        if (map == nullptr || map->Strings().Count() == 0)
            throw EReadError("Properties holds no settings map");

        Name = form.Name;
        OnCreate = [this] { qorPluginCreate(); };
        for (auto& c : children)
            InsertComponent(std::move(c));
        Properties = map;
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    }

    // A build without the resource (the engine linked into a test) still
    // works: the map the dialog resource carries is the same.
    OnCreate = [this] { qorPluginCreate(); };
    Properties = &AddComponent<TqorStrHolder>("Properties");
    Properties->Tag = 9999;
    Properties->Strings().SetCapacity(12);
    for (const std::string_view line : kSettingsMap)
        Properties->Strings().Add(std::string(line));
    Log(1, "Stored form " + std::string(kFormResource) + " unreadable (" + failure +
               "); the built-in settings map is used");
}

} // namespace qor
