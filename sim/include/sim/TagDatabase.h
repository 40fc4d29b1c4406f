// The controller's tags: what Read Tag and Read Tag Fragmented answer from.
//
// A tag is a name, a CIP type, up to three array dimensions and the raw
// little-endian bytes of its elements, exactly as a controller would send
// them. Names are found without regard to ASCII letter case, as a controller
// does; program-scoped tags are stored under their full name
// ("Program:Main.Speed"). Every tag gets a symbol instance number when it is
// first added, so that a symbol-table browse can list them in a stable order.
//
// The database is shared by the server's session threads and by the test that
// sets values while the server runs; every operation takes its lock.
#pragma once

#include "sim/CipTypes.h"
#include "sim/SimBytes.h"
#include "sim/Templates.h"

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct SimTag {
    std::string Name;
    // An atomic type code (CipType); structures, once the device holds
    // templates, carry StructureTypeWord with TemplateInstance set.
    std::uint16_t TypeCode = 0;
    // Array dimensions, outermost first; empty for a scalar.
    std::vector<std::uint32_t> Dims;
    // ElementCount() × ElementSize() bytes, little-endian.
    Bytes Data;
    // Symbol instance in the symbol table (set by the database).
    std::uint32_t InstanceId = 0;
    // Structures: template instance and structure handle (0 for atomic tags).
    std::uint16_t TemplateInstance = 0;
    std::uint16_t StructHandle = 0;
    // Structures: bytes of one element (atomic tags use their type's size).
    std::uint32_t StructSize = 0;
    // A BOOL array: held and answered as DWORDs (Dims counts the 32-bit
    // words), while a subscript names a bit.
    bool BitArray = false;
    // A scalar BOOL: its bit in the byte the controller packs it into,
    // reported in bits 8..10 of the symbol type (set by the database).
    std::uint8_t BitPosition = 0;

    std::size_t ElementSize() const;
    std::size_t ElementCount() const;
    bool IsStructure() const { return TypeCode == StructureTypeWord; }
    // The symbol type word a symbol browse reports: the atomic code or the
    // template instance with bit 15, and the dimension count in bits 13..14.
    std::uint16_t SymbolType() const;
};

// A tag of the given type and dimensions with every element zero.
SimTag MakeTag(std::string name, CipType type, std::vector<std::uint32_t> dims = {});
// A structure tag of the template with every element zero.
SimTag MakeStructTag(std::string name, const SimTemplate& type, std::vector<std::uint32_t> dims = {});
// A BOOL array of `bits` bits (rounded up to whole 32-bit words), all clear.
SimTag MakeBoolArray(std::string name, std::uint32_t bits);
// A SHORT_STRING scalar holding the text (at most 255 characters).
SimTag MakeShortString(std::string name, std::string_view text);

// One record of a symbol browse: what the Symbol object reports of a tag or
// of a system symbol (program, routine, task, map).
struct SymbolEntry {
    std::uint32_t Instance = 0;
    std::uint16_t Type = 0;        // symbol type word
    std::uint16_t ElementSize = 0; // bytes of one element; 0 for system symbols
    std::array<std::uint32_t, 3> Dims{};
    std::string Name; // program-scoped tags without their "Program:X." prefix
};

// A tag holding the given values, converted to the type's width
// (values beyond the element count are an error; missing ones stay zero).
template <class T>
SimTag MakeTag(std::string name, CipType type, std::vector<std::uint32_t> dims, std::span<const T> values);

template <class T>
SimTag MakeTag(std::string name, CipType type, std::vector<std::uint32_t> dims,
               std::initializer_list<T> values) {
    return MakeTag<T>(std::move(name), type, std::move(dims),
                      std::span<const T>(values.begin(), values.size()));
}

// Writes one value as the little-endian bytes of the given atomic type.
void PutTyped(Bytes& out, CipType type, double value);
void PutTypedInteger(Bytes& out, CipType type, std::int64_t value);

class TagDatabase {
public:
    // Adds a tag or replaces the one of the same name (which keeps its
    // symbol instance). Throws std::invalid_argument for an unknown type, more
    // than three dimensions, a zero dimension, an empty or over-long name or
    // data of the wrong size.
    void Set(SimTag tag);
    bool Remove(std::string_view name);
    void Clear();

    std::optional<SimTag> Find(std::string_view name) const;
    std::size_t Size() const;
    // Tags in symbol instance order.
    std::vector<SimTag> All() const;

    // Overwrites elements of an existing tag from the element index on;
    // false when the tag is missing or the bytes run past its end.
    bool WriteElements(std::string_view name, std::size_t firstElement, ByteView bytes);
    // One element from a number, converted to the tag's atomic type.
    bool WriteValue(std::string_view name, std::size_t element, double value);
    bool WriteInteger(std::string_view name, std::size_t element, std::int64_t value);

    // Runs f(const SimTag&) under the read lock; false when the tag is missing.
    template <class F>
    bool With(std::string_view name, F&& f) const {
        std::shared_lock lock(mutex_);
        auto it = tags_.find(Key(name));
        if (it == tags_.end()) {
            return false;
        }
        f(it->second);
        return true;
    }

    static std::string Key(std::string_view name);

    // The structure types the tags use.
    TemplateStore& Types() { return types_; }
    const TemplateStore& Types() const { return types_; }

    // Declares a structure type. Declaring one again is a program download:
    // the type gets a new template (instance, handle, size) and every tag of
    // it new symbol instances and zeroed data of the new size.
    SimTemplate DefineType(std::string_view name, const std::vector<MemberDecl>& members);
    // A structure tag of a declared type from tag text tokens (FillElement,
    // element after element). Throws std::invalid_argument.
    void SetStructure(std::string name, std::string_view typeName, std::vector<std::uint32_t> dims,
                      const std::vector<std::string>& tokens);

    // The symbol table in instance order: controller scope for an empty
    // program name (tags, programs, a task and a map), otherwise the tags of
    // that program and its routine; nothing for an unknown program.
    std::optional<std::vector<SymbolEntry>> Symbols(std::string_view program) const;
    // True when the name is a system symbol (a program, routine, task, map).
    bool IsSystemSymbol(std::string_view name) const;

    // Symbol instances are spread out as on a controller, so that a table
    // of a few dozen tags already needs 32-bit instance numbers.
    static constexpr std::uint32_t InstanceStep = 3079;

private:
    std::uint32_t NextInstance();
    void AddSystemSymbol(std::string name, std::uint16_t type);

    mutable std::shared_mutex mutex_;
    std::map<std::string, SimTag> tags_;
    std::map<std::string, SymbolEntry> system_; // by upper-case name
    std::uint32_t nextInstance_ = 1;
    std::size_t boolCount_ = 0;
    TemplateStore types_;
};

template <class T>
SimTag MakeTag(std::string name, CipType type, std::vector<std::uint32_t> dims, std::span<const T> values) {
    SimTag tag = MakeTag(std::move(name), type, std::move(dims));
    if (values.size() > tag.ElementCount()) {
        throw std::invalid_argument("more values than elements for tag " + tag.Name);
    }
    Bytes data;
    data.reserve(tag.Data.size());
    for (const T& v : values) {
        if constexpr (std::is_floating_point_v<T>) {
            PutTyped(data, type, static_cast<double>(v));
        } else {
            PutTypedInteger(data, type, static_cast<std::int64_t>(v));
        }
    }
    std::copy(data.begin(), data.end(), tag.Data.begin());
    return tag;
}

} // namespace sim
