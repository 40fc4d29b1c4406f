#include "FileAccessTestSupport.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace file_access_test {
namespace {

struct LocalDeleter {
    void operator()(void* p) const { ::LocalFree(p); }
};

// This process's user as an SDDL SID ("S-1-5-21-...").
std::wstring UserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        throw std::runtime_error("OpenProcessToken");
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> info(size);
    const bool got = size > 0 && ::GetTokenInformation(token, TokenUser, info.data(), size, &size);
    ::CloseHandle(token);
    wchar_t* text = nullptr;
    if (!got || !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, &text))
        throw std::runtime_error("the process's user");
    std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

struct Descriptor {
    explicit Descriptor(const std::wstring& sddl) {
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &Raw,
                                                                    nullptr))
            throw std::runtime_error("SDDL");
    }
    ~Descriptor() { ::LocalFree(Raw); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR Raw = nullptr;
};

// Makes a file with the access list of an SDDL text ("D:P(A;;FA;;;SY)"):
// given when it is made, as Wine too keeps it (it has no lists of its own,
// only mode bits, and changing them on a file later is lossy there).
void WriteWithList(const std::filesystem::path& file, const std::wstring& sddl, const std::string& text) {
    const Descriptor descriptor(sddl);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.Raw, FALSE};
    const HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("CreateFile");
    DWORD written = 0;
    const bool ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    ::CloseHandle(h);
    if (!ok)
        throw std::runtime_error("WriteFile");
}

} // namespace

// Object and container inherit: files and folders made inside get it. Wine
// gives a new file the mode its umask leaves whatever the folder says, so
// there a file made in such a folder is not open to all to begin with.
OpenFolder::OpenFolder(const std::filesystem::path& folder) {
    const Descriptor descriptor(L"D:P(A;OICI;FA;;;WD)(A;OICI;FA;;;BU)");
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(descriptor.Raw, &present, &dacl, &defaulted);
    std::wstring name = folder.wstring();
    if (::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, dacl, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("SetNamedSecurityInfo");
}

OpenFolder::~OpenFolder() = default;

void WritePrivateFile(const std::filesystem::path& file, const std::string& text) {
    WriteWithList(file, L"D:P(A;;FA;;;" + UserSid() + L")(A;;FA;;;SY)(A;;FA;;;BA)", text);
}

void WriteSharedFile(const std::filesystem::path& file, const std::string& text) {
    WriteWithList(file, L"D:P(A;;FA;;;" + UserSid() + L")(A;;FR;;;WD)", text);
}

bool OthersMayChange(const std::filesystem::path& file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring name = file.wstring();
    if (::GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        throw std::runtime_error("GetNamedSecurityInfo");
    const std::unique_ptr<void, LocalDeleter> hold(descriptor);
    if (dacl == nullptr)
        return true;
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    const DWORD change = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
            continue;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        PSID sid = &ace->SidStart;
        DWORD mask = ace->Mask;
        ::MapGenericMask(&mask, &mapping);
        if ((mask & change) != 0 &&
            (::IsWellKnownSid(sid, WinWorldSid) || ::IsWellKnownSid(sid, WinBuiltinUsersSid) ||
             ::IsWellKnownSid(sid, WinAuthenticatedUserSid)))
            return true;
    }
    return false;
}

} // namespace file_access_test
