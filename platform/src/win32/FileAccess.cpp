// Appending through the wide API, and who else may change or read a file
// through its access control list.
#include "FileSecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/Paths.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace platform {
namespace {

::HANDLE AsHandle(std::intptr_t h) {
    return reinterpret_cast<::HANDLE>(h);
}

// Rights that change a file: its data, attributes, access list, owner, or
// whether it exists (generic rights are mapped to these first).
constexpr ::ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                        WRITE_OWNER;
// Rights that tell nothing of a file's content: its attributes, its access
// list, waiting on it.
constexpr ::ACCESS_MASK kHarmlessRights = READ_CONTROL | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_READ_EA;

// An entry's generic rights as the file rights they stand for.
::ACCESS_MASK FileRights(::ACCESS_MASK mask) {
    ::GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    ::MapGenericMask(&mask, &mapping);
    return mask;
}

struct LocalDeleter {
    void operator()(void* p) const { ::LocalFree(p); }
};
using LocalMemory = std::unique_ptr<void, LocalDeleter>;

// The user this process runs as (its SID's bytes; empty when the token
// cannot be read).
std::vector<unsigned char> ReadProcessUser() {
    ::HANDLE token = nullptr;
    std::vector<unsigned char> out;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return out;
    ::DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> info(size);
    if (size > 0 && ::GetTokenInformation(token, TokenUser, info.data(), size, &size)) {
        const ::PSID sid = reinterpret_cast<::TOKEN_USER*>(info.data())->User.Sid;
        const auto* bytes = static_cast<const unsigned char*>(sid);
        out.assign(bytes, bytes + ::GetLengthSid(sid));
    }
    ::CloseHandle(token);
    return out;
}

const std::vector<unsigned char>& ProcessUser() {
    static const std::vector<unsigned char> user = ReadProcessUser();
    return user;
}

::PSID AsSid(const std::vector<unsigned char>& bytes) {
    return const_cast<unsigned char*>(bytes.data());
}

// The file's owner, this process's user, SYSTEM and the Administrators keep
// their rights: the last two can take any file's ownership anyway, and
// backups and services rely on them.
bool IsOwnerSide(::PSID sid, ::PSID owner) {
    if (owner && ::EqualSid(sid, owner))
        return true;
    if (!ProcessUser().empty() && ::EqualSid(sid, AsSid(ProcessUser())))
        return true;
    for (const ::WELL_KNOWN_SID_TYPE kind :
         {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerRightsSid})
        if (::IsWellKnownSid(sid, kind))
            return true;
    return false;
}

// An entry that allows rights to the file itself (an inherit-only entry is
// for files made inside a folder), conditional ones included: its rights
// and trustee, or null.
::ACCESS_ALLOWED_ACE* AsGrant(void* entry) {
    auto* header = static_cast<::ACE_HEADER*>(entry);
    if ((header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
        (header->AceFlags & INHERIT_ONLY_ACE) != 0)
        return nullptr;
    // A conditional entry starts as a plain one: header, rights, trustee.
    return static_cast<::ACCESS_ALLOWED_ACE*>(entry);
}

::PSID Trustee(::ACCESS_ALLOWED_ACE* grant) {
    return reinterpret_cast<::PSID>(&grant->SidStart);
}

// "BUILTIN\Users", or the trustee's SID where it has no name.
std::string TrusteeName(::PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    ::DWORD nameSize = 256, domainSize = 256;
    ::SID_NAME_USE use{};
    if (::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return domainSize > 0 && domain[0] != L'\0' ? win32::Narrow(domain) + "\\" + win32::Narrow(name)
                                                    : win32::Narrow(name);
    wchar_t* text = nullptr;
    std::string out = "an unknown account";
    if (::ConvertSidToStringSidW(sid, &text)) {
        out = win32::Narrow(text);
        ::LocalFree(text);
    }
    return out;
}

struct FileSecurity {
    ::PSID Owner = nullptr;
    ::PACL Dacl = nullptr; // none: everyone may do everything
    LocalMemory Hold;
};

std::error_code ReadSecurity(::HANDLE file, FileSecurity& out) {
    ::PSECURITY_DESCRIPTOR descriptor = nullptr;
    const ::DWORD got =
        ::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          &out.Owner, nullptr, &out.Dacl, nullptr, &descriptor);
    if (got != 0)
        return win32::ErrorCode(got);
    out.Hold.reset(descriptor);
    return {};
}

} // namespace

namespace win32 {

// The list is written anew, in the order of the old one: every grant to
// anyone else keeps its reading part only (a grant left with nothing goes),
// this process's user is granted full control ahead of the first grant (the
// old list may have given it its rights only as one of everyone), and the
// entries that came from the folder become the file's own, in a protected
// list: following the folder's would give the rights back.
std::error_code KeepOthersFromChanging(::HANDLE file) {
    FileSecurity security;
    if (const std::error_code ec = ReadSecurity(file, security))
        return ec;
    ::PACL old = security.Dacl;
    if (old == nullptr)
        return {};
    bool changed = false;
    for (::DWORD i = 0; i < old->AceCount; ++i) {
        void* entry = nullptr;
        ::ACCESS_ALLOWED_ACE* grant = ::GetAce(old, i, &entry) ? AsGrant(entry) : nullptr;
        if (grant && (FileRights(grant->Mask) & kChangeRights) != 0 &&
            !IsOwnerSide(Trustee(grant), security.Owner))
            changed = true;
    }
    if (!changed)
        return {};
    const std::vector<unsigned char>& user = ProcessUser();
    if (user.empty())
        return ErrorCode(ERROR_NO_TOKEN);

    const ::DWORD size = old->AclSize + sizeof(::ACCESS_ALLOWED_ACE) + ::GetLengthSid(AsSid(user));
    std::vector<::DWORD> storage((size + sizeof(::DWORD) - 1) / sizeof(::DWORD));
    auto* list = reinterpret_cast<::PACL>(storage.data());
    const ::DWORD revision = old->AclRevision;
    if (!::InitializeAcl(list, static_cast<::DWORD>(storage.size() * sizeof(::DWORD)), revision))
        return LastErrorCode();
    bool userGranted = false;
    const auto grantUser = [&] {
        userGranted = true;
        return ::AddAccessAllowedAce(list, revision, FILE_ALL_ACCESS, AsSid(user)) != 0;
    };
    std::vector<unsigned char> copy;
    for (::DWORD i = 0; i < old->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(old, i, &entry))
            return LastErrorCode();
        const auto* header = static_cast<const ::ACE_HEADER*>(entry);
        copy.assign(static_cast<const unsigned char*>(entry),
                    static_cast<const unsigned char*>(entry) + header->AceSize);
        auto* mine = reinterpret_cast<::ACE_HEADER*>(copy.data());
        mine->AceFlags &= static_cast<::BYTE>(~INHERITED_ACE);
        if (::ACCESS_ALLOWED_ACE* grant = AsGrant(mine)) {
            // Denials stay ahead of the user's grant, as they were ahead of
            // the grants they limit.
            if (!userGranted && !grantUser())
                return LastErrorCode();
            if (!IsOwnerSide(Trustee(grant), security.Owner)) {
                grant->Mask = FileRights(grant->Mask) & ~kChangeRights;
                if (grant->Mask == 0)
                    continue;
            }
        }
        if (!::AddAce(list, revision, MAXDWORD, copy.data(), static_cast<::DWORD>(copy.size())))
            return LastErrorCode();
    }
    if (!userGranted && !grantUser())
        return LastErrorCode();
    const ::DWORD set = ::SetSecurityInfo(file, SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, list, nullptr);
    return set == 0 ? std::error_code{} : ErrorCode(set);
}

std::error_code FindOthersWithAccess(::HANDLE file, std::string& others) {
    others.clear();
    FileSecurity security;
    if (const std::error_code ec = ReadSecurity(file, security))
        return ec;
    if (security.Dacl == nullptr) {
        // No list at all: everyone may do everything (a volume without
        // access control, FAT or exFAT, gives every file that).
        others = "everyone (the file has no access control list)";
        return {};
    }
    // An entry that allows is taken as it is written: a denying entry of the
    // same list that would cancel it is not weighed.
    for (::DWORD i = 0; i < security.Dacl->AceCount && others.empty(); ++i) {
        void* entry = nullptr;
        ::ACCESS_ALLOWED_ACE* grant = ::GetAce(security.Dacl, i, &entry) ? AsGrant(entry) : nullptr;
        if (grant && (FileRights(grant->Mask) & ~kHarmlessRights) != 0 &&
            !IsOwnerSide(Trustee(grant), security.Owner))
            others = TrusteeName(Trustee(grant));
    }
    return {};
}

} // namespace win32

