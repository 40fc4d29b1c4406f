// The engine's translatable words: log texts of failures and the words from
// which the data type list is built.
#pragma once

#include "options/CustomTextResources.h"

#include <string>

namespace qor {

class TTextResources : public TCustomTextResources {
public:
    // Sets the English defaults and points Texts at every string field.
    TTextResources();
    std::string_view ClassName() const override { return "TTextResources"; }

    std::string ItemsFormationError = "Error on items formation (%s)"; // with the error message
    std::string OperationFailed = "Operation failed (%s, %s)";         // with the command name and the error text
    std::string Bit = "Bit";
    std::string Decimal = "Decimal";
    std::string Signed = "Signed";
    std::string Unsigned = "Unsigned";
    std::string None = "None";
    std::string Boolean = "Boolean";
    std::string String = "String";
    std::string Float = "Float";
    std::string DateAndTime = "DateTime";
    std::string Time = "Time";
    std::string Date = "Date";
    std::string Structure = "Structure";
};

} // namespace qor
