// Structure tags: a structure read comes back as the type word 0x02A0, the
// two-byte structure handle and the raw bytes of its elements; the tag keeps
// each element's bytes and pulls members out of them through its template.
#pragma once

#include "logix/Logix_Tag.h"
#include "logix/Logix_Template.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace logix {

class TLogixUDT;

// One element of a structure tag.
class TUDTItem {
public:
    TUDTItem(TLogixUDT* owner, TTemplateInfo* templateInfo);

    TLogixUDT* Owner = nullptr;
    TTemplateInfo* Template = nullptr; // not owned
    TPacketDataArray Data;             // the template's structure size

    // Member `name` (ASCII case ignored) of this element. A structure member
    // gives its text when it is string-shaped (LEN + DATA), otherwise a flat
    // array of (name, value) pairs, "Member.Sub" names, hidden members left
    // out. Raises ELogixInvalidOperation "Member not found".
    Variant GetMember(std::string_view name) const;
    // The member's raw bytes (clipped to the element).
    TPacketDataArray MemberBytes(std::string_view name) const;
    // LEN + DATA text of a string-shaped template; nothing otherwise.
    std::optional<std::string> AsString() const;
};

// A structure tag: any user-defined or module-defined type, and the base of
// the predefined TIMER, COUNTER, CONTROL and STRING structures.
class TLogixUDT : public TLogixTag {
public:
    // The template is copied, never shared with a cache. Without one the tag
    // reads its template from the controller once (needs a processor).
    static std::unique_ptr<TLogixUDT> Create(std::string name, TLogixProcessor* processor,
                                             std::unique_ptr<TTemplateInfo> templateInfo,
                                             std::uint16_t elementCount = 1);

    std::unique_ptr<TTemplateInfo> Template; // owned
    std::vector<std::unique_ptr<TUDTItem>> Items;
    bool Changed = false;
    // Where the templates of nested structure members are found: this list
    // when set, else the processor's cache.
    TTemplateInfoList* NestedTemplates = nullptr;

    TLogixType LogixType() const override { return TLogixType::USER; }

    std::size_t ItemCount() const { return Items.size(); }
    std::size_t ValueCount() const { return Items.size(); }
    // "List index out of bounds (i)" when i is not below the number of items.
    TUDTItem& ItemAt(std::ptrdiff_t i) const;
    // The template's member names in order, hidden BOOL hosts left out.
    std::vector<std::string> MemberNames() const;
    // A member's Logix type; None when absent.
    TLogixType MemberKind(std::string_view name) const;
    // A member of element 0.
    Variant GetMember(std::string_view name) const;
    TPacketDataArray MemberBytes(std::string_view name) const;
    // Text of element 0 when the structure is string-shaped: members "LEN"
    // (an integer) and "DATA"; nothing otherwise.
    std::optional<std::string> AsString() const;

    // Feeds element bytes that come without the type word and handle: as
    // SetData of 0x02A0, this tag's handle and the bytes. This is how the
    // 6-byte elements of a MicroLogix T, C or R file reach their tag: the
    // PCCC read makes it with CreateStructTag(address, processor, a new
    // TPCCCTemplate_TIMER/_COUNTER/_CONTROL, element count) and hands it the
    // reply's Data here (handle 0, so its raw text is A0 02 00 00 + Data).
    bool SetElementData(std::span<const std::uint8_t> elementBytes, std::uint32_t byteOffset = 0);

    // The cache nested members are looked up in (may be null).
    TTemplateInfoList* TemplateCache() const;

protected:
    TLogixUDT(std::string name, std::uint16_t elementCount, TLogixProcessor* processor,
              std::unique_ptr<TTemplateInfo> templateInfo);
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    // A member of element 0 as a 32-bit integer (0 when it has no data).
    std::int32_t MemberInteger(std::string_view name) const;
    friend class TLogixTag;
    friend class TLogixTagFactory;
};

class TLogixTIMER : public TLogixUDT {
public:
    TLogixType LogixType() const override { return TLogixType::TIMER; }
    // 0 PRE, 1 ACC, 2 EN, 3 TT, 4 DN.
    std::int32_t Member(std::size_t n) const;
    static constexpr std::size_t MemberNameCount = 5;

protected:
    using TLogixUDT::TLogixUDT;
    friend class TLogixTag;
};

class TLogixCOUNTER : public TLogixUDT {
public:
    TLogixType LogixType() const override { return TLogixType::COUNTER; }
    // 0 PRE, 1 ACC, 2 CU, 3 CD, 4 DN, 5 OV, 6 UN.
    std::int32_t Member(std::size_t n) const;
    static constexpr std::size_t MemberNameCount = 7;

protected:
    using TLogixUDT::TLogixUDT;
    friend class TLogixTag;
};

class TLogixCONTROL : public TLogixUDT {
public:
    TLogixType LogixType() const override { return TLogixType::CONTROL; }
    // 0 LEN, 1 POS, 2 EN, 3 EU, 4 DN, 5 EM, 6 ER, 7 UL, 8 IN, 9 FD.
    std::int32_t Member(std::size_t n) const;
    static constexpr std::size_t MemberNameCount = 10;

protected:
    using TLogixUDT::TLogixUDT;
    friend class TLogixTag;
};

class TLogixSTRING : public TLogixUDT {
public:
    TLogixType LogixType() const override { return TLogixType::STRING; }
    // 0 LEN.
    std::int32_t Member(std::size_t n) const;
    static constexpr std::size_t MemberNameCount = 1;
    // DATA cut to LEN (and to the DATA bytes) of element 0.
    std::string Text() const;

protected:
    using TLogixUDT::TLogixUDT;
    friend class TLogixTag;
};

} // namespace logix
