// Standard folders.
//
// The Windows shell's common application-data folder (special folder 35) is
// where programs keep data shared by all users of the machine. On Linux:
//   1. $QOR_COMMON_APPDATA, when set to an absolute path (installations and
//      tests choose the folder themselves);
//   2. /var/lib, when this process may write there, or may write the
//      application's own folder below it when that already exists (a service,
//      or an administrator who prepared /var/lib/<application> for its users);
//   3. otherwise the user's data folder ($XDG_DATA_HOME, else ~/.local/share):
//      an ordinary user cannot write the machine's folder, and data that
//      cannot be written is worth less than data kept per user;
//   4. an empty path when there is no home folder either.
// Folders are returned without a trailing separator and are not created.
#pragma once

#include "platform/Types.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// The separator of the folders in a path as the operating system writes it
// ('\\' on Windows, '/' elsewhere); IsPathSeparator also takes the other
// one where the system does ('/' on Windows).
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
constexpr bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }
#else
inline constexpr char kPathSeparator = '/';
constexpr bool IsPathSeparator(char c) { return c == '/'; }
#endif

// The folder part of a path with its separator at the end ("" when the path
// names no folder).
inline std::string FolderOf(std::string_view path) {
    std::size_t end = path.size();
    while (end > 0 && !IsPathSeparator(path[end - 1]))
        --end;
    return std::string(path.substr(0, end));
}

// File names are UTF-8 text everywhere in the code. These are the only ways
// between such text and std::filesystem::path: on Windows a path holds UTF-16
// and its narrow constructor and string() would use the ANSI code page.
QOR_PLATFORM_API std::filesystem::path PathFromUtf8(std::string_view text);
QOR_PLATFORM_API std::string PathToUtf8(const std::filesystem::path& path);

// application: the folder the caller will keep its data in below the result
// (e.g. "App name"); only consulted to decide whether /var/lib is usable.
QOR_PLATFORM_API std::filesystem::path CommonAppDataFolder(std::string_view application = {});

// $XDG_CONFIG_HOME when absolute, else <home>/.config; empty without a home.
QOR_PLATFORM_API std::filesystem::path UserConfigFolder();
// $XDG_DATA_HOME when absolute, else <home>/.local/share; empty without a home.
QOR_PLATFORM_API std::filesystem::path UserDataFolder();
// $HOME when absolute, else the password database's entry of the user.
QOR_PLATFORM_API std::filesystem::path HomeFolder();

} // namespace platform
