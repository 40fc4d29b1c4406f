#include "logix/Logix_Template.h"

#include <algorithm>
#include <limits>

namespace logix {

using namespace eip;

namespace {

constexpr std::size_t MemberRecordSize = 8; // Info u16, Type u16, Offset u32
// No controller holds a definition this large; a bigger attribute value is
// corrupt and must not turn into millions of chunk requests.
constexpr std::uint64_t MaxTemplateDefinitionBytes = 4u << 20;

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// Members the controller adds on its own: the host bytes of packed BOOLs of
// user types ("ZZZZZZZZZZ" + type name + index) and of add-on types
// ("__BitHost00"; user names cannot hold two underscores in a row), and the
// unnamed members of some predefined types.
bool IsHiddenName(std::string_view name) {
    return name.empty() || name.starts_with("ZZZZZZZZZZ") || name.starts_with("__");
}

std::uint32_t AtomicMemberSize(const TMemberInfo& m) {
    if (m.AtomicType() == cipType::BOOL && !m.IsArray())
        return 1;
    return static_cast<std::uint32_t>(TypeSize(m.AtomicType())) * m.ElementCount();
}

std::unique_ptr<TMemberInfo> CopyOf(const TMemberInfo& m) {
    return std::make_unique<TMemberInfo>(m);
}

} // namespace

// --------------------------------------------------- TGetStructAttribsReply

std::size_t TGetStructAttribsReply::Expand(std::span<const std::uint8_t> bytes, std::size_t offset) {
    CheckRange(static_cast<std::int64_t>(bytes.size()), static_cast<std::int64_t>(offset), PayloadSize);
    const std::uint32_t definitionSize = ToUInt32(bytes, offset + 6);
    const std::uint16_t structureSize = ToUInt16(bytes, offset + 14);
    const std::uint16_t memberCount = ToUInt16(bytes, offset + 20);
    const std::uint16_t handle = ToUInt16(bytes, offset + 26);
    DefinitionSize = definitionSize;
    StructureSize = structureSize;
    MemberCount = memberCount;
    Handle = handle;
    return offset + PayloadSize;
}

std::uint32_t TGetStructAttribsReply::DefinitionBytes() const {
    if (DefinitionSize < 5)
        return 0;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>((std::uint64_t{DefinitionSize} - 5) * 4, MaxTemplateDefinitionBytes));
}

// ------------------------------------------------------------ TTemplateInfo

std::unique_ptr<TTemplateInfo> TTemplateInfo::Parse(std::span<const std::uint8_t> definition,
                                                    const TGetStructAttribsReply& attributes) {
    auto info = std::make_unique<TTemplateInfo>();
    info->Handle = attributes.Handle;
    if (definition.empty())
        return info;
    info->StructureSize = attributes.StructureSize;

    const std::size_t records =
        std::min<std::size_t>(attributes.MemberCount, definition.size() / MemberRecordSize);
    std::vector<TMemberInfo> members(records);
    for (std::size_t i = 0; i < records; ++i) {
        const std::size_t at = i * MemberRecordSize;
        TMemberInfo& m = members[i];
        m.Info = ToUInt16(definition, at);
        m.Type = ToUInt16(definition, at + 2);
        m.Offset = ToUInt32(definition, at + 4);
        m.Kind = m.IsStructure() ? TLogixType::USER : MemberKindOf(m.AtomicType());
    }

    // Names are positional: the template name, then one string per member in
    // member order (possibly empty). Whatever follows the last member's name
    // is padding or junk.
    std::size_t at = records * MemberRecordSize;
    auto nextString = [&](std::string& out) {
        const auto* begin = definition.data() + at;
        const auto* end = definition.data() + definition.size();
        const auto* zero = std::find(begin, end, std::uint8_t{0});
        if (zero == end)
            return false; // cut short: no whole string left
        out.assign(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(zero - begin));
        at += static_cast<std::size_t>(zero - begin) + 1;
        return true;
    };
    std::string text;
    if (nextString(text)) {
        info->Name = text.substr(0, text.find(';'));
        for (auto& m : members) {
            if (!nextString(m.Name))
                break;
        }
    }

    // A member's size comes from its type and element count: offsets do not
    // rise in member order (BOOLs sit inside earlier hosts) and some carry
    // flags in their high bits. Members whose type gives no size (structures
    // until their template is known, strings) reach to the next member's
    // start or the end of the element.
    // The predefined timer, counter and control keep their status bits in a
    // DWORD named CTL; the bits are members of their own, the host is not a
    // value.
    const bool predefined = info->Name == "TIMER" || info->Name == "COUNTER" || info->Name == "CONTROL";
    for (auto& m : members) {
        m.Hidden = IsHiddenName(m.Name) || (predefined && m.Name == "CTL");
        m.Size = m.IsStructure() ? 0 : AtomicMemberSize(m);
        if (m.Size == 0) {
            std::uint32_t next = info->StructureSize;
            for (const auto& other : members)
                if (other.DataOffset() > m.DataOffset())
                    next = std::min(next, other.DataOffset());
            m.Size = next > m.DataOffset() ? next - m.DataOffset() : 0;
        }
    }

    for (auto& m : members)
        info->Members.Add(std::make_unique<TMemberInfo>(std::move(m)));
    info->MemberCount = static_cast<std::uint16_t>(records);
    return info;
}

