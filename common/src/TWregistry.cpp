#include "common/TWregistry.h"

#include "common/qorStrUtils.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

namespace qor {

namespace {

using platform::RegAccess;
using platform::RegistryKey;
using platform::RegistryTransaction;
using platform::RegStatus;
using platform::RegValueType;

// How one value goes into the store.
enum class TEncoding : std::uint8_t { Integer, Float, Text };

bool IsUnsigned(VarType t) {
    return t == VarType::Byte || t == VarType::Word || t == VarType::LongWord || t == VarType::UInt64;
}

// A parameter-list item is stored by the variant type its Tag names.
TTypeKind KindOf(const TPropertyRef& ref) {
    if (ref.Kind() != TTypeKind::Variant)
        return ref.Kind();
    switch (ref.ItemType()) {
    case VarType::ShortInt:
    case VarType::Byte:
    case VarType::Smallint:
    case VarType::Word:
    case VarType::Integer:
    case VarType::LongWord:
        return TTypeKind::Integer;
    case VarType::Int64:
    case VarType::UInt64:
        return TTypeKind::Int64;
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
    case VarType::Date:
        return TTypeKind::Float;
    default:
        return TTypeKind::Variant;
    }
}

std::optional<TEncoding> EncodingOf(TTypeKind kind) {
    switch (kind) {
    case TTypeKind::Integer:
    case TTypeKind::Int64:
        return TEncoding::Integer;
    case TTypeKind::Float:
        return TEncoding::Float;
    case TTypeKind::String:
    case TTypeKind::Char:
    case TTypeKind::Enumeration:
    case TTypeKind::Set:
    case TTypeKind::Boolean:
    case TTypeKind::Class:
    case TTypeKind::Variant:
    case TTypeKind::StringList:
    case TTypeKind::Method:
        return TEncoding::Text;
    default:
        return std::nullopt;
    }
}

// An integer written as text (registry values beyond 32 bits, or written by
// hand): decimal or hexadecimal, up to the unsigned 64-bit range.
Variant IntegerFromText(const std::string& text) {
    const Variant v(text);
    try {
        return Variant(static_cast<long long>(v.AsInt64()));
    } catch (const EVariantError&) {
        return Variant(static_cast<unsigned long long>(v.AsUInt64()));
    }
}

// Failures of the store itself, as opposed to one value or key it refused.
bool IsStoreFailure(RegStatus status) {
    switch (status) {
    case RegStatus::Busy:
    case RegStatus::BadDb:
    case RegStatus::CantOpen:
    case RegStatus::IoFailed:
    case RegStatus::KeyDeleted:
        return true;
    default:
        return false;
    }
}

} // namespace

// The store of one operation. Read gives nothing for a missing value and
// throws for one that cannot be read as asked (the line is then skipped);
// Write with an Empty value deletes. Failed marks a store that broke down
// mid-way: the walk stops and the operation reports false.
class TWreg::TStore {
public:
    virtual ~TStore() = default;
    // unsignedValue: registry DWORDs are read as unsigned 32-bit numbers.
    virtual std::optional<Variant> Read(const TMapLine& line, int index, TEncoding encoding,
                                        bool unsignedValue) = 0;
    // False when this line could not be written.
    virtual bool Write(const TMapLine& line, int index, TEncoding encoding, const Variant& value) = 0;
    // Ends the operation; false when the store could not be written.
    virtual bool Finish(bool save) = 0;

    bool Failed = false;
};

namespace {

class TCustomStore final : public TWreg::TStore {
public:
    explicit TCustomStore(TWreg& owner) : owner_(owner) {}

