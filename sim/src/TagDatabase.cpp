#include "sim/TagDatabase.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace sim {
namespace {

// Logix symbol names are at most 40 characters; program-scoped names carry
// the program prefix as well.
constexpr std::size_t MaxNameLength = 128;

void Validate(const SimTag& tag) {
    if (tag.Name.empty() || tag.Name.size() > MaxNameLength) {
        throw std::invalid_argument("tag name must be 1.." + std::to_string(MaxNameLength) + " characters");
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

void TagDatabase::Set(SimTag tag) {
    Validate(tag);
    std::unique_lock lock(mutex_);
    std::string key = Key(tag.Name);
    auto it = tags_.find(key);
    if (it != tags_.end()) {
        tag.InstanceId = it->second.InstanceId;
        it->second = std::move(tag);
        return;
    }
    tag.InstanceId = nextInstance_++;
    tags_.emplace(std::move(key), std::move(tag));
}

bool TagDatabase::Remove(std::string_view name) {
    std::unique_lock lock(mutex_);
    return tags_.erase(Key(name)) > 0;
}

void TagDatabase::Clear() {
    std::unique_lock lock(mutex_);
    tags_.clear();
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
    if (!With(name, [&](const SimTag& tag) { type = tag.IsStructure() ? 0 : tag.TypeCode; }) || type == 0) {
        return false;
    }
    Bytes bytes;
    PutTyped(bytes, static_cast<CipType>(type), value);
    return WriteElements(name, element, bytes);
}

bool TagDatabase::WriteInteger(std::string_view name, std::size_t element, std::int64_t value) {
    std::uint16_t type = 0;
    if (!With(name, [&](const SimTag& tag) { type = tag.IsStructure() ? 0 : tag.TypeCode; }) || type == 0) {
        return false;
    }
    Bytes bytes;
    PutTypedInteger(bytes, static_cast<CipType>(type), value);
    return WriteElements(name, element, bytes);
}

} // namespace sim
