#include "sim/Templates.h"

#include "sim/CipTypes.h"
#include "sim/TagDatabase.h"
#include "sim/ValueText.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::uint16_t BoolType = 0x00C1;
constexpr std::uint16_t SintType = 0x00C2;
constexpr std::uint16_t DintType = 0x00C4;
constexpr std::uint16_t DwordType = 0x00D3;
// Hidden BOOL hosts are named after the first characters of their type.
constexpr std::size_t HostNameChars = 10;
constexpr std::size_t MaxMembers = 512;
constexpr std::uint32_t MaxStructSize = 0xFFF8;

std::string Upper(std::string_view s) {
    return TagDatabase::Key(s);
}

// Status bits kept in byte 3 of the control word, bit 7 downward.
SimTemplate StatusStructure(std::uint16_t instance, std::string name, std::string word1, std::string word2,
                            std::initializer_list<const char*> bits) {
    SimTemplate t;
    t.Instance = instance;
    t.Handle = instance;
    t.Name = name;
    t.ListedName = std::move(name);
    t.StructSize = 12;
    t.Members.push_back({"CTL", 0, DwordType, 0, true});
    t.Members.push_back({std::move(word1), 0, DintType, 4, false});
    t.Members.push_back({std::move(word2), 0, DintType, 8, false});
    std::uint16_t bit = 7;
    for (const char* b : bits) {
        t.Members.push_back({b, bit--, BoolType, 3, false});
    }
    return t;
}

std::uint16_t Crc16(ByteView bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = static_cast<std::uint16_t>((crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1);
        }
    }
    return crc;
}

std::uint32_t AlignUp(std::uint32_t v, std::uint32_t a) {
    return (v + a - 1) / a * a;
}

} // namespace

bool TemplateMember::IsStructure() const {
    return (Type & TypeStructBit) != 0;
}

bool TemplateMember::IsArray() const {
    return (Type & TypeDimsMask) != 0;
}

std::uint16_t TemplateMember::TemplateInstance() const {
    return static_cast<std::uint16_t>(Type & TypeInstanceMask);
}

const TemplateMember* SimTemplate::FindMember(std::string_view name) const {
    const std::string key = Upper(name);
    for (const TemplateMember& m : Members) {
        if (Upper(m.Name) == key) {
            return &m;
        }
    }
    return nullptr;
}

bool SimTemplate::IsStringShaped() const {
    if (Members.size() != 2) {
        return false;
    }
    const TemplateMember* len = FindMember("LEN");
    const TemplateMember* data = FindMember("DATA");
    if (len == nullptr || data == nullptr || len->IsStructure() || len->IsArray()) {
        return false;
    }
    const std::uint16_t lenType = len->Type & 0xFF;
    const bool integer = lenType == 0xC2 || lenType == 0xC3 || lenType == 0xC4 || lenType == 0xC6 ||
                         lenType == 0xC7 || lenType == 0xC8;
    return integer && data->IsArray() && !data->IsStructure() &&
           ((data->Type & 0xFF) == SintType || (data->Type & 0xFF) == 0xC6);
}

Bytes SimTemplate::Definition() const {
    Bytes out;
    for (const TemplateMember& m : Members) {
        PutU16(out, m.Info);
        PutU16(out, m.Type);
        PutU32(out, m.Offset);
    }
    PutText(out, ListedName);
    PutU8(out, 0);
    for (const TemplateMember& m : Members) {
        PutText(out, m.Name);
        PutU8(out, 0);
    }
    while (out.size() % 4 != 0) {
        PutU8(out, 0);
    }
    return out;
}

std::uint32_t SimTemplate::DefinitionWords() const {
    return static_cast<std::uint32_t>(Definition().size() / 4 + 5);
}

TemplateStore::TemplateStore() {
    Add(StatusStructure(TimerInstance, "TIMER", "PRE", "ACC", {"EN", "TT", "DN"}));
    Add(StatusStructure(CounterInstance, "COUNTER", "PRE", "ACC", {"CU", "CD", "DN", "OV", "UN"}));
    Add(StatusStructure(ControlInstance, "CONTROL", "LEN", "POS",
                        {"EN", "EU", "DN", "EM", "ER", "UL", "IN", "FD"}));
    SimTemplate s;
    s.Instance = StringInstance;
    s.Handle = StringInstance;
    s.Name = "STRING";
    s.ListedName = "ASCIISTRING82";
    s.StructSize = 88;
    s.Members.push_back({"LEN", 0, DintType, 0, false});
    s.Members.push_back({"DATA", 82, static_cast<std::uint16_t>(TypeOneDim | SintType), 4, false});
    Add(std::move(s));
}

void TemplateStore::Add(SimTemplate t) {
    byName_[Upper(t.Name)] = t.Instance;
    const std::uint16_t instance = t.Instance;
    byInstance_[instance] = std::move(t);
}