    std::optional<Variant> Read(const TWreg::TMapLine& line, int index, TEncoding, bool) override {
        if (!owner_.GetValue)
            return std::nullopt;
        Variant v;
        owner_.GetValue(owner_, line.Setting, index, v);
        if (v.IsEmpty())
            return std::nullopt;
        return v;
    }
    bool Write(const TWreg::TMapLine& line, int index, TEncoding, const Variant& value) override {
        if (!owner_.SetValue)
            return false;
        Variant v = value;
        owner_.SetValue(owner_, line.Setting, index, v);
        return true;
    }
    bool Finish(bool) override { return true; }

private:
    TWreg& owner_;
};

class TIniStore final : public TWreg::TStore {
public:
    TIniStore(const TWreg& owner, const std::string& file)
        : owner_(owner), ini_(platform::PathFromUtf8(file)) {}

    bool Readable() const { return !ini_.ReadError(); }

    std::optional<Variant> Read(const TWreg::TMapLine& line, int, TEncoding encoding, bool) override {
        const std::string section = owner_.IniSection(line.KeyPath);
        if (!ini_.ValueExists(section, line.ValueName))
            return std::nullopt;
        switch (encoding) {
        case TEncoding::Integer:
            if (auto i = ini_.ReadInteger(section, line.ValueName))
                return Variant(static_cast<long long>(*i));
            return IntegerFromText(ini_.ReadString(section, line.ValueName).value_or(std::string()));
        case TEncoding::Float:
            if (auto d = ini_.ReadFloat(section, line.ValueName))
                return Variant(*d);
            throw EVariantError("Invalid floating point value");
        case TEncoding::Text:
            break;
        }
        return Variant(ini_.ReadString(section, line.ValueName).value_or(std::string()));
    }

    bool Write(const TWreg::TMapLine& line, int, TEncoding encoding, const Variant& value) override {
        const std::string section = owner_.IniSection(line.KeyPath);
        if (value.IsEmpty()) {
            ini_.DeleteKey(section, line.ValueName);
            return !section.empty() && !line.ValueName.empty();
        }
        switch (encoding) {
        case TEncoding::Integer:
            if (value.Type() == VarType::UInt64 &&
                value.AsUInt64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return ini_.WriteString(section, line.ValueName, value.AsString());
            return ini_.WriteInteger(section, line.ValueName, value.AsInt64());
        case TEncoding::Float:
            return ini_.WriteFloat(section, line.ValueName, value.AsDouble());
        case TEncoding::Text:
            break;
        }
        return ini_.WriteString(section, line.ValueName, value.AsString());
    }

    // The whole file in one atomic write: a failed save leaves it as it was.
    bool Finish(bool save) override {
        if (!save || !ini_.Modified())
            return true;
        return !ini_.UpdateFile();
    }

private:
    const TWreg& owner_;
    platform::IniFile ini_;
};

class TRegistryStore final : public TWreg::TStore {
public:
    TRegistryStore(const std::shared_ptr<platform::RegistryStore>& store, bool save)
        : save_(save), tx_(store, save ? RegistryTransaction::Kind::Write : RegistryTransaction::Kind::Read) {
    }

    bool Began() const { return tx_.Status() == RegStatus::Success; }
    RegistryKey& Base() { return base_; }

    std::optional<Variant> Read(const TWreg::TMapLine& line, int, TEncoding, bool unsignedValue) override {
        RegistryKey sub;
        const RegistryKey* key = KeyFor(line, sub);
        if (!key)
            return std::nullopt;
        platform::RegValue value;
        const RegStatus status = key->QueryValue(line.ValueName, &value);
        if (status != RegStatus::Success) {
            Check(status);
            return std::nullopt;
        }
        // Whatever the property's kind, the value is taken by the type it
        // was stored with; the caller converts it.
        switch (value.Type) {
        case RegValueType::Dword:
            if (auto d = key->ReadDword(line.ValueName))
                return unsignedValue ? Variant(*d) : Variant(static_cast<std::int32_t>(*d));
            break;
        case RegValueType::Binary:
            if (auto f = key->ReadFloat(line.ValueName))
                return Variant(*f);
            break;
        case RegValueType::Sz:
            return Variant(key->ReadString(line.ValueName).value_or(std::string()));
        default:
            break;
        }
        throw EVariantError("Invalid value type");
    }

