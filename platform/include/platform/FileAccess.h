// Files a program writes for itself (its outputs and its log) and files that
// hold its secrets: who else may write the first and read the second.
//
// Linux: a created file gets mode 0644 whatever the umask (which can only
// take bits away); a secret file is refused when its group or others have any
// permission bit.
// Windows: files have no mode; what others may do is the file's access control
// list, which a new file inherits from its folder (Windows' counterpart of the
// umask). A file made here keeps what the folder gives, but when the folder
// would let anyone besides its owner, SYSTEM and the Administrators change it,
// those grants keep only their reading part and the program's own user is
// given full control: a folder that lets everyone write does not make a log
// that everyone can rewrite. A secret file is refused when its list allows
// anyone else to read or change it. Volumes without access control lists
// (FAT, exFAT) cannot restrict anyone: there a new file is left as the volume
// makes it and a secret file is refused.
// Under Wine, which keeps no lists of its own but shows a file's mode bits as
// one (owner, Everyone), both rules come down to the Linux ones: a new file
// is what the umask leaves, and a secret file others may read is refused.
#pragma once

#include "platform/Types.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace platform {

// A file opened for appending (or the process's standard output), closed with
// the object. Writes go to the end of the file even when another program
// appends to it too; the file stays open for renaming and deleting (a log
// rotated under the program), and is not inherited by programs started later.
class QOR_PLATFORM_API AppendFile {
public:
    AppendFile() = default;
    ~AppendFile() { Close(); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    AppendFile(AppendFile&& other) noexcept
        : handle_(std::exchange(other.handle_, kNone)), owned_(std::exchange(other.owned_, false)) {}
    AppendFile& operator=(AppendFile&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = std::exchange(other.handle_, kNone);
            owned_ = std::exchange(other.owned_, false);
        }
        return *this;
    }

    // Opens file for appending, making it when missing (see above for who
    // else may change it). A folder is refused (is_a_directory).
    std::error_code Open(const std::filesystem::path& file);
    // Standard output as it is (a terminal, a pipe or a file), not closed.
    void UseStandardOutput();
    void Close();
    bool IsOpen() const { return handle_ != kNone; }
    // A file on a disk: its size can be asked and a partial write cut off.
    bool IsRegular() const;
    // The file's size in bytes, -1 when it is not a regular file or cannot
    // be told.
    std::int64_t Size() const;

    struct Written {
        std::size_t Bytes = 0; // how much reached the file
        std::error_code Error; // of the write that stopped short
    };
    // Writes data, all of it unless the file refuses (a full disk, a file
    // size limit on Linux): a write that takes nothing is a full disk.
    Written Write(std::string_view data);
    // Writes one record whole or not at all: what went out of a record that
    // stopped short is cut off again. The error of the write, or none.
    std::error_code WriteRecord(std::string_view record);
    // Cuts the file back to size bytes.
    std::error_code TruncateTo(std::int64_t size);
    // The file's data on the disk (nothing to do for standard output unless
    // it is a file).
    std::error_code Sync();

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t handle_ = kNone; // a descriptor (a HANDLE on Windows)
    bool owned_ = false;
};

inline std::error_code AppendFile::WriteRecord(std::string_view record) {
    const std::int64_t before = Size();
    const Written written = Write(record);
    if (written.Error && written.Bytes > 0 && before >= 0)
        TruncateTo(before);
    return written.Error;
}

// Reads a small file that holds a secret (a password, a private key) into
// text. Refused (false, why in words for the user, text left empty) when it
// is not a regular file, is larger than maxBytes, or anyone but its owner may
// read or change it (see above): a secret that anyone on the machine can read
// is no secret. The buffers the secret passed through are cleared.
QOR_PLATFORM_API bool ReadPrivateFile(const std::filesystem::path& file, std::size_t maxBytes,
                                      std::string& text, std::string& why);

} // namespace platform
