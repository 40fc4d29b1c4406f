// Language files and the dictionaries the translator builds from them.
//
// A language file is plain text, one entry per line (LF or CR LF). The first
// 19 lines may hold directives ("Charset=windows-1251", "Encoding=utf-8",
// "//saveuntr", "//fileappend", ...); other lines beginning with "//" are
// comments. Entries are blocks of lines ended by an empty line; in a block the
// line "<from>:><text>" gives the source and "<to>:><text>" its translation:
//
//     EN:>Open
//     DE:>Öffnen
//     <empty line>
//
// Untranslated-texts files that the translator writes start with a
// "[Languages]" section naming their languages; "Default = XX" is the language
// the file provides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qor {

// SaveMode: which texts are collected for the untranslated-texts file.
enum class TWtranslSaveMode : std::uint8_t {
    None = 0,
    Untranslated = 1,        // "//saveuntr": texts looked up without a translation
    All = 2,                 // "//saveall": every text looked up
    Unused = 3,              // "//saveunused": sources of the files never looked up
    UntranslatedObjects = 4, // "//saveuntrobj": property texts of objects without a translation
    Off = 5,                 // treated like None
};

// FileMode: how the untranslated-texts file is written.
enum class TWtranslFileMode : std::uint8_t { New = 0, Rewrite = 1, Append = 2 };

// What the directives of the files read so far have set.
struct TWtranslFileSettings {
    TWtranslSaveMode SaveMode = TWtranslSaveMode::None;
    TWtranslFileMode FileMode = TWtranslFileMode::New;
    std::uint8_t Encoding = 0; // 0 code page, 1 "utf-8", 2 "utf-16", 3 "unicode"
    std::uint8_t BiDiMode = 0; // 1 "righttoleft", 2 "righttoleftnoalign", 3 "righttoleftreadingonly"
    std::uint32_t Charset = 1;
    std::uint32_t CodePage = 0; // 0: the system's ANSI code page
    std::uint32_t Locale = 0;
};

// The two text maps: Exact keyed by the source as the file has it, Lower by
// the source lower-cased (A-Z only); values are the decoded translations.
class TWtranslLanguagesList {
public:
    std::unordered_map<std::string, std::string> Exact;
    std::unordered_map<std::string, std::string> Lower;
};

// Only the first lines of a file may hold directives.
inline constexpr int kDirectiveLines = 19;

// Reads the pairs of one language file (its whole text) for the languages
// from and to into dict, later pairs overwriting earlier ones, and applies its
// directives to settings. With SaveMode Unused every stored source is also
// appended to sources (when given). Returns the number of pairs read.
int ReadLanguageText(std::string_view text, std::string_view from, std::string_view to,
                     TWtranslFileSettings& settings, TWtranslLanguagesList& dict,
                     std::vector<std::string>* sources = nullptr);

// A lookup: the translation, and the text in the escaped form a language file
// holds it in (with its accelerator marks), for the untranslated-texts file.
struct TWtranslLookup {
    std::optional<std::string> Translation;
    std::string FileForm;
    std::string Key;        // the dictionary key that answered (Lower: the lower-cased text)
    bool FromLower = false; // answered by the Lower map
};

// The translator's lookup of one text:
// - the text without leading and trailing characters below 33 (t) is looked up
//   as it is, then in two escaped forms in which characters below 32 are
//   written "%XX": A with its accelerator marks (a single "&"), B without;
//   a hit on B counts as a text with accelerator; last Lower[t lower-cased];
// - a hit is unescaped ("%XX" back to the character) when t had characters
//   below 32, and loses its single "&" marks when t had no accelerator.
// An empty t has no translation.
TWtranslLookup LookupText(const TWtranslLanguagesList& dict, std::string_view text);

// The "[Languages]" section of a language file: the codes it lists ("$XX = ...")
// and the language it provides ("Default = XX", or the code whose line is
// marked "(Default)"); empty when the file has no such section. Also the
// language codes its entry lines use ("XX:>"), in order of appearance.
struct TLanguageFileInfo {
    std::vector<std::string> Languages;
    std::string Default;
    std::vector<std::string> EntryLanguages;
};
TLanguageFileInfo ReadLanguagesSection(std::string_view text);

} // namespace qor
