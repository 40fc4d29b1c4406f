// Structure templates: what the controller's Template object says about a
// structure (its members with their types, offsets and names), the attribute
// reply that sizes a template read, the per-processor cache, and the fixed
// templates that stand in for MicroLogix TIMER, COUNTER and CONTROL files.
#pragma once

#include "common/ThreadObjectList.h"
#include "logix/Logix_Types.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace logix {

class TTemplateInfoList;

class TMemberInfo {
public:
    // Bit 15 structure; bits 13..14 array dimension count; low 12 bits the
    // template instance of a structure member; low byte the CIP type code of
    // an atomic member.
    std::uint16_t Type = 0;
    // The element count of an array member, the bit number of a BOOL member.
    std::uint16_t Info = 0;
    // As the controller sends it. Some members carry flags in the high bits
    // (0xA0000000); DataOffset is the byte offset inside one element.
    std::uint32_t Offset = 0;
    std::string Name;
    // Bytes the member covers: its type's size times its element count (a
    // structure member: the nested template's structure size when known).
    std::uint32_t Size = 0;
    TLogixType Kind = TLogixType::None;
    // A member the controller adds to hold packed BOOLs ("ZZZZZZZZZZ…",
    // "__BitHost00") or one without a name: listed, never exported as a value.
    bool Hidden = false;

    bool IsStructure() const { return (Type & 0x8000) != 0; }
    bool IsArray() const { return ((Type >> 13) & 0x3) != 0; }
    std::uint16_t TemplateInstance() const { return Type & 0x0FFF; }
    std::uint8_t AtomicType() const { return static_cast<std::uint8_t>(Type & 0xFF); }
    std::uint32_t DataOffset() const { return Offset & 0xFFFF; }
    // Elements the member holds: Info for an array, 1 otherwise.
    std::uint32_t ElementCount() const { return IsArray() ? Info : 1; }

    friend bool operator==(const TMemberInfo&, const TMemberInfo&) = default;
};

// The Get Attribute List reply (attributes 4, 3, 2, 1) of a template.
struct TGetStructAttribsReply {
    std::uint32_t DefinitionSize = 0; // 32-bit words
    std::uint16_t StructureSize = 0;  // bytes of one element
    std::uint16_t MemberCount = 0;
    std::uint16_t Handle = 0;

    static constexpr std::size_t PayloadSize = 28;
    // The 28 payload bytes at offset (the reply data after the message router
    // header). Short bytes raise eip::EListError and leave the object as it was.
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset = 0);
    // Definition bytes to read: (DefinitionSize - 5) × 4, 0 when the size is
    // below 5 words.
    std::uint32_t DefinitionBytes() const;
};

class TTemplateInfo {
public:
    TTemplateInfo() = default;
    virtual ~TTemplateInfo() = default;
    TTemplateInfo(const TTemplateInfo&) = delete;
    TTemplateInfo& operator=(const TTemplateInfo&) = delete;

    std::uint16_t MemberCount = 0;
    std::uint16_t StructureSize = 0;
    std::uint16_t Handle = 0;
    std::uint16_t InstanceId = 0;
    std::string Name; // without anything from its first ";"
    qor::TThreadObjectList<TMemberInfo> Members;

    // The definition (member records of 8 bytes: Info, Type, Offset; then
    // zero-terminated strings: the template name and the member names in
    // member order) with its attribute reply. Never raises: records and names
    // cut short give fewer members or unnamed ones.
    static std::unique_ptr<TTemplateInfo> Parse(std::span<const std::uint8_t> definition,
                                                const TGetStructAttribsReply& attributes);
    // Copies the numbers and the name, and replaces the members by copies.
    void Assign(TTemplateInfo& other);
    std::unique_ptr<TTemplateInfo> Clone();
    // Case-insensitive (ASCII) lookup; null when absent.
    TMemberInfo* FindMember(std::string_view name);
    // Sets the size of structure members from the nested templates in the
    // list (their StructureSize × element count) where they are known.
    void ResolveSizes(TTemplateInfoList& templates);
    // Member names in order, hidden members left out.
    std::vector<std::string> VisibleMemberNames();
};

// Templates by instance; each processor owns one as its cache.
class TTemplateInfoList : public qor::TThreadObjectList<TTemplateInfo> {
public:
    // First template with that instance, under the list's lock; null when absent.
    static TTemplateInfo* FindByInstance(TTemplateInfoList& list, std::uint16_t instance);
    TTemplateInfo* FindByInstance(std::uint16_t instance) { return FindByInstance(*this, instance); }
};

// The fixed templates of the MicroLogix structured files: 6-byte elements of
// a status word (bits in its high byte, offset 1) and two INT words.
class TPCCCTemplateInfo : public TTemplateInfo {
protected:
    struct TBit {
        const char* Name;
        std::uint16_t Bit;
    };
    TPCCCTemplateInfo(const char* name, std::initializer_list<TBit> bits, const char* word2,
                      const char* word4);
};

class TPCCCTemplate_TIMER : public TPCCCTemplateInfo {
public:
    TPCCCTemplate_TIMER();
};

class TPCCCTemplate_COUNTER : public TPCCCTemplateInfo {
public:
    TPCCCTemplate_COUNTER();
};

class TPCCCTemplate_CONTROL : public TPCCCTemplateInfo {
public:
    TPCCCTemplate_CONTROL();
};

} // namespace logix
