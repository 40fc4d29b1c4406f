// The one place tag objects are made: from a reply's type code, from a
// structure template, or (over the network) from the controller's symbol
// table.
#pragma once

#include "logix/Logix_Struct.h"
#include "logix/Logix_Tag.h"
#include "logix/Logix_Template.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace logix {

class TLogixProcessor;

class TLogixTagFactory {
public:
    TLogixTagFactory() = delete;

    // The tag class of a reply's type code; null for codes without a class
    // (0x02A0 included: structures need their template).
    static std::unique_ptr<TLogixTag> CreateByType(std::uint16_t typeCode, std::string name,
                                                   std::uint16_t elementCount,
                                                   TLogixProcessor* processor = nullptr);
    // By the template's name, compared exactly: "COUNTER", "CONTROL", "TIMER",
    // "ASCIISTRING82" and "STRING" get their classes, anything else a
    // TLogixUDT. A null template is read from the controller (once; none
    // read leaves a tag that keeps raw elements).
    static std::unique_ptr<TLogixUDT> CreateStructTag(std::string name, TLogixProcessor* processor,
                                                      std::unique_ptr<TTemplateInfo> templateInfo,
                                                      std::uint16_t elementCount = 1);

    // Over the network (the processor's reads): the tag of a name from the
    // symbol table or from one read; null when there is none.
    static std::unique_ptr<TLogixTag> CreateTag(std::string_view name, TLogixProcessor& processor,
                                                std::uint16_t elementCount);
    // Reads the tag once; its template when the reply is a structure.
    static std::unique_ptr<TTemplateInfo>
    ReadTemplateForTag(std::string_view name, TLogixProcessor& processor, std::uint16_t elementCount);
    // Reads and parses one template; null without a good attribute reply.
    static std::unique_ptr<TTemplateInfo> ReadTemplate(std::uint16_t instance, TLogixProcessor& processor);
};

} // namespace logix
