#include "sim/TagDatabase.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace sim {
namespace {

// Logix symbol names are at most 40 characters; program-scoped names carry
// the program prefix as well.
constexpr std::size_t MaxNameLength = 128;
constexpr std::uint64_t MaxTagBytes = 64u << 20;

void Validate(const SimTag& tag) {
    if (tag.Name.empty() || tag.Name.size() > MaxNameLength) {
        throw std::invalid_argument("tag name must be 1.." + std::to_string(MaxNameLength) + " characters");
    }
    if (tag.TypeCode == ShortStringType) {
        if (!tag.Dims.empty() || tag.Data.empty() || tag.Data.size() != tag.Data[0] + 1u) {
            throw std::invalid_argument("tag " + tag.Name +
                                        ": a SHORT_STRING is a scalar: length, then text");
        }
        return;
    }
    if (!tag.IsStructure() && AtomicSize(tag.TypeCode) == 0) {
        throw std::invalid_argument("tag " + tag.Name + ": unknown type code");
    }
    if (tag.IsStructure() && tag.StructSize == 0) {
        throw std::invalid_argument("tag " + tag.Name + ": structure without a size");
    }
    if (tag.Dims.size() > 3) {
        throw std::invalid_argument("tag " + tag.Name + ": more than three dimensions");
    }
    std::uint64_t count = 1;
    for (std::uint32_t d : tag.Dims) {
        if (d == 0) {
            throw std::invalid_argument("tag " + tag.Name + ": zero dimension");
        }
        count *= d;
        if (count > 0x00FFFFFF) {
            throw std::invalid_argument("tag " + tag.Name + ": too many elements");
        }
    }
    if (tag.Data.size() != count * tag.ElementSize()) {
        throw std::invalid_argument("tag " + tag.Name + ": data size does not match type and dimensions");
    }
}

template <class T>
T Saturate(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(v);
}

} // namespace

std::size_t SimTag::ElementSize() const {
    if (TypeCode == ShortStringType) {
        return Data.size();
    }
    return IsStructure() ? StructSize : AtomicSize(TypeCode);
}

std::size_t SimTag::ElementCount() const {
    std::size_t count = 1;
    for (std::uint32_t d : Dims) {
        count *= d;
    }
    return count;
}

std::uint16_t SimTag::SymbolType() const {
    std::uint16_t word = IsStructure() ? static_cast<std::uint16_t>(0x8000 | (TemplateInstance & 0x0FFF))
                                       : static_cast<std::uint16_t>(TypeCode & 0x00FF);
    if (TypeCode == static_cast<std::uint16_t>(CipType::Bool) && Dims.empty()) {
        word = static_cast<std::uint16_t>(word | ((BitPosition & 7u) << 8));
    }
    return static_cast<std::uint16_t>(word | ((Dims.size() & 3) << 13));
}

SimTag MakeTag(std::string name, CipType type, std::vector<std::uint32_t> dims) {
    SimTag tag;
    tag.Name = std::move(name);
    tag.TypeCode = static_cast<std::uint16_t>(type);
    tag.Dims = std::move(dims);
    std::uint64_t count = 1;
    for (std::uint32_t d : tag.Dims) {
        count *= d;
        if (d == 0 || count > 0x00FFFFFF) {
            throw std::invalid_argument("tag " + tag.Name + ": bad dimensions");
        }
    }
    tag.Data.assign(count * AtomicSize(tag.TypeCode), 0);
    return tag;
}

SimTag MakeStructTag(std::string name, const SimTemplate& type, std::vector<std::uint32_t> dims) {
    SimTag tag;
    tag.Name = std::move(name);
    tag.TypeCode = StructureTypeWord;
    tag.TemplateInstance = type.Instance;
    tag.StructHandle = type.Handle;
    tag.StructSize = type.StructSize;
    tag.Dims = std::move(dims);
    std::uint64_t count = 1;
    for (std::uint32_t d : tag.Dims) {
        count *= d;
        if (d == 0 || count > 0x00FFFFFF) {
            throw std::invalid_argument("tag " + tag.Name + ": bad dimensions");
        }
    }
    // A simulated controller has tens of megabytes of tag memory at most.
    if (count * type.StructSize > MaxTagBytes) {
        throw std::invalid_argument("tag " + tag.Name + ": too large");
    }
    tag.Data.assign(count * type.StructSize, 0);
    return tag;
}

