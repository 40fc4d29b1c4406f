// The text form of a component stream, as form designers write it and as the
// dialog's layout is kept in the sources:
//
//     object frmOption: TfrmOption
//       Left = 326
//       Caption = 'EIP'
//       BorderIcons = [biSystemMenu, biHelp]
//       object pan1: TPanel
//         ...
//       end
//     end
//
// Values: integers, floats, strings ('it''s' and #13 pieces, joined by +),
// identifiers (True and False are Booleans, nil an unassigned reference), sets
// in [ ], lists in ( ), binary data in { } as hexadecimal digits.
#pragma once

#include "common/qorComponentStream.h"

#include <stdexcept>
#include <string_view>

namespace qor {

// Text that is not a component in text form; the message names the line.
class EFormTextError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

TStreamObject ReadObjectText(std::string_view text);

} // namespace qor
