// Files and folders on Win32: paths through the wide API, the standard
// folders from the shell, atomic replacement with ReplaceFileW, the update
// lock with LockFileEx.
#include "WinApi.h"

#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/Paths.h"

#include <cstdlib>
#include <random>

namespace platform {
namespace {

std::error_code SystemError(::DWORD error) { return {static_cast<int>(error), std::system_category()}; }
std::error_code LastError() { return SystemError(::GetLastError()); }

std::filesystem::path KnownFolder(const ::KNOWNFOLDERID& id) {
    wchar_t* path = nullptr;
    std::filesystem::path out;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path)) && path)
        out = std::filesystem::path(std::wstring(path));
    ::CoTaskMemFree(path);
    return out;
}

std::filesystem::path AbsoluteFromEnv(const wchar_t* name) {
    const wchar_t* v = ::_wgetenv(name);
    if (!v || !*v)
        return {};
    std::filesystem::path p{std::wstring(v)};
    return p.is_absolute() ? p : std::filesystem::path{};
}

// The file a path names, a symbolic link followed (as rename over a link
// would not do it on Windows either: ReplaceFileW replaces the link itself).
std::filesystem::path Target(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::is_symlink(file, ec)) {
        auto target = std::filesystem::read_symlink(file, ec);
        if (!ec)
            return target.is_absolute() ? target : file.parent_path() / target;
    }
    return file;
}

class Handle {
public:
    explicit Handle(::HANDLE h = win32::kInvalidHandle) : h_(h) {}
    ~Handle() {
        if (h_ != win32::kInvalidHandle)
            ::CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ::HANDLE Get() const { return h_; }
    bool Ok() const { return h_ != win32::kInvalidHandle; }
    void Reset(::HANDLE h = win32::kInvalidHandle) {
        if (h_ != win32::kInvalidHandle)
            ::CloseHandle(h_);
        h_ = h;
    }

private:
    ::HANDLE h_;
};

} // namespace

std::filesystem::path PathFromUtf8(std::string_view text) { return std::filesystem::path(win32::Widen(text)); }
std::string PathToUtf8(const std::filesystem::path& path) { return win32::Narrow(path.native()); }

// The profile folder, the roaming application data for the user's settings
// and the local one for the user's data; the machine's program data folder
// (the shell's special folder 35) for data shared by all users.
std::filesystem::path HomeFolder() {
    if (auto p = AbsoluteFromEnv(L"USERPROFILE"); !p.empty())
        return p;
    return KnownFolder(FOLDERID_Profile);
}

std::filesystem::path UserConfigFolder() { return KnownFolder(FOLDERID_RoamingAppData); }
std::filesystem::path UserDataFolder() { return KnownFolder(FOLDERID_LocalAppData); }

std::filesystem::path CommonAppDataFolder(std::string_view) {
    if (auto p = AbsoluteFromEnv(L"QOR_COMMON_APPDATA"); !p.empty())
        return p;
    return KnownFolder(FOLDERID_ProgramData);
}

std::error_code WriteFileAtomically(const std::filesystem::path& file, std::string_view content) {
    const std::filesystem::path target = Target(file);
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
    thread_local std::mt19937_64 rng{std::random_device{}()};
    std::filesystem::path temporary;
    Handle out;
    for (int attempt = 0; attempt < 100 && !out.Ok(); ++attempt) {
        wchar_t suffix[17];
        std::swprintf(suffix, 17, L"%016llx", static_cast<unsigned long long>(rng()));
        temporary = folder / (L"." + target.filename().native() + L"." + suffix + L".tmp");
        out.Reset(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        if (!out.Ok() && ::GetLastError() != ERROR_FILE_EXISTS) {
            return LastError();
        }
    }
    if (!out.Ok())
        return SystemError(ERROR_FILE_EXISTS);
    auto fail = [&](std::error_code ec) {
        out.Reset();
        ::DeleteFileW(temporary.c_str());
        return ec;
    };
    std::size_t done = 0;
    while (done < content.size()) {
        const ::DWORD chunk = static_cast<::DWORD>(std::min<std::size_t>(content.size() - done, 1u << 30));
        ::DWORD written = 0;
        if (!::WriteFile(out.Get(), content.data() + done, chunk, &written, nullptr))
            return fail(LastError());
        done += written;
    }
    if (!::FlushFileBuffers(out.Get()))
        return fail(LastError());
    out.Reset();
    // ReplaceFileW keeps the replaced file's attributes and security; a file
    // that does not exist yet is simply moved into place. Both are one step
    // of the file system: the file is the old or the new content, never half.
    if (::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (!::ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                            nullptr)) {
            // Some file systems (and Wine on some) do not offer it: a move
            // that replaces, written through, is the same single step.
            if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                const std::error_code ec = LastError();
                ::DeleteFileW(temporary.c_str());
                return ec;
            }
        }
    } else if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const std::error_code ec = LastError();
        ::DeleteFileW(temporary.c_str());
        return ec;
    }
    return {};
}

FileUpdateLock::~FileUpdateLock() { Unlock(); }

std::error_code FileUpdateLock::Lock(const std::filesystem::path& file) {
    Unlock();
    const std::filesystem::path target = Target(file);
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(L".");
    const std::filesystem::path side = folder / (L"." + target.filename().native() + L".lock");
    const ::HANDLE h = ::CreateFileW(side.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h == win32::kInvalidHandle)
        return LastError();
    ::OVERLAPPED whole{};
    // Exclusive, waiting: each handle is its own holder, in this process or
    // another, as each flock descriptor is on Linux.
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        const std::error_code ec = LastError();
        ::CloseHandle(h);
        return ec;
    }
    fd_ = reinterpret_cast<std::intptr_t>(h);
    return {};
}

void FileUpdateLock::Unlock() {
    if (fd_ == -1)
        return;
    const ::HANDLE h = reinterpret_cast<::HANDLE>(fd_);
    ::OVERLAPPED whole{};
    ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(h);
    fd_ = -1;
}

std::error_code ReadWholeFile(const std::filesystem::path& file, std::string* out, bool* missing) {
    *missing = false;
    Handle h(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.Ok()) {
        const ::DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            *missing = true;
            return {};
        }
        if (error == ERROR_ACCESS_DENIED && (::GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_DIRECTORY) &&
            ::GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES)
            return std::make_error_code(std::errc::invalid_argument);
        return SystemError(error);
    }
    if (::GetFileType(h.Get()) != FILE_TYPE_DISK)
        return std::make_error_code(std::errc::invalid_argument);
    char buffer[65536];
    for (;;) {
        ::DWORD n = 0;
        if (!::ReadFile(h.Get(), buffer, sizeof buffer, &n, nullptr))
            return LastError();
        if (n == 0)
            return {};
        out->append(buffer, n);
    }
}

} // namespace platform