SimTag MakeBoolArray(std::string name, std::uint32_t bits) {
    if (bits == 0 || bits > 0x00FFFFFF) {
        throw std::invalid_argument("BOOL array " + name + ": bad size");
    }
    SimTag tag = MakeTag(std::move(name), CipType::Dword, {(bits + 31) / 32});
    tag.BitArray = true;
    return tag;
}

SimTag MakeShortString(std::string name, std::string_view text) {
    if (text.size() > 255) {
        throw std::invalid_argument("SHORT_STRING " + name + ": longer than 255 characters");
    }
    SimTag tag;
    tag.Name = std::move(name);
    tag.TypeCode = ShortStringType;
    tag.Data.push_back(static_cast<std::uint8_t>(text.size()));
    tag.Data.insert(tag.Data.end(), text.begin(), text.end());
    return tag;
}

void PutTyped(Bytes& out, CipType type, double value) {
    switch (type) {
    case CipType::Real:
        PutValue(out, static_cast<float>(value));
        break;
    case CipType::Lreal:
        PutValue(out, value);
        break;
    case CipType::Bool:
        PutValue(out, static_cast<std::uint8_t>(value != 0 ? 1 : 0));
        break;
    case CipType::Sint:
        PutValue(out, Saturate<std::int8_t>(value));
        break;
    case CipType::Int:
        PutValue(out, Saturate<std::int16_t>(value));
        break;
    case CipType::Dint:
        PutValue(out, Saturate<std::int32_t>(value));
        break;
    case CipType::Lint:
        PutValue(out, Saturate<std::int64_t>(value));
        break;
    case CipType::Usint:
    case CipType::Byte:
        PutValue(out, Saturate<std::uint8_t>(value));
        break;
    case CipType::Uint:
    case CipType::Word:
        PutValue(out, Saturate<std::uint16_t>(value));
        break;
    case CipType::Udint:
    case CipType::Dword:
        PutValue(out, Saturate<std::uint32_t>(value));
        break;
    case CipType::Ulint:
    case CipType::Lword:
        PutValue(out, Saturate<std::uint64_t>(value));
        break;
    case CipType::Date:
        PutValue(out, Saturate<std::uint16_t>(value));
        break;
    case CipType::Time:
        PutValue(out, Saturate<std::int32_t>(value));
        break;
    case CipType::DateAndTime:
        PutTypedInteger(out, type, Saturate<std::int64_t>(value));
        break;
    }
}

void PutTypedInteger(Bytes& out, CipType type, std::int64_t value) {
    switch (type) {
    case CipType::Real:
    case CipType::Lreal:
        PutTyped(out, type, static_cast<double>(value));
        return;
    case CipType::Bool:
        PutValue(out, static_cast<std::uint8_t>(value != 0 ? 1 : 0));
        return;
    default:
        break;
    }
    // Integers keep their low bytes (two's complement), so 0xFFFFFFFF fills a
    // DWORD and -1 a DINT alike.
    const std::size_t size = AtomicSize(static_cast<std::uint16_t>(type));
    const auto bits = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
}

std::string TagDatabase::Key(std::string_view name) {
    std::string key(name);
    for (char& c : key) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return key;
}

