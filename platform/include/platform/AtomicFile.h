// Replacing a file's content in one step.
#pragma once

#include "platform/Types.h"

#include <filesystem>
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

} // namespace platform
