#include "options/PluginDM_TextResources.h"

namespace qor {

TTextResources::TTextResources() {
    Texts = {&ItemsFormationError, &OperationFailed, &Bit,    &Decimal,     &Signed, &Unsigned, &None,
             &Boolean,             &String,          &Float,  &DateAndTime, &Time,   &Date,     &Structure};
}

} // namespace qor
