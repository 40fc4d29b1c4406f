// Modules on Win32: the loader's own handles, file names through the wide API.
#include "WinApi.h"

#include "platform/Debug.h"
#include "platform/Module.h"

namespace platform {

namespace {
HMODULE P(::HMODULE h) { return reinterpret_cast<HMODULE>(h); }
::HMODULE H(HMODULE h) { return h ? reinterpret_cast<::HMODULE>(h) : ::GetModuleHandleW(nullptr); }
} // namespace

HMODULE GetModuleHandle(const char* name) {
    if (name == nullptr)
        return P(::GetModuleHandleW(nullptr));
    return P(::GetModuleHandleW(win32::Widen(name).c_str()));
}

HMODULE LoadLibrary(std::string_view path) {
    const std::wstring wide = win32::Widen(path);
    // A library named by its path finds the libraries it needs beside it.
    const bool hasFolder = wide.find_first_of(L"\\/") != std::wstring::npos;
    ::HMODULE h = ::LoadLibraryExW(wide.c_str(), nullptr, hasFolder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (!h) {
        const ::DWORD error = ::GetLastError();
        OutputDebugString("LoadLibrary " + std::string(path) + ": " + win32::ErrorText(error));
        ::SetLastError(error);
    }
    return P(h);
}

bool FreeLibrary(HMODULE module) { return module != 0 && ::FreeLibrary(reinterpret_cast<::HMODULE>(module)) != 0; }

void* GetProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(H(module), name));
}

HMODULE ModuleOfAddress(const void* address) {
    ::HMODULE h = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<const wchar_t*>(address), &h))
        return 0;
    return P(h);
}

std::string GetModuleFileName(HMODULE module) {
    std::wstring buffer(260, L'\0');
    for (;;) {
        const ::DWORD n = ::GetModuleFileNameW(H(module), buffer.data(), static_cast<::DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return win32::Narrow(std::wstring_view(buffer.data(), n));
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> GetCommandLineArgs() {
    int count = 0;
    wchar_t** args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> out;
    if (!args)
        return out;
    for (int i = 0; i < count; ++i)
        out.push_back(win32::Narrow(args[i]));
    ::LocalFree(args);
    return out;
}

bool UnloadMayWaitForThreads() { return false; }

} // namespace platform
