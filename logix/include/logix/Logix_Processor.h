// One controller: its session, symbol table, template cache and reads.
#pragma once

#include "logix/Logix_Template.h"

namespace logix {

class TLogixProcessor {
public:
    // Templates read from this controller, by instance, for its lifetime.
    TTemplateInfoList Templates;
};

} // namespace logix
