// The options dialog's script as the host's form engine takes it: not the
// source, but its parse tree as XML.
//
//     <?xml version="1.0"?>
//     <program>
//       <var pos=".." pos1=".."><ident text="pan0"/>...<type text="TPanel"/></var>
//       <const><ident text="VALUE_SEP"/><expr><string text="'=='"/></expr></const>
//       <procedure><name text="FormCreate"/>
//         <parameters><ident text="Sender"/><type text="TObject"/></parameters>
//         <var>...</var>                                 local variables
//         <compoundstmt>
//           <assignstmt><dsgn/><expr/></assignstmt>
//           <callstmt><dsgn/></callstmt>
//           <ifstmt><expr/><thenstmt/><elsestmt/></ifstmt>
//         </compoundstmt>
//       </procedure>
//     </program>
//
// An expression (expr) holds one operand: string, number, dsgn, set ([a, b]),
// addr (@Handler), a parenthesised expr, or a node: a binary operation as
// left operand, op, right operand (left-associative, so a + b + c nests to
// the left), or a unary one as op, operand. A designator (dsgn, text = its
// first name) holds its selectors in order: ident for ".Name", parameters
// with one expr per argument for a call.
//
// Every element carries pos and pos1, "line:column" (1-based) of its first
// character and of the character after its last one in the source; text is
// the token as written (identifiers, literals with their quotes, operators).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace qor {

// Source the parser does not take; the message gives line and column.
class EScriptSyntax : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The parse tree of a script source as an XML document (UTF-8, LF line ends).
std::string ScriptToXml(std::string_view source);

} // namespace qor
