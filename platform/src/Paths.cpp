#include "platform/Paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

std::filesystem::path AbsoluteFromEnv(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v)
        return {};
    std::filesystem::path p(v);
    return p.is_absolute() ? p : std::filesystem::path{};
}

bool Writable(const std::filesystem::path& folder) {
    std::error_code ec;
    return std::filesystem::is_directory(folder, ec) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

} // namespace

std::filesystem::path HomeFolder() {
    if (auto home = AbsoluteFromEnv("HOME"); !home.empty())
        return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

std::filesystem::path UserConfigFolder() {
    if (auto p = AbsoluteFromEnv("XDG_CONFIG_HOME"); !p.empty())
        return p;
    auto home = HomeFolder();
    return home.empty() ? home : home / ".config";
}

std::filesystem::path UserDataFolder() {
    if (auto p = AbsoluteFromEnv("XDG_DATA_HOME"); !p.empty())
        return p;
    auto home = HomeFolder();
    return home.empty() ? home : home / ".local" / "share";
}

std::filesystem::path CommonAppDataFolder(std::string_view application) {
    if (auto p = AbsoluteFromEnv("QOR_COMMON_APPDATA"); !p.empty())
        return p;
    const std::filesystem::path machine("/var/lib");
    if (Writable(machine))
        return machine;
    if (!application.empty() && application.find('/') == std::string_view::npos && application != "." &&
        application != ".." && Writable(machine / application))
        return machine;
    return UserDataFolder();
}

} // namespace platform

namespace platform {

std::filesystem::path PathFromUtf8(std::string_view text) { return std::filesystem::path(text); }
std::string PathToUtf8(const std::filesystem::path& path) { return path.string(); }

} // namespace platform