SimTemplate TemplateStore::Define(std::string_view name, const std::vector<MemberDecl>& members) {
    if (name.empty() || name.size() > 40 || name.find(';') != std::string_view::npos) {
        throw std::invalid_argument("bad type name '" + std::string(name) + "'");
    }
    if (members.empty() || members.size() > MaxMembers) {
        throw std::invalid_argument("type " + std::string(name) + " needs 1.." + std::to_string(MaxMembers) +
                                    " members");
    }
    std::unique_lock lock(mutex_);
    auto existing = byName_.find(Upper(name));
    if (existing != byName_.end() && byInstance_.at(existing->second).Handle == existing->second) {
        throw std::invalid_argument("type " + std::string(name) + " is predefined");
    }

    SimTemplate t;
    t.Name = std::string(name);
    std::string suffix = ";n";
    std::uint32_t offset = 0;
    std::uint32_t align = 4;
    // The open BOOL host: its member index and the next free bit.
    bool hostOpen = false;
    std::size_t host = 0;
    std::uint16_t nextBit = 0;
    unsigned hosts = 0;
    std::vector<std::string> seen;

    for (const MemberDecl& d : members) {
        const std::string key = Upper(d.Name);
        if (d.Name.empty() || std::find(seen.begin(), seen.end(), key) != seen.end()) {
            throw std::invalid_argument("type " + t.Name + ": bad or repeated member '" + d.Name + "'");
        }
        seen.push_back(key);
        if (d.Count > 0xFFFF) {
            throw std::invalid_argument("type " + t.Name + ": member " + d.Name + " too large");
        }
        const std::optional<CipType> atomic = CipTypeFromName(d.TypeName);
        if (atomic && *atomic == CipType::Bool && d.Count == 0) {
            if (!hostOpen || nextBit == 8) {
                std::string hostName =
                    "ZZZZZZZZZZ" + t.Name.substr(0, HostNameChars) + std::to_string(hosts++);
                host = t.Members.size();
                hostOpen = true;
                nextBit = 0;
                t.Members.push_back({hostName, 0, SintType, offset, true});
                suffix += "EB";
                offset += 1;
            }
            t.Members.push_back({d.Name, nextBit++, BoolType, t.Members[host].Offset, false});
            suffix += "EC";
            continue;
        }
        hostOpen = false;
        if (atomic) {
            if (*atomic == CipType::Bool) {
                // A BOOL array member is a DWORD array, as a BOOL array tag is.
                const std::uint32_t words = (d.Count + 31) / 32;
                offset = AlignUp(offset, 4);
                TemplateMember bits{d.Name, static_cast<std::uint16_t>(words),
                                    static_cast<std::uint16_t>(TypeOneDim | DwordType), offset, false};
                bits.BitCount = d.Count;
                t.Members.push_back(std::move(bits));
                offset += 4 * words;
                suffix += "EA";
                if (offset > MaxStructSize) {
                    throw std::invalid_argument("type " + t.Name + " is larger than " +
                                                std::to_string(MaxStructSize) + " bytes");
                }
                continue;
            }
            const auto size = static_cast<std::uint32_t>(AtomicSize(static_cast<std::uint16_t>(*atomic)));
            const std::uint32_t a = std::min<std::uint32_t>(size, 8);
            align = std::max(align, a);
            offset = AlignUp(offset, a);
            std::uint16_t type = static_cast<std::uint16_t>(*atomic);
            if (d.Count > 0) {
                type |= TypeOneDim;
            }
            t.Members.push_back({d.Name, static_cast<std::uint16_t>(d.Count), type, offset, false});
            offset += size * std::max<std::uint32_t>(d.Count, 1);
            suffix += "EA";
            if (offset > MaxStructSize) {
                throw std::invalid_argument("type " + t.Name + " is larger than " +
                                            std::to_string(MaxStructSize) + " bytes");
            }
            continue;
        }
        auto nested = byName_.find(Upper(d.TypeName));
        if (nested == byName_.end() || nested->second == (existing != byName_.end() ? existing->second : 0)) {
            throw std::invalid_argument("type " + t.Name + ": unknown member type '" + d.TypeName + "'");
        }
        const SimTemplate& n = byInstance_.at(nested->second);
        offset = AlignUp(offset, 4);
        std::uint16_t type = static_cast<std::uint16_t>(TypeStructBit | n.Instance);
        if (d.Count > 0) {
            type |= TypeOneDim;
        }
        t.Members.push_back({d.Name, static_cast<std::uint16_t>(d.Count), type, offset, false});
        offset += n.StructSize * std::max<std::uint32_t>(d.Count, 1);
        suffix += "EA";
        if (offset > MaxStructSize) {
            throw std::invalid_argument("type " + t.Name + " is larger than " +
                                        std::to_string(MaxStructSize) + " bytes");
        }
    }
    // The size attribute is 16 bits wide.
    if (offset > MaxStructSize) {
        throw std::invalid_argument("type " + t.Name + " is larger than " + std::to_string(MaxStructSize) +
                                    " bytes");
    }
    t.StructSize = AlignUp(std::max<std::uint32_t>(offset, 1), align);
    t.ListedName = t.Name + suffix.substr(0, 2 + std::min<std::size_t>(suffix.size() - 2, 20));

    // A free instance below the predefined range; a redefinition takes a new one.
    std::uint16_t instance = nextInstance_;
    while (byInstance_.count(instance) != 0 || instance == 0) {
        instance = static_cast<std::uint16_t>(instance >= 0x0EFF ? 0x0100 : instance + 1);
    }
    nextInstance_ = static_cast<std::uint16_t>(instance + 0x23);
    t.Instance = instance;
    const Bytes definition = t.Definition();
    t.Handle = Crc16(definition);
    if (t.Handle == t.Instance) {
        t.Handle ^= 0x5A5A; // a user type's handle never equals its instance
    }
    if (existing != byName_.end()) {
        byInstance_.erase(existing->second);
    }
    Add(t);
    return t;
}

