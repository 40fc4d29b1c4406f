// The text form of a controller's tags and data files, read by the eipsim
// program (--tags FILE) and usable by tests.
//
// One entry per line; '#' starts a comment; blank lines are ignored.
//
//   TYPE NAME[DIMS] = VALUES     a tag, e.g.
//       DINT  Counter            = 42
//       REAL  Temps[4]           = 1.5 2.5 -3 4e2
//       INT   Matrix[2,3]        = 1 2 3 4 5 6      (row-major, last index fastest)
//       DWORD Flags[2]           = 0x00000001 0x80000000
//       DINT  Program:Main.Total = 7
//   FILE[ELEMENTS] = VALUES      a PCCC data file (letter and number), e.g.
//       N7[10] = 1 -2 3
//       F8[4]  = 1.5 2.25
//       T4[2]  = 0xE000 100 50   0 200 0   (three words per element: control, PRE, ACC)
//
// TYPE is one of BOOL SINT INT DINT LINT USINT UINT UDINT ULINT REAL LREAL
// BYTE WORD DWORD LWORD (any letter case). DIMS are 1 to 3 sizes separated by
// ','; without them the tag is a scalar. VALUES are separated by blanks or
// ','; integers may be decimal, negative or 0x hexadecimal, REAL/LREAL and F
// files take decimal fractions. Fewer values than elements leave the rest
// zero; "= VALUES" may be left out altogether. File letters are N F D B A T C
// R S O I; word files take 16-bit values (-32768..65535).
#pragma once

#include "sim/DataTable.h"
#include "sim/TagDatabase.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace sim {

class ETagFile : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Adds every entry to the database and the table. Throws ETagFile with
// "line N: ..." on the first bad line (entries before it stay added).
void LoadTagText(std::string_view text, TagDatabase& tags, DataTable& files);
void LoadTagFile(const std::string& path, TagDatabase& tags, DataTable& files);

// A sample controller that shows off every type, arrays of one to three
// dimensions, a program-scoped tag, an array large enough to need fragmented
// reads and one file of every PCCC letter.
std::string_view SampleTagText();

} // namespace sim
