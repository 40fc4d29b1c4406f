#include "platform/Resources.h"

#include "platform/Module.h"
#include "platform/Text.h"

#include <map>
#include <mutex>

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
    std::lock_guard lock(tableMutex);
    auto it = tables.find(module);
    if (it == tables.end()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return std::nullopt;
    }
    for (const ResourceEntry& entry : it->second->Entries)
        if (entry.Name && AnsiUpperCase(entry.Name) == wanted)
            return std::span<const std::uint8_t>(entry.Data, entry.Size);
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return std::nullopt;
}

std::string GetFileVersion(HMODULE module) {
    module = Resolve(module);
    std::lock_guard lock(tableMutex);
    auto it = tables.find(module);
    return it == tables.end() ? std::string() : std::string(it->second->FileVersion);
}

} // namespace platform