std::optional<SimTemplate> TemplateStore::FindByName(std::string_view name) const {
    std::shared_lock lock(mutex_);
    auto it = byName_.find(Upper(name));
    if (it == byName_.end()) {
        return std::nullopt;
    }
    return byInstance_.at(it->second);
}

std::optional<SimTemplate> TemplateStore::FindByInstance(std::uint16_t instance) const {
    std::shared_lock lock(mutex_);
    auto it = byInstance_.find(instance);
    if (it == byInstance_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<SimTemplate> TemplateStore::All() const {
    std::shared_lock lock(mutex_);
    std::vector<SimTemplate> out;
    for (const auto& [instance, t] : byInstance_) {
        out.push_back(t);
    }
    return out;
}

namespace {

bool Quoted(const std::string& token) {
    return token.size() >= 2 && token.front() == '"' && token.back() == '"';
}

void FillString(const SimTemplate& t, std::span<std::uint8_t> element, const std::string& token) {
    const TemplateMember& len = *t.FindMember("LEN");
    const TemplateMember& data = *t.FindMember("DATA");
    const std::string_view text = std::string_view(token).substr(1, token.size() - 2);
    if (text.size() > data.Info) {
        throw std::invalid_argument("text longer than " + std::to_string(data.Info) + " characters");
    }
    Bytes lenBytes;
    if (!EncodeValueText(len.Type & 0xFF, std::to_string(text.size()), lenBytes)) {
        throw std::invalid_argument("text too long for its LEN");
    }
    std::copy(lenBytes.begin(), lenBytes.end(), element.begin() + len.Offset);
    std::copy(text.begin(), text.end(), element.begin() + data.Offset);
}

} // namespace

void FillElement(const TemplateStore& store, const SimTemplate& t, std::span<std::uint8_t> element,
                 const std::vector<std::string>& tokens, std::size_t& next) {
    if (next < tokens.size() && Quoted(tokens[next]) && t.IsStringShaped()) {
        FillString(t, element, tokens[next++]);
        return;
    }
    for (const TemplateMember& m : t.Members) {
        if (m.Hidden) {
            continue;
        }
        const std::size_t count = m.IsArray() ? m.Info : 1;
        if (m.IsStructure()) {
            std::optional<SimTemplate> nested = store.FindByInstance(m.TemplateInstance());
            if (!nested) {
                throw std::invalid_argument("member " + m.Name + ": its type is gone");
            }
            for (std::size_t i = 0; i < count && next < tokens.size(); ++i) {
                FillElement(store, *nested,
                            element.subspan(m.Offset + i * nested->StructSize, nested->StructSize), tokens,
                            next);
            }
            continue;
        }
        const std::uint16_t code = m.Type & 0xFF;
        if (m.BitCount > 0) {
            for (std::size_t bit = 0; bit < m.BitCount && next < tokens.size(); ++bit) {
                const std::string& token = tokens[next++];
                Bytes one;
                if (!EncodeValueText(BoolType, token, one)) {
                    throw std::invalid_argument("value '" + token + "' of member " + m.Name + " is no BOOL");
                }
                if (one[0] != 0) {
                    std::uint8_t& byte = element[m.Offset + bit / 8];
                    byte = static_cast<std::uint8_t>(byte | (1u << (bit % 8)));
                }
            }
            if (next >= tokens.size()) {
                return;
            }
            continue;
        }
        for (std::size_t i = 0; i < count && next < tokens.size(); ++i) {
            const std::string& token = tokens[next++];
            Bytes bytes;
            if (!EncodeValueText(code, token, bytes)) {
                throw std::invalid_argument("value '" + token + "' does not fit member " + m.Name + " (" +
                                            std::string(CipTypeName(code)) + ")");
            }
            if (code == BoolType) {
                if (bytes[0] != 0) {
                    element[m.Offset] = static_cast<std::uint8_t>(element[m.Offset] | (1u << (m.Info & 7)));
                }
                continue;
            }
            std::copy(bytes.begin(), bytes.end(), element.begin() + m.Offset + i * bytes.size());
        }
        if (next >= tokens.size()) {
            return;
        }
    }
}

} // namespace sim
