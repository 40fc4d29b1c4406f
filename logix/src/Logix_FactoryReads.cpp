// The factory's operations that read from the controller.
#include "logix/Logix_Factory.h"
#include "logix/Logix_Processor.h"

namespace logix {

std::unique_ptr<TLogixTag> TLogixTagFactory::CreateTag(std::string_view, TLogixProcessor&, std::uint16_t) {
    return nullptr;
}

std::unique_ptr<TTemplateInfo> TLogixTagFactory::ReadTemplateForTag(std::string_view, TLogixProcessor&,
                                                                     std::uint16_t) {
    return nullptr;
}

std::unique_ptr<TTemplateInfo> TLogixTagFactory::ReadTemplate(std::uint16_t, TLogixProcessor&) { return nullptr; }

} // namespace logix
