// INI files: sections of "key=value" lines, as the Windows profile functions
// read and write them.
//
// An IniFile reads the whole file when it is made and keeps it in memory; the
// Write and Delete operations change that copy and are remembered, and
// UpdateFile applies them to the file in one atomic step (AtomicFile.h), so a
// save never leaves a half-written file and many changes become one save.
// Nothing is written by the destructor.
//
// What is kept: sections, keys and their order; comment lines (";" or "#")
// before a section or a key, at the start and at the end of the file; the
// spelling of section and key names as first written; a UTF-8 byte-order mark.
// Blank lines between entries are not kept, and lines are written with "\n".
//
// Text is UTF-8, passed through as bytes. Section and key names are compared
// without regard to case (ASCII and the Latin-1 letters, as
// platform::AnsiLowerCase folds them) and, like the profile functions do,
// without the blanks and tabs around them. A value is read without the blanks
// around it and without one pair of double quotes enclosing it; values that
// need it (blanks at either end, enclosing quotes of their own) are written
// quoted so they read back unchanged. A value with line breaks is written as a
// block ("key=<<<END_OF_TEXT", the lines, "END_OF_TEXT"), which reads back
// with every line break as "\n"; a value with a line END_OF_TEXT is refused.
// Integers are written in decimal and read in decimal or hexadecimal ("0x" or
// "$"); floats are written in the shortest form that reads back to the same
// double ("0.1", "1e+300", "nan", "inf") and read with "." or "," as the
// decimal separator.
//
// Several IniFiles (in this process or others) saving the same file: each save
// reads the file again under a lock held for the whole read-modify-write
// (FileUpdateLock in AtomicFile.h) and applies to it only the writes and
// deletions made through this IniFile, so saves of different keys never undo
// each other; of two saves of one key the later wins.
// Not thread-safe: one IniFile belongs to one thread at a time.
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

class QOR_PLATFORM_API IniFile {
public:
    // Reads file. A missing file reads as an empty one (FileExisted() false);
    // one that cannot be read leaves ReadError() set and is never overwritten.
    explicit IniFile(std::filesystem::path file);
    ~IniFile();
    IniFile(IniFile&&) noexcept;
    IniFile& operator=(IniFile&&) noexcept;
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    const std::filesystem::path& FileName() const noexcept;
    bool FileExisted() const noexcept;
    // The failure to read the file, other than its not existing.
    std::error_code ReadError() const noexcept;
    // Reads the file again, dropping unsaved changes.
    bool Reload();

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    // Nothing when the entry is missing (or, for numbers, is not one).
    std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
    std::optional<std::int64_t> ReadInteger(std::string_view section, std::string_view key) const;
    std::optional<double> ReadFloat(std::string_view section, std::string_view key) const;
    // Section names in file order (the nameless part before the first section
    // is not listed); key names of one section in file order.
    std::vector<std::string> ReadSections() const;
    std::vector<std::string> ReadSection(std::string_view section) const;

    // False when a name cannot be stored: empty, or a section name with "]",
    // a key name with "=" or starting with ";", "#" or "[", or either with a
    // line break; or when the value has a NUL or, on a line of its own,
    // END_OF_TEXT.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    bool WriteInteger(std::string_view section, std::string_view key, std::int64_t value);
    bool WriteFloat(std::string_view section, std::string_view key, double value);
    // True when there was something to delete.
    bool DeleteKey(std::string_view section, std::string_view key);
    bool EraseSection(std::string_view section);

    // There are changes that UpdateFile has not written.
    bool Modified() const noexcept;
    // Applies the changes to the file as it is now on disk and writes it
    // atomically; afterwards this object holds what was written. Nothing to do
    // without changes. Refused (with the read error) for a file that could
    // not be read, now or when it was made.
    std::error_code UpdateFile();
    // The text of the copy held in memory.
    std::string Text() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