namespace {

constexpr std::uint16_t ProgramSymbol = 0x1068;
constexpr std::uint16_t MapSymbol = 0x1069;
constexpr std::uint16_t RoutineSymbol = 0x106D;
constexpr std::uint16_t TaskSymbol = 0x1070;

// "Program:Main.Speed" -> ("MAIN", "Speed"); nothing for controller scope.
std::optional<std::pair<std::string, std::string>> SplitProgram(std::string_view name) {
    constexpr std::string_view prefix = "PROGRAM:";
    if (name.size() <= prefix.size() || TagDatabase::Key(name.substr(0, prefix.size())) != prefix) {
        return std::nullopt;
    }
    const auto dot = name.find('.', prefix.size());
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    return std::make_pair(TagDatabase::Key(name.substr(prefix.size(), dot - prefix.size())),
                          std::string(name.substr(dot + 1)));
}

SymbolEntry EntryOf(const SimTag& tag, std::string name) {
    SymbolEntry e;
    e.Instance = tag.InstanceId;
    e.Type = tag.SymbolType();
    e.ElementSize = static_cast<std::uint16_t>(tag.ElementSize());
    for (std::size_t d = 0; d < tag.Dims.size() && d < 3; ++d) {
        e.Dims[d] = tag.Dims[d];
    }
    e.Name = std::move(name);
    return e;
}

} // namespace

std::uint32_t TagDatabase::NextInstance() {
    const std::uint32_t id = nextInstance_;
    nextInstance_ += InstanceStep;
    return id;
}

void TagDatabase::AddSystemSymbol(std::string name, std::uint16_t type) {
    std::string key = Key(name);
    if (system_.count(key) != 0) {
        return;
    }
    SymbolEntry e;
    e.Instance = NextInstance();
    e.Type = type;
    e.Name = std::move(name);
    system_.emplace(std::move(key), std::move(e));
}

void TagDatabase::Set(SimTag tag) {
    Validate(tag);
    std::unique_lock lock(mutex_);
    std::string key = Key(tag.Name);
    auto it = tags_.find(key);
    if (it != tags_.end()) {
        tag.InstanceId = it->second.InstanceId;
        tag.BitPosition = it->second.BitPosition;
        it->second = std::move(tag);
        return;
    }
    // A controller with any tags has a task and a map of its local chassis,
    // and lists every program as a symbol of its own.
    AddSystemSymbol("Task:MainTask", TaskSymbol);
    AddSystemSymbol("Map:Local", MapSymbol);
    if (SplitProgram(tag.Name)) {
        const std::string program = tag.Name.substr(8, tag.Name.find('.') - 8);
        AddSystemSymbol("Program:" + program, ProgramSymbol);
        AddSystemSymbol("Program:" + program + ".Routine:MainRoutine", RoutineSymbol);
    }
    tag.InstanceId = NextInstance();
    if (tag.TypeCode == static_cast<std::uint16_t>(CipType::Bool) && tag.Dims.empty()) {
        // Consecutive BOOLs share a byte on the controller.
        tag.BitPosition = static_cast<std::uint8_t>(boolCount_++ % 8);
    }
    tags_.emplace(std::move(key), std::move(tag));
}

SimTemplate TagDatabase::DefineType(std::string_view name, const std::vector<MemberDecl>& members) {
    std::optional<SimTemplate> old = types_.FindByName(name);
    SimTemplate t = types_.Define(name, members);
    if (!old) {
        return t;
    }
    std::unique_lock lock(mutex_);
    for (auto& [key, tag] : tags_) {
        if (tag.IsStructure() && tag.TemplateInstance == old->Instance) {
            tag.TemplateInstance = t.Instance;
            tag.StructHandle = t.Handle;
            tag.StructSize = t.StructSize;
            tag.Data.assign(tag.ElementCount() * t.StructSize, 0);
            tag.InstanceId = NextInstance();
        }
    }
    return t;
}

void TagDatabase::SetStructure(std::string name, std::string_view typeName, std::vector<std::uint32_t> dims,
                               const std::vector<std::string>& tokens) {
    std::optional<SimTemplate> t = types_.FindByName(typeName);
    if (!t) {
        throw std::invalid_argument("unknown type '" + std::string(typeName) + "'");
    }
    SimTag tag = MakeStructTag(std::move(name), *t, std::move(dims));
    std::size_t next = 0;
    const std::size_t count = tag.ElementCount();
    for (std::size_t i = 0; i < count && next < tokens.size(); ++i) {
        FillElement(types_, *t, std::span<std::uint8_t>(tag.Data).subspan(i * t->StructSize, t->StructSize),
                    tokens, next);
    }
    if (next < tokens.size()) {
        throw std::invalid_argument("more values than elements");
    }
    Set(std::move(tag));
}

