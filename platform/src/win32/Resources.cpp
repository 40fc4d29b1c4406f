// Resources on Win32: the module's own resource section (raw data, RT_RCDATA,
// compiled with windres), and its VERSIONINFO. A table registered at run time
// (RegisterModuleResources) serves a module without a resource section, such
// as a test program.
#include "WinApi.h"

#include "platform/Module.h"
#include "platform/Resources.h"
#include "platform/Text.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::mutex tableMutex;
std::map<HMODULE, const ModuleResources*> tables;

HMODULE Resolve(HMODULE module) { return module ? module : GetModuleHandle(nullptr); }

} // namespace

void RegisterModuleResources(HMODULE module, const ModuleResources* resources) {
    module = Resolve(module);
    std::lock_guard lock(tableMutex);
    if (resources)
        tables[module] = resources;
    else
        tables.erase(module);
}

void UnregisterModuleResources(HMODULE module) { RegisterModuleResources(module, nullptr); }

std::optional<std::span<const std::uint8_t>> FindResource(HMODULE module, std::string_view name) {
    module = Resolve(module);
    const std::string wanted = AnsiUpperCase(name);
    const auto h = reinterpret_cast<::HMODULE>(module);
    if (::HRSRC found = ::FindResourceW(h, win32::Widen(wanted).c_str(), MAKEINTRESOURCEW(10) /* RT_RCDATA */)) {
        const ::HGLOBAL loaded = ::LoadResource(h, found);
        const void* data = loaded ? ::LockResource(loaded) : nullptr;
        if (data)
            return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), ::SizeofResource(h, found));
    }
    const ::DWORD systemError = ::GetLastError();
    std::lock_guard lock(tableMutex);
    auto it = tables.find(module);
    if (it == tables.end()) {
        ::SetLastError(systemError ? systemError : ERROR_RESOURCE_DATA_NOT_FOUND);
        return std::nullopt;
    }
    for (const ResourceEntry& entry : it->second->Entries)
        if (entry.Name && AnsiUpperCase(entry.Name) == wanted)
            return std::span<const std::uint8_t>(entry.Data, entry.Size);
    ::SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return std::nullopt;
}

std::string GetFileVersion(HMODULE module) {
    module = Resolve(module);
    const std::wstring file = win32::Widen(GetModuleFileName(module));
    ::DWORD ignored = 0;
    const ::DWORD size = file.empty() ? 0 : ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size > 0) {
        std::vector<std::uint8_t> info(size);
        ::VS_FIXEDFILEINFO* fixed = nullptr;
        ::UINT length = 0;
        if (::GetFileVersionInfoW(file.c_str(), 0, size, info.data()) &&
            ::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
            length >= sizeof *fixed) {
            char text[64];
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(fixed->dwFileVersionMS)),
                          static_cast<unsigned>(LOWORD(fixed->dwFileVersionMS)),
                          static_cast<unsigned>(HIWORD(fixed->dwFileVersionLS)),
                          static_cast<unsigned>(LOWORD(fixed->dwFileVersionLS)));
            return text;
        }
    }
    std::lock_guard lock(tableMutex);
    auto it = tables.find(module);
    return it == tables.end() ? std::string() : std::string(it->second->FileVersion);
}

} // namespace platform