    bool Write(const TWreg::TMapLine& line, int, TEncoding encoding, const Variant& value) override {
        RegistryKey sub;
        RegistryKey* key = KeyFor(line, sub);
        if (!key)
            return false;
        RegStatus status = RegStatus::Success;
        if (value.IsEmpty()) {
            status = key->DeleteValue(line.ValueName);
            if (status == RegStatus::FileNotFound)
                status = RegStatus::Success;
        } else if (encoding == TEncoding::Integer) {
            status = WriteInteger(*key, line.ValueName, value);
        } else if (encoding == TEncoding::Float) {
            status = key->WriteFloat(line.ValueName, value.AsDouble());
        } else {
            status = key->WriteString(line.ValueName, value.AsString());
        }
        Check(status);
        return status == RegStatus::Success;
    }

    bool Finish(bool save) override {
        if (Failed) {
            tx_.Rollback();
            return false;
        }
        return !save || tx_.Commit() == RegStatus::Success;
    }

private:
    // A DWORD where the value fits one (read back by the property's
    // signedness); a wider value as decimal text, which the loader reads too,
    // rather than cut to 32 bits.
    static RegStatus WriteInteger(RegistryKey& key, std::string_view name, const Variant& value) {
        if (IsUnsigned(value.Type())) {
            const std::uint64_t u = value.AsUInt64();
            if (u <= std::numeric_limits<std::uint32_t>::max())
                return key.WriteDword(name, static_cast<std::uint32_t>(u));
        } else {
            const std::int64_t x = value.AsInt64();
            if (x >= std::numeric_limits<std::int32_t>::min() &&
                x <= std::numeric_limits<std::int32_t>::max())
                return key.WriteInteger(name, static_cast<std::int32_t>(x));
        }
        return key.WriteString(name, value.AsString());
    }

    RegistryKey* KeyFor(const TWreg::TMapLine& line, RegistryKey& sub) {
        if (line.KeyPath.empty())
            return &base_;
        const RegStatus status =
            save_ ? sub.Create(base_, line.KeyPath) : sub.Open(base_, line.KeyPath, RegAccess::Read);
        if (status != RegStatus::Success) {
            Check(status);
            return nullptr;
        }
        return &sub;
    }

    void Check(RegStatus status) {
        if (IsStoreFailure(status))
            Failed = true;
    }

    bool save_;
    RegistryTransaction tx_;
    RegistryKey base_;
};

} // namespace

TWreg::TWreg() {
    static const std::vector<std::string> roots = {"HKEY_CLASSES_ROOT",   "HKEY_CURRENT_USER",
                                                   "HKEY_LOCAL_MACHINE",  "HKEY_USERS",
                                                   "HKEY_CURRENT_CONFIG", "None"};
    PublishEnum("RegistryRoot", RegistryRoot, roots).WithDefault(Variant("HKEY_LOCAL_MACHINE"));
    PublishEnum("SecondRegistryRoot", SecondRegistryRoot, roots).WithDefault(Variant("HKEY_CURRENT_USER"));
    Publish("RegistryPath", RegistryPath).WithDefault(Variant(kDefaultRegistryPath));
    Publish("INIFile", INIFile);
    Publish("INIFileSectionPrefix", INIFileSectionPrefix);
    Publish("Components", Components);
    PublishMethod("SetValue", setValueHandler_);
    PublishMethod("GetValue", getValueHandler_);
    PublishMethod("BeforeProcessItem", beforeProcessItemHandler_);
}

std::optional<TWreg::TMapLine> TWreg::ParseMapLine(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.front() == ';')
        return std::nullopt;
    std::size_t sep = text.find(',');
    if (sep == std::string_view::npos)
        sep = text.find(';');
    std::string_view path = text.substr(0, sep);
    std::string_view setting = sep == std::string_view::npos ? std::string_view() : text.substr(sep + 1);
    if (const std::size_t comment = setting.find(';'); comment != std::string_view::npos)
        setting = setting.substr(0, comment);
    path = Trim(path);
    setting = Trim(setting);
    if (path.empty() || setting.empty())
        return std::nullopt;

