// Replacing a file's content in one step.
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

// Writes content to a new file beside file (".<name>.<random>.tmp"), flushes
// it to the disk, gives it the permission bits of the file it replaces (a new
// file gets 0666 less the umask), renames it over file and flushes the folder.
// Whatever happens meanwhile - a failed write, a full disk, the process or the
// machine stopping - file is afterwards either entirely the old or entirely the
// new content; on failure the temporary file is removed (after a crash it may
// remain, and it is never read). A symbolic link is followed: the file it
// names is replaced and the link stays. The folder must exist.
// Returns the error of the step that failed, or no error.
QOR_PLATFORM_API std::error_code WriteFileAtomically(const std::filesystem::path& file,
                                                     std::string_view content);

// An exclusive hold on updating one file, for a read-modify-write that must
// not interleave with another one: threads of this process and other processes
// that lock the same file wait for each other. The lock is an flock on a side
// file ".<name>.lock" beside the file (a link is followed, as by
// WriteFileAtomically), which is made on first use and left in place: the file
// itself cannot carry the lock, since every atomic write replaces it. Each
// FileUpdateLock opens the side file on its own, so two holders in one process
// exclude each other as two processes do.
class QOR_PLATFORM_API FileUpdateLock {
public:
    FileUpdateLock() = default;
    ~FileUpdateLock();
    FileUpdateLock(const FileUpdateLock&) = delete;
    FileUpdateLock& operator=(const FileUpdateLock&) = delete;

    // Waits until the lock on file is free and takes it. The error of the step
    // that failed (the folder cannot be written, for one), or no error.
    std::error_code Lock(const std::filesystem::path& file);
    void Unlock();

private:
    std::intptr_t fd_ = -1; // the side file's descriptor (a HANDLE on Windows)
};

// Reads the whole of file into out. A file that does not exist is no error:
// *missing tells. Anything but a regular file is refused (invalid_argument).
QOR_PLATFORM_API std::error_code ReadWholeFile(const std::filesystem::path& file, std::string* out, bool* missing);

} // namespace platform
