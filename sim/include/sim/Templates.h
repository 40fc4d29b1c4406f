// Structure types of the controller: the Template objects (class 0x6C) that
// describe how the bytes of a structure tag are cut into members.
//
// A template lists its members as a controller does: one 8-byte record per
// member (Info 16-bit: array size or bit number; Type 16-bit: type word;
// Offset 32-bit), then the template name (user types carry a ";n..." suffix,
// predefined types none), then every member name, each zero-terminated, the
// whole padded with zeros to a multiple of four bytes. BOOL members of a user
// type are packed into a hidden SINT host listed before them
// ("ZZZZZZZZZZ" + the start of the type name + the host number); the
// predefined TIMER, COUNTER and CONTROL keep their status bits in byte 3 of
// the DWORD "CTL", listed after PRE/ACC (LEN/POS).
//
// The store is shared by the server's session threads and by tests that
// redefine a type while the server runs; every operation takes its lock.
#pragma once

#include "sim/SimBytes.h"

#include <cstdint>
#include <map>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct TemplateMember {
    std::string Name;
    std::uint16_t Info = 0; // array size, or the bit of a BOOL in its host byte
    std::uint16_t Type = 0; // type word
    std::uint32_t Offset = 0;
    // A host of packed BOOLs (or the control word of TIMER/COUNTER/CONTROL):
    // listed and readable, but its value comes from the BOOLs in the tag text.
    bool Hidden = false;
    // A BOOL array member: held as a DWORD array (Info counts the 32-bit
    // words, as for a BOOL array tag); the tag text gives one value per
    // declared bit. Not on the wire.
    std::uint32_t BitCount = 0;

    bool IsStructure() const;
    bool IsArray() const;
    std::uint16_t TemplateInstance() const;
};

struct SimTemplate {
    std::uint16_t Instance = 0;
    std::uint16_t Handle = 0;
    std::string Name;       // as the tag text names it: "TIMER", "STRING", "Motor_UDT"
    std::string ListedName; // as the definition lists it: "TIMER", "ASCIISTRING82", "Motor_UDT;nEAEC"
    std::uint32_t StructSize = 0;
    std::vector<TemplateMember> Members;

    // A member by name, without regard to ASCII letter case.
    const TemplateMember* FindMember(std::string_view name) const;
    // Exactly LEN (an integer) and DATA (a SINT array): a string the tag text
    // may give as "text".
    bool IsStringShaped() const;
    Bytes Definition() const;
    // Definition size in 32-bit words as the attribute reports it: the
    // definition plus five words of header the controller counts in.
    std::uint32_t DefinitionWords() const;
};

// One member as a type declares it: a type name (atomic, TIMER, COUNTER,
// CONTROL, STRING or a type declared before) and an array size (0 = scalar).
struct MemberDecl {
    std::string Name;
    std::string TypeName;
    std::uint32_t Count = 0;
};

class TemplateStore {
public:
    // Holds the predefined TIMER, COUNTER, CONTROL and STRING.
    TemplateStore();

    // Lays out a user type and adds it. Declaring a name again replaces the
    // type by a new template (new instance, handle and size), as a program
    // download does. Throws std::invalid_argument for a bad declaration.
    SimTemplate Define(std::string_view name, const std::vector<MemberDecl>& members);

    std::optional<SimTemplate> FindByName(std::string_view name) const;
    std::optional<SimTemplate> FindByInstance(std::uint16_t instance) const;
    std::vector<SimTemplate> All() const;

    // Instances of the predefined types (as real controllers number them).
    static constexpr std::uint16_t CounterInstance = 0x0F82;
    static constexpr std::uint16_t TimerInstance = 0x0F83;
    static constexpr std::uint16_t ControlInstance = 0x0F84;
    static constexpr std::uint16_t StringInstance = 0x0FCE;

private:
    void Add(SimTemplate t);

    mutable std::shared_mutex mutex_;
    std::map<std::uint16_t, SimTemplate> byInstance_;
    std::map<std::string, std::uint16_t> byName_; // upper-case name -> instance
    std::uint16_t nextInstance_ = 0x0100;
};

// Tag text values of structures: the tokens of one element in member order
// (hidden hosts skipped, BOOLs one each, arrays one value per element,
// nested structures their own tokens, and a string-shaped structure one
// "quoted" token). Fills `element` (StructSize bytes) from tokens[next...],
// advancing next; stops quietly when the tokens run out. Throws
// std::invalid_argument for a value that does not fit its member.
void FillElement(const TemplateStore& store, const SimTemplate& t, std::span<std::uint8_t> element,
                 const std::vector<std::string>& tokens, std::size_t& next);

} // namespace sim