    TMapLine line;
    line.Path = std::string(path);
    for (std::size_t i = 0; i < setting.size(); ++i) {
        line.Setting += setting[i];
        if (setting[i] == '\\' && i + 1 < setting.size() && setting[i + 1] == '\\')
            ++i;
    }
    if (!line.Setting.empty() && line.Setting.front() == '\\')
        line.Setting.erase(0, 1);
    if (line.Setting.empty())
        return std::nullopt;
    const std::size_t last = line.Setting.rfind('\\');
    if (last == std::string::npos) {
        line.ValueName = line.Setting;
    } else {
        line.KeyPath = line.Setting.substr(0, last);
        line.ValueName = line.Setting.substr(last + 1);
    }
    return line;
}

std::string TWreg::IniSection(std::string_view keyPath) const {
    std::string prefix = INIFileSectionPrefix;
    std::string key(keyPath);
    if (!prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\'))
        prefix.pop_back();
    else if (key.empty() && (DefaultSection || prefix.empty()))
        key = kDefaultSection;
    std::string section;
    if (!prefix.empty() && !key.empty())
        section = prefix + "." + key;
    else
        section = prefix.empty() ? key : prefix;
    for (char& c : section)
        if (c == '\\')
            c = '.';
    return section;
}

bool TWreg::Load(TPersistent& root) {
    return Run(root, false);
}

bool TWreg::Save(TPersistent& root) {
    return Run(root, true);
}

std::unique_ptr<TWreg::TStore> TWreg::OpenStore(bool save) {
    if (INIFile == kCustomStore)
        return std::make_unique<TCustomStore>(*this);
    if (!INIFile.empty()) {
        std::error_code ec;
        if (save || std::filesystem::exists(platform::PathFromUtf8(INIFile), ec)) {
            auto ini = std::make_unique<TIniStore>(*this, INIFile);
            // A file that exists but cannot be read is neither read nor
            // overwritten.
            if (!ini->Readable())
                return nullptr;
            return ini;
        }
    }

    auto store = Store ? Store : platform::RegistryStore::Default();
    if (!store)
        return nullptr;
    auto reg = std::make_unique<TRegistryStore>(store, save);
    if (!reg->Began())
        return nullptr;
    std::string base = RegistryPath;
    if (!base.empty() && base.back() == '\\')
        base.pop_back();
    for (const platform::RegistryRoot r : {RegistryRoot, SecondRegistryRoot}) {
        const RegStatus status = save ? reg->Base().Create(r, base, nullptr, store)
                                      : reg->Base().Open(r, base, RegAccess::Read, store);
        if (status == RegStatus::Success) {
            openedRoot_ = r;
            return reg;
        }
    }
    return nullptr;
}

bool TWreg::Run(TPersistent& root, bool save) {
    root_ = &root;
    bool result = false;
    try {
        if (auto store = OpenStore(save)) {
            const bool any = RunLines(*store, save);
            result = store->Finish(save) && any;
        }
    } catch (const std::exception&) {
        result = false;
    }
    root_ = nullptr;
    return result;
}

bool TWreg::RunLines(TStore& store, bool save) {
    bool any = false;
    for (int i = 0; i < Components.Count() && !store.Failed; ++i) {
        const auto line = ParseMapLine(Components[i]);
        if (!line)
            continue;
        try {
            if (save ? SaveLine(store, *line, i) : LoadLine(store, *line, i))
                any = true;
        } catch (const std::exception&) {
            // A property that does not exist or a value that does not convert
            // costs this line only.
        }
    }
    return any;
}

namespace {

// The property a map line names, with the kind that decides its encoding.
struct TTarget {
    bool Virtual = false;
    std::string Name; // the path without the "*" of a virtual property
    std::optional<TPropertyRef> Ref;
    TTypeKind Kind = TTypeKind::Unknown;
};

// DWORDs of unsigned properties are read back unsigned.
bool HoldsUnsigned(const TTarget& t) {
    if (!t.Ref)
        return false;
    if (t.Ref->ItemType() != VarType::Empty)
        return IsUnsigned(t.Ref->ItemType());
    if (!t.Ref->Readable())
        return false;
    try {
        return IsUnsigned(t.Ref->Get().Type());
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<TTarget> ResolveTarget(TWreg& wreg, TPersistent& root, const TWreg::TMapLine& line, int index) {
    TTarget t;
    t.Virtual = line.Path.front() == '*';
    t.Name = t.Virtual ? line.Path.substr(1) : line.Path;
    if (t.Virtual) {
        t.Kind = TTypeKind::Variant;
    } else if ((t.Ref = FindPropertyPath(root, line.Path))) {
        t.Kind = KindOf(*t.Ref);
    }
    if (wreg.BeforeProcessItem) {
        bool process = true;
        wreg.BeforeProcessItem(wreg, line.Path, index, process, t.Virtual, t.Kind);
        if (!process)
            return std::nullopt;
    }
    if (!t.Virtual && !t.Ref)
        return std::nullopt;
    return t;
}

} // namespace

bool TWreg::SaveLine(TStore& store, const TMapLine& line, int index) {
    const auto target = ResolveTarget(*this, *root_, line, index);
    if (!target)
        return false;
    const auto encoding = EncodingOf(target->Kind);
    if (!encoding)
        return false;

    Variant value;
    if (target->Virtual) {
        if (!GetValue)
            return false;
        GetValue(*this, target->Name, index, value);
    } else {
        if (!target->Ref->Readable())
            return false;
        value = target->Ref->Get();
    }

    Variant stored; // Empty: delete the setting
    if (value.IsEmptyOrNull()) {
        // A cleared reference is stored, so that loading clears it too.
        if (target->Kind == TTypeKind::Class)
            stored = Variant(kNullObject);
    } else if (*encoding == TEncoding::Integer) {
        stored = IsIntegerType(value.Type()) ? value : Variant(static_cast<long long>(value.AsInt64()));
    } else if (*encoding == TEncoding::Float) {
        stored = Variant(value.AsDouble());
    } else if (std::string text = value.AsString(); !text.empty()) {
        stored = Variant(std::move(text));
    }
    return store.Write(line, index, *encoding, stored);
}

bool TWreg::LoadLine(TStore& store, const TMapLine& line, int index) {
    const auto target = ResolveTarget(*this, *root_, line, index);
    if (!target)
        return false;
    const auto encoding = EncodingOf(target->Kind);
    if (!encoding)
        return false;
    if (target->Virtual ? !SetValue : !target->Ref->Writable())
        return false;

    auto read = store.Read(line, index, *encoding, HoldsUnsigned(*target));
    if (!read)
        return false;
    Variant value = std::move(*read);
    if (*encoding == TEncoding::Integer) {
        if (value.IsString())
            value = IntegerFromText(value.AsString());
    } else if (*encoding == TEncoding::Text && value.IsNumeric()) {
        // A registry number read for text. A set takes it as its bit mask.
        if (target->Kind != TTypeKind::Set)
            value = Variant(value.AsString());
    } else if (target->Kind == TTypeKind::Class && value.IsString() && value.AsString() == kNullObject) {
        value = Variant::MakeNull();
    }

    try {
        if (target->Virtual) {
            SetValue(*this, target->Name, index, value);
        } else {
            target->Ref->Set(value);
        }
    } catch (const std::exception&) {
        // Found, but the property does not take it: the property keeps its value.
    }
    return true;
}

} // namespace qor
