// Who else may change or read a file, from its access control list: the
// Win32 side of FileAccess.h, and what its tests look at.
#pragma once

#include "WinApi.h"

#include <string>
#include <system_error>

namespace platform::win32 {

// Whoever besides the file's owner, this process's user, SYSTEM and the
// Administrators may change the file (write, append, delete, change its
// attributes, list or owner) keeps only the reading part of the grant, and
// the list stops following the folder's. A file without a list (a volume
// without access control) is left as it is. The handle needs READ_CONTROL
// and WRITE_DAC.
std::error_code KeepOthersFromChanging(::HANDLE file);

// The first account besides the owner's side (as above) that the list lets
// read or change the file ("BUILTIN\Users", "Everyone"); "everyone (...)"
// for a file without a list; empty when there is none. The handle needs
// READ_CONTROL.
std::error_code FindOthersWithAccess(::HANDLE file, std::string& others);

} // namespace platform::win32