std::error_code AppendFile::Open(const std::filesystem::path& file) {
    Close();
    if (const ::DWORD attributes = ::GetFileAttributesW(file.c_str());
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::make_error_code(std::errc::is_a_directory);
    constexpr ::DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A new file is made unshared, so no one can open it before its list
        // is what it will be; READ_CONTROL and WRITE_DAC are its owner's
        // whatever the list says, and the one who made a file may delete it.
        const ::HANDLE made = ::CreateFileW(file.c_str(), READ_CONTROL | WRITE_DAC | DELETE, 0, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (made != win32::kInvalidHandle) {
            const std::error_code ec = win32::KeepOthersFromChanging(made);
            if (ec) {
                // A file others may rewrite is not left behind.
                ::FILE_DISPOSITION_INFO gone{TRUE};
                ::SetFileInformationByHandle(made, FileDispositionInfo, &gone, sizeof gone);
            }
            ::CloseHandle(made);
            if (ec)
                return ec;
        } else if (::GetLastError() != ERROR_FILE_EXISTS) {
            return win32::LastErrorCode();
        }
        // Shared as a POSIX descriptor is: readers, other appenders, and
        // renaming or deleting it under the program (a log's rotation).
        const ::HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != win32::kInvalidHandle) {
            handle_ = reinterpret_cast<std::intptr_t>(h);
            owned_ = true;
            return {};
        }
        // Gone again between the two steps: once more from the start.
        if (::GetLastError() != ERROR_FILE_NOT_FOUND)
            break;
    }
    return win32::LastErrorCode();
}

