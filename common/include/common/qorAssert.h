// Assertion failures: programming errors detected at run time (a raw list
// pointer that is not a list, a required parameter that is missing, a nested
// command). They are ordinary exceptions so the boundary can turn them into
// result codes; the message names the unit that raised them, e.g.
// "Parameter is not defined (Common\qorParamLst)".
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace qor {

class EAssertionFailed : public std::logic_error {
public:
    EAssertionFailed(std::string_view text, std::string_view source)
        : std::logic_error(std::string(text) + " (" + std::string(source) + ")"), Text(text), Source(source) {}

    std::string Text;
    std::string Source;
};

} // namespace qor
