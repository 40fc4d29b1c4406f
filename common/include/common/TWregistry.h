// The settings component: moves published property values of an object tree
// to and from a store (the registry, an INI file, or the caller's handlers),
// following a map of text lines.
//
// A map line is "<property path>,<setting>" (";" separates the two when there
// is no ","). The setting may carry a key path: "Net\Interval" is the value
// Interval under the key (or in the INI section) Net.
//
// Store of one operation:
// - INIFile "$CUSTOM$": the SetValue (save) and GetValue (load) handlers;
// - INIFile naming an existing file, or any file when saving: that INI file,
//   written back once, atomically, at the end of a save;
// - otherwise the registry key RegistryPath under RegistryRoot, else under
//   SecondRegistryRoot (created when saving); a save is one registry
//   transaction, so it is stored whole or not at all.
//
// Values by property kind:
//   integers (up to 64 bits)   registry DWORD, INI integer entry
//   floats                     registry 8-byte binary double, INI float entry
//   everything else readable   text (string value / string entry)
// An empty or null value deletes the setting; an object-valued property that
// is null is stored as "[[Null]]", so the reference is cleared on loading.
// A parameter-list item (see TParamsListProperties) is stored by the variant
// type its Tag names: integer types as integers, Single/Double/Currency/Date
// as floats, the rest as text.
#pragma once

#include "common/Variant.h"
#include "common/qorComponent.h"
#include "common/qorStringList.h"

#include "platform/Registry.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

class TWreg : public TComponent {
public:
    static constexpr std::string_view kCustomStore = "$CUSTOM$";
    static constexpr std::string_view kDefaultRegistryPath = "\\Software\\Company name\\App name";
    static constexpr std::string_view kDefaultSection = "Common";
    static constexpr std::string_view kNullObject = "[[Null]]";

    // Name: the setting (store handlers) or the property path without its
    // "*" (virtual properties); Index: the line of the map. GetValue leaves
    // Value Empty for "no such value"; SetValue with an Empty Value deletes.
    using TValueEvent =
        std::function<void(TWreg& Sender, const std::string& Name, int Index, Variant& Value)>;
    // Name: the property path as the map gives it. Clearing IsRequireProcessing
    // skips the line; IsVirtual routes the value through the handlers instead
    // of a property; ItemType chooses the encoding.
    using TBeforeProcessItemEvent =
        std::function<void(TWreg& Sender, const std::string& Name, int Index, bool& IsRequireProcessing,
                           bool& IsVirtual, TTypeKind& ItemType)>;

    TWreg();
    std::string_view ClassName() const override { return "TWreg"; }

    // Published.
    platform::RegistryRoot RegistryRoot = platform::RegistryRoot::LocalMachine;
    platform::RegistryRoot SecondRegistryRoot = platform::RegistryRoot::CurrentUser;
    std::string RegistryPath{kDefaultRegistryPath};
    std::string INIFile;
    std::string INIFileSectionPrefix;
    // The map lines. (Hides TComponent::Components(int): a TWreg owns no components.)
    TStringList Components;
    TValueEvent SetValue;
    TValueEvent GetValue;
    TBeforeProcessItemEvent BeforeProcessItem;

    // Keyless settings go to the section "Common" (unless the prefix ends in
    // "/" or "\").
    bool DefaultSection = true;
    // The registry store; empty: platform::RegistryStore::Default().
    std::shared_ptr<platform::RegistryStore> Store;

    // Load: true when at least one mapped value was found. Save: true when at
    // least one mapped property was resolved and written (a deletion counts).
    // Both false when the store cannot be opened; Save also false when the
    // store could not be written (then nothing of this save is kept). An error
    // on one line skips that line. No exception leaves them.
    bool Load(TPersistent& root);
    bool Save(TPersistent& root);

    // The object of the running operation (null outside one).
    TPersistent* RootObject() const { return root_; }
    // The registry root of the last opened base key; None until one was opened.
    platform::RegistryRoot OpenedRoot() const { return openedRoot_; }

    // One map line taken apart.
    struct TMapLine {
        std::string Path;      // property path
        std::string Setting;   // the setting after backslash reduction
        std::string KeyPath;   // before the last "\" of Setting (may be empty)
        std::string ValueName; // after it
    };
    // Nothing for lines that are skipped: empty, comments, no path, no setting.
    static std::optional<TMapLine> ParseMapLine(std::string_view line);
    // The INI section of a key path under INIFileSectionPrefix.
    std::string IniSection(std::string_view keyPath) const;

    class TStore; // the store of one operation

private:
    bool Run(TPersistent& root, bool save);
    bool RunLines(TStore& store, bool save);
    bool SaveLine(TStore& store, const TMapLine& line, int index);
    bool LoadLine(TStore& store, const TMapLine& line, int index);
    std::unique_ptr<TStore> OpenStore(bool save);

    TPersistent* root_ = nullptr;
    platform::RegistryRoot openedRoot_ = platform::RegistryRoot::None;
    std::string setValueHandler_, getValueHandler_, beforeProcessItemHandler_; // published handler names
};

} // namespace qor
