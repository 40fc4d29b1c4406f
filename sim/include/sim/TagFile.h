// The text form of a controller's tags, structure types and data files, read
// by the eipsim program (--tags FILE) and usable by tests.
//
// One entry per line; '#' starts a comment (outside "quotes"); blank lines
// are ignored.
//
//   TYPE NAME[DIMS] = VALUES     a tag, e.g.
//       DINT  Counter            = 42
//       REAL  Temps[4]           = 1.5 2.5 -3 4e2
//       INT   Matrix[2,3]        = 1 2 3 4 5 6      (row-major, last index fastest)
//       DWORD Flags[2]           = 0x00000001 0x80000000
//       DINT  Program:Main.Total = 7
//       BOOL  Alarms[64]         = 1 0 1            (one value per bit; held as 32-bit words)
//       DATE  Start              = 2024-03-15       (or days since 1972-01-01)
//       TIME  Uptime             = 12:30:05.250     (or milliseconds)
//       DATE_AND_TIME Stop       = 2024-03-15T08:00:00.000
//       TIMER Delay              = 5000 1234 1 1 0  (PRE ACC EN TT DN)
//       STRING Message           = "Hello"
//       STRING Names[3]          = "a" "b" "c"
//       SHORT_STRING Label       = "Hi"             (or SSTRING; scalars only)
//   TYPE NAME ... END            a structure type, one member per line:
//       TYPE Motor_UDT
//         DINT   Speed
//         BOOL   Running            (consecutive BOOLs share a hidden SINT)
//         INT    History[4]
//         BOOL   Flags[40]          (a DWORD array, one value per bit)
//         TIMER  Delay
//         Motor_UDT Motors[2]       (arrays of any declared type)
//         Str20  Label              (any type declared before)
//       END
//   FILE[ELEMENTS] = VALUES      a PCCC data file (letter and number), e.g.
//       N7[10] = 1 -2 3
//       F8[4]  = 1.5 2.25
//       T4[2]  = 0xE000 100 50   0 200 0   (three words per element: control, PRE, ACC)
//
// TYPE is one of BOOL SINT INT DINT LINT USINT UINT UDINT ULINT REAL LREAL
// BYTE WORD DWORD LWORD DATE TIME DATE_AND_TIME SHORT_STRING (any letter
// case), one of the predefined TIMER COUNTER CONTROL STRING, or a declared type. DIMS are 1 to
// 3 sizes separated by ','; without them the tag is a scalar. VALUES are
// separated by blanks or ','; integers may be decimal, negative or 0x
// hexadecimal, REAL/LREAL and F files take decimal fractions, "a..b" counts
// from a to b. A structure element takes its members' values in member order:
// BOOLs one each, arrays one per element (BOOL arrays one per bit), nested structures their own values,
// and a string-shaped structure (LEN + DATA, like STRING) one "text"; TIMER
// takes PRE ACC EN TT DN, COUNTER PRE ACC CU CD DN OV UN, CONTROL LEN POS EN
// EU DN EM ER UL IN FD. Fewer values than elements leave the rest zero;
// "= VALUES" may be left out altogether. File letters are N F D B A T C R S
// O I L; word files take 16-bit values (-32768..65535), L files 32-bit ones.
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
// dimensions, program-scoped tags, an array large enough to need fragmented
// reads, every kind of structure and one file of every PCCC letter.
std::string_view SampleTagText();

} // namespace sim