void TTemplateInfo::Assign(TTemplateInfo& other) {
    if (&other == this)
        return;
    std::vector<std::unique_ptr<TMemberInfo>> copies;
    {
        qor::TThreadObject::SectionLock lock(other.Members);
        for (auto& m : other.Members)
            copies.push_back(CopyOf(*m));
    }
    MemberCount = other.MemberCount;
    StructureSize = other.StructureSize;
    Handle = other.Handle;
    InstanceId = other.InstanceId;
    Name = other.Name;
    qor::TThreadObject::SectionLock lock(Members);
    Members.Clear();
    for (auto& m : copies)
        Members.Add(std::move(m));
}

std::unique_ptr<TTemplateInfo> TTemplateInfo::Clone() {
    auto copy = std::make_unique<TTemplateInfo>();
    copy->Assign(*this);
    return copy;
}

TMemberInfo* TTemplateInfo::FindMember(std::string_view name) {
    qor::TThreadObject::SectionLock lock(Members);
    for (auto& m : Members)
        if (SameTextIgnoringCase(m->Name, name) && !m->Name.empty())
            return m.get();
    return nullptr;
}

void TTemplateInfo::ResolveSizes(TTemplateInfoList& templates) {
    qor::TThreadObject::SectionLock lock(Members);
    for (auto& m : Members) {
        if (!m->IsStructure())
            continue;
        const TTemplateInfo* nested = templates.FindByInstance(m->TemplateInstance());
        if (nested != nullptr && nested->StructureSize != 0)
            m->Size = std::uint32_t{nested->StructureSize} * m->ElementCount();
    }
}

std::vector<std::string> TTemplateInfo::VisibleMemberNames() {
    std::vector<std::string> names;
    qor::TThreadObject::SectionLock lock(Members);
    for (auto& m : Members)
        if (!m->Hidden)
            names.push_back(m->Name);
    return names;
}

// -------------------------------------------------------- TTemplateInfoList

TTemplateInfo* TTemplateInfoList::FindByInstance(TTemplateInfoList& list, std::uint16_t instance) {
    SectionLock lock(list);
    for (auto& t : list)
        if (t->InstanceId == instance)
            return t.get();
    return nullptr;
}

// ------------------------------------------------------- the PCCC templates

TPCCCTemplateInfo::TPCCCTemplateInfo(const char* name, std::initializer_list<TBit> bits, const char* word2,
                                     const char* word4) {
    Name = name;
    StructureSize = 6;
    Handle = 0;
    // The status bits live in the high byte of the little-endian status word.
    for (const TBit& bit : bits) {
        auto m = std::make_unique<TMemberInfo>();
        m->Type = cipType::BOOL;
        m->Info = bit.Bit;
        m->Offset = 1;
        m->Name = bit.Name;
        m->Size = 1;
        m->Kind = TLogixType::BOOL;
        Members.Add(std::move(m));
    }
    for (const auto& [word, offset] : {std::pair{word2, 2u}, std::pair{word4, 4u}}) {
        auto m = std::make_unique<TMemberInfo>();
        m->Type = cipType::INT;
        m->Offset = offset;
        m->Name = word;
        m->Size = 2;
        m->Kind = TLogixType::INT;
        Members.Add(std::move(m));
    }
    MemberCount = static_cast<std::uint16_t>(Members.Count());
}

TPCCCTemplate_TIMER::TPCCCTemplate_TIMER()
    : TPCCCTemplateInfo("TIMER", {{"EN", 7}, {"TT", 6}, {"DN", 5}}, "PRE", "ACC") {}

TPCCCTemplate_COUNTER::TPCCCTemplate_COUNTER()
    : TPCCCTemplateInfo("COUNTER", {{"CU", 7}, {"CD", 6}, {"DN", 5}, {"OV", 4}, {"UN", 3}}, "PRE", "ACC") {}

TPCCCTemplate_CONTROL::TPCCCTemplate_CONTROL()
    : TPCCCTemplateInfo(
          "CONTROL", {{"EN", 7}, {"EU", 6}, {"DN", 5}, {"EM", 4}, {"ER", 3}, {"UL", 2}, {"IN", 1}, {"FD", 0}},
          "LEN", "POS") {}

} // namespace logix