void AppendFile::UseStandardOutput() {
    Close();
    const ::HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    // No standard output at all (a program without a console): writes fail.
    handle_ = out == nullptr || out == win32::kInvalidHandle ? kNone : reinterpret_cast<std::intptr_t>(out);
    owned_ = false;
}

void AppendFile::Close() {
    if (handle_ != kNone && owned_)
        ::CloseHandle(AsHandle(handle_));
    handle_ = kNone;
    owned_ = false;
}

bool AppendFile::IsRegular() const {
    return handle_ != kNone && ::GetFileType(AsHandle(handle_)) == FILE_TYPE_DISK;
}

std::int64_t AppendFile::Size() const {
    ::LARGE_INTEGER size{};
    if (!IsRegular() || !::GetFileSizeEx(AsHandle(handle_), &size))
        return -1;
    return size.QuadPart;
}

AppendFile::Written AppendFile::Write(std::string_view data) {
    Written result;
    if (handle_ == kNone) {
        result.Error = win32::ErrorCode(ERROR_INVALID_HANDLE);
        return result;
    }
    // A file of our own is written at its end, whoever else appended
    // meanwhile (the offset 0xFFFFFFFF:0xFFFFFFFF); standard output where it
    // stands, as on Linux.
    const bool atEnd = owned_ && IsRegular();
    while (result.Bytes < data.size()) {
        const ::DWORD chunk =
            static_cast<::DWORD>(std::min<std::size_t>(data.size() - result.Bytes, 1u << 30));
        ::OVERLAPPED end{};
        end.Offset = 0xFFFFFFFF;
        end.OffsetHigh = 0xFFFFFFFF;
        ::DWORD n = 0;
        if (!::WriteFile(AsHandle(handle_), data.data() + result.Bytes, chunk, &n, atEnd ? &end : nullptr)) {
            result.Error = win32::LastErrorCode();
            break;
        }
        if (n == 0) {
            // A write that takes nothing without an error is a full disk.
            result.Error = win32::ErrorCode(ERROR_DISK_FULL);
            break;
        }
        result.Bytes += n;
    }
    return result;
}

std::error_code AppendFile::TruncateTo(std::int64_t size) {
    // The file position is only where the end is cut: writes go to the end.
    ::LARGE_INTEGER at{};
    at.QuadPart = size;
    if (!::SetFilePointerEx(AsHandle(handle_), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(AsHandle(handle_)))
        return win32::LastErrorCode();
    return {};
}

std::error_code AppendFile::Sync() {
    if (handle_ == kNone || !IsRegular())
        return {};
    if (!::FlushFileBuffers(AsHandle(handle_)))
        return win32::LastErrorCode();
    return {};
}

bool ReadPrivateFile(const std::filesystem::path& file, std::size_t maxBytes, std::string& text,
                     std::string& why) {
    text.clear();
    const std::string name = PathToUtf8(file);
    const ::HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ | READ_CONTROL,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == win32::kInvalidHandle) {
        why = "cannot read " + name + ": " + win32::LastErrorCode().message();
        return false;
    }
    bool ok = true;
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        why = name + " is not a regular file";
        ok = false;
    }
    if (ok) {
        std::string others;
        if (const std::error_code ec = win32::FindOthersWithAccess(h, others)) {
            why = "cannot look at who may read " + name + ": " + ec.message();
            ok = false;
        } else if (!others.empty()) {
            why = name + " may be read or changed by " + others + "; allow its owner only (icacls \"" + name +
                  "\" /inheritance:r /grant:r \"%USERNAME%:F\")";
            ok = false;
        }
    }
    char buffer[4096];
    while (ok) {
        ::DWORD n = 0;
        if (!::ReadFile(h, buffer, sizeof buffer, &n, nullptr)) {
            why = "cannot read " + name + ": " + win32::LastErrorCode().message();
            ok = false;
        }
        if (!ok || n == 0)
            break;
        text.append(buffer, n);
        if (text.size() > maxBytes) {
            why = name + " is too large for a secret (over " + std::to_string(maxBytes) + " bytes)";
            ok = false;
        }
    }
    ::CloseHandle(h);
    ::SecureZeroMemory(buffer, sizeof buffer);
    if (!ok) {
        std::fill(text.begin(), text.end(), '\0');
        text.clear();
    }
    return ok;
}

} // namespace platform