std::optional<std::vector<SymbolEntry>> TagDatabase::Symbols(std::string_view program) const {
    std::shared_lock lock(mutex_);
    std::map<std::uint32_t, SymbolEntry> byInstance;
    const std::string wanted = Key(program);
    bool known = program.empty();
    for (const auto& [key, tag] : tags_) {
        auto scoped = SplitProgram(tag.Name);
        if (!scoped && program.empty()) {
            byInstance.emplace(tag.InstanceId, EntryOf(tag, tag.Name));
        } else if (scoped && scoped->first == wanted) {
            known = true;
            byInstance.emplace(tag.InstanceId, EntryOf(tag, scoped->second));
        }
    }
    for (const auto& [key, e] : system_) {
        auto scoped = SplitProgram(e.Name);
        if (!scoped && program.empty()) {
            byInstance.emplace(e.Instance, e);
        } else if (scoped && scoped->first == wanted) {
            SymbolEntry local = e;
            local.Name = scoped->second;
            byInstance.emplace(e.Instance, std::move(local));
        }
    }
    if (!known) {
        return std::nullopt;
    }
    std::vector<SymbolEntry> out;
    out.reserve(byInstance.size());
    for (auto& [instance, e] : byInstance) {
        out.push_back(std::move(e));
    }
    return out;
}

bool TagDatabase::IsSystemSymbol(std::string_view name) const {
    std::shared_lock lock(mutex_);
    return system_.count(Key(name)) != 0;
}

bool TagDatabase::Remove(std::string_view name) {
    std::unique_lock lock(mutex_);
    return tags_.erase(Key(name)) > 0;
}

void TagDatabase::Clear() {
    std::unique_lock lock(mutex_);
    tags_.clear();
    system_.clear();
}

std::optional<SimTag> TagDatabase::Find(std::string_view name) const {
    std::shared_lock lock(mutex_);
    auto it = tags_.find(Key(name));
    if (it == tags_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::size_t TagDatabase::Size() const {
    std::shared_lock lock(mutex_);
    return tags_.size();
}

std::vector<SimTag> TagDatabase::All() const {
    std::shared_lock lock(mutex_);
    std::map<std::uint32_t, const SimTag*> byInstance;
    for (const auto& [key, tag] : tags_) {
        byInstance.emplace(tag.InstanceId, &tag);
    }
    std::vector<SimTag> result;
    result.reserve(byInstance.size());
    for (const auto& [instance, tag] : byInstance) {
        result.push_back(*tag);
    }
    return result;
}

bool TagDatabase::WriteElements(std::string_view name, std::size_t firstElement, ByteView bytes) {
    std::unique_lock lock(mutex_);
    auto it = tags_.find(Key(name));
    if (it == tags_.end()) {
        return false;
    }
    SimTag& tag = it->second;
    const std::size_t size = tag.ElementSize();
    if (firstElement > tag.ElementCount() || bytes.size() > (tag.ElementCount() - firstElement) * size) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(),
              tag.Data.begin() + static_cast<std::ptrdiff_t>(firstElement * size));
    return true;
}

bool TagDatabase::WriteValue(std::string_view name, std::size_t element, double value) {
    std::uint16_t type = 0;
    if (!With(name,
              [&](const SimTag& tag) {
                  type = tag.IsStructure() || tag.TypeCode == ShortStringType ? 0 : tag.TypeCode;
              }) ||
        type == 0) {
        return false;
    }
    Bytes bytes;
    PutTyped(bytes, static_cast<CipType>(type), value);
    return WriteElements(name, element, bytes);
}

bool TagDatabase::WriteInteger(std::string_view name, std::size_t element, std::int64_t value) {
    std::uint16_t type = 0;
    if (!With(name,
              [&](const SimTag& tag) {
                  type = tag.IsStructure() || tag.TypeCode == ShortStringType ? 0 : tag.TypeCode;
              }) ||
        type == 0) {
        return false;
    }
    Bytes bytes;
    PutTypedInteger(bytes, static_cast<CipType>(type), value);
    return WriteElements(name, element, bytes);
}

} // namespace sim
