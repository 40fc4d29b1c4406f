// Read execution over unconnected messaging: one symbolic tag (structures
// decoded through their templates), several tags in one Multiple Service
// Packet, and a raw CIP attribute. Failures are left in the processor's
// ErrorCode and ErrorText; a read that fails returns nothing.
//
// Every read takes an optional raw text that receives the whole reply packet
// (every byte as one character).
#pragma once

#include "logix/Logix_Address.h"
#include "logix/Logix_Tag.h"
#include "logix/Logix_Template.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace logix {

class TLogixProcessor;

// The result of a read: the tags it produced, and the raw reply text.
struct TLogixTagList {
    std::vector<std::unique_ptr<TLogixTag>> Tags;
    std::string RawData;

    std::size_t Count() const { return Tags.size(); }
    TLogixTag* Items(std::size_t i) const { return Tags.at(i).get(); }
};

// Templates are read five levels deep below a tag's own template; a template
// that names itself (or a deeper chain) stops there.
inline constexpr int MaxTemplateDepth = 6;

// One symbolic address. A reply too large for one packet is followed with Read
// Tag Fragmented until every element has arrived.
std::unique_ptr<TLogixTag> ReadLogixTag(TLogixProcessor& processor, std::string_view address,
                                        std::uint16_t elementCount, std::string* raw = nullptr);
// Several symbolic addresses, one element each, in one Multiple Service Packet.
// The tags of the services that succeeded, in address order; nothing when none
// did.
std::unique_ptr<TLogixTagList> ReadLogixTags(TLogixProcessor& processor,
                                             const std::vector<std::string>& addresses,
                                             std::string* raw = nullptr);
// One attribute address (@class/instance/attribute) by Get Attribute Single to
// the device itself. A type code of 0, 0xD0 or 0x02A0 gives the reply bytes as
// one string.
std::unique_ptr<TLogixTag> ReadAttribute(TLogixProcessor& processor, std::string_view address,
                                         std::uint16_t elementCount, std::uint16_t typeCode,
                                         std::string* raw = nullptr);

// A template from the processor's cache, read (with the templates of its
// structure members, down to MaxTemplateDepth) when absent. The cache owns it.
TTemplateInfo* GetTemplate(std::uint16_t instance, int depth, TLogixProcessor& processor);
// The template of the structure the address names: the tag's own for "Tag" or
// "Tag[2]", a member's for "Tag.Member" and deeper members in turn. A name
// that is no member, or an atomic member, leaves the template it was found in.
TTemplateInfo* FindMemberTemplate(TTemplateInfo* templateInfo, std::string_view address,
                                  TLogixProcessor& processor);

// A BOOL tag (type 0xC1) holding bits taken out of words: one value per bit,
// ElementCount of them, judged good.
std::unique_ptr<TLogixTag> MakeBitTag(std::string name, const std::vector<bool>& bits,
                                      TLogixProcessor* processor = nullptr);

// An element of a Logix BOOL array ("Alarms[33]") and the bitCount - 1 bits
// after it, read from the 32-bit words that hold them. Nothing when the
// address is no such element (the symbol table says so); a null tag, with the
// processor's error set, when the read failed.
std::optional<std::unique_ptr<TLogixTag>> ReadBoolArrayBits(TLogixProcessor& processor, std::string_view address,
                                                            std::uint16_t bitCount, std::string* raw = nullptr);

// One address's outcome in a read of several: its tag, or the error that kept
// it from being read (the processor's table code, or the device's status).
struct TLogixReadOutcome {
    std::string Name;
    std::unique_ptr<TLogixTag> Tag;
    std::int32_t ErrorCode = 0;
    std::string ErrorText;

    bool Ok() const { return Tag != nullptr; }
};

// The symbolic addresses read in Multiple Service Packets (as many as their
// requests need), one outcome per address in order. A service the device
// could not answer in the shared packet (partial transfer) is read again on
// its own with ReadLogixTag. The exchanges' bytes go to raw, not into each
// tag (ReadLogixTags gives every tag its packet's reply).
std::vector<TLogixReadOutcome> ReadLogixTagsEach(TLogixProcessor& processor,
                                                 const std::vector<std::string>& addresses,
                                                 std::string* raw = nullptr);

// The whole address text as the engine and the tools read it, one outcome per
// address in the order written. An address that does not parse is refused
// without being sent. On a Logix controller the symbolic addresses go out
// together (one by ReadLogixTag with elementCount, several by Multiple Service
// Packet, one element each); on a Micro800 or MicroLogix each is read on its
// own over the connection; attribute addresses are read with elementCount and
// typeCode. A reply that does not fit its tag is an error, not a value.
std::vector<TLogixReadOutcome> ReadAddressText(TLogixProcessor& processor, std::string_view text,
                                               std::uint16_t elementCount, std::uint16_t typeCode = 0,
                                               std::string* raw = nullptr);

} // namespace logix
