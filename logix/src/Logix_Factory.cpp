#include "logix/Logix_Factory.h"

namespace logix {

std::unique_ptr<TLogixTag> TLogixTagFactory::CreateByType(std::uint16_t typeCode, std::string name,
                                                          std::uint16_t elementCount,
                                                          TLogixProcessor* processor) {
    switch (typeCode) {
    case cipType::BOOL:
    case cipType::BYTE:
    case cipType::WORD:
    case cipType::DWORD:
    case cipType::LWORD:
        return TLogixBOOL::Create(std::move(name), elementCount, processor);
    case cipType::SINT:
        return TLogixSINT::Create(std::move(name), elementCount, processor);
    case cipType::USINT:
        return TLogixUSINT::Create(std::move(name), elementCount, processor);
    case cipType::INT:
    case cipType::ITIME:
        return TLogixINT::Create(std::move(name), elementCount, processor);
    case cipType::UINT:
        return TLogixUINT::Create(std::move(name), elementCount, processor);
    case cipType::DINT:
    case cipType::STIME:
    case cipType::FTIME:
        return TLogixDINT::Create(std::move(name), elementCount, processor);
    case cipType::UDINT:
        return TLogixUDINT::Create(std::move(name), elementCount, processor);
    case cipType::LINT:
    case cipType::ULINT:
    case cipType::LTIME:
        return TLogixLINT::Create(std::move(name), elementCount, processor);
    case cipType::REAL:
        return TLogixREAL::Create(std::move(name), elementCount, processor);
    case cipType::LREAL:
        return TLogixLREAL::Create(std::move(name), elementCount, processor);
    case cipType::DATE:
        return TLogixDATE::Create(std::move(name), elementCount, processor);
    case cipType::DATE_AND_TIME:
        return TLogixDATETIME::Create(std::move(name), elementCount, processor);
    case cipType::TIME:
        return TLogixTIME::Create(std::move(name), elementCount, processor);
    case cipType::STRING:
    case cipType::SHORT_STRING:
        return TLogixSSTRING::Create(std::move(name), elementCount, processor);
    default:
        return nullptr;
    }
}

std::unique_ptr<TLogixUDT> TLogixTagFactory::CreateStructTag(std::string name, TLogixProcessor* processor,
                                                             std::unique_ptr<TTemplateInfo> templateInfo,
                                                             std::uint16_t elementCount) {
    if (!templateInfo && processor != nullptr)
        templateInfo = ReadTemplateForTag(name, *processor, elementCount);
    // One read per tag: without a template the tag decodes raw elements.
    if (!templateInfo)
        templateInfo = std::make_unique<TTemplateInfo>();
    const std::string kind = templateInfo ? templateInfo->Name : std::string();
    if (kind == "COUNTER")
        return TLogixTag::Construct<TLogixCOUNTER>(std::move(name), elementCount, processor,
                                                   std::move(templateInfo));
    if (kind == "CONTROL")
        return TLogixTag::Construct<TLogixCONTROL>(std::move(name), elementCount, processor,
                                                   std::move(templateInfo));
    if (kind == "TIMER")
        return TLogixTag::Construct<TLogixTIMER>(std::move(name), elementCount, processor,
                                                 std::move(templateInfo));
    if (kind == "ASCIISTRING82" || kind == "STRING")
        return TLogixTag::Construct<TLogixSTRING>(std::move(name), elementCount, processor,
                                                  std::move(templateInfo));
    return TLogixTag::Construct<TLogixUDT>(std::move(name), elementCount, processor, std::move(templateInfo));
}

} // namespace logix
