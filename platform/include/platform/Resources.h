// Raw-data resources and the file version of a module.
//
// ELF files carry no resource section. A module that has resources registers a
// table of them from its start-up code (a static initialiser) and removes it
// before it is unloaded; the table must stay valid in between.
#pragma once

#include "platform/Errors.h"
#include "platform/Types.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

struct ResourceEntry {
    const char* Name;
    const std::uint8_t* Data;
    std::size_t Size;
};

struct ModuleResources {
    std::string_view FileVersion; // "major.minor.release.build"
    std::span<const ResourceEntry> Entries;
};

// Registers (or replaces) the table of a module; nullptr removes it.
QOR_PLATFORM_API void RegisterModuleResources(HMODULE module, const ModuleResources* resources);
QOR_PLATFORM_API void UnregisterModuleResources(HMODULE module);
// The data of the named resource; names compare upper-case (ASCII), so "tfrmoption"
// finds "TFRMOPTION". Module 0 is the executable. nullopt when the module has
// no table (ERROR_RESOURCE_DATA_NOT_FOUND) or no such entry
// (ERROR_RESOURCE_NAME_NOT_FOUND).
QOR_PLATFORM_API std::optional<std::span<const std::uint8_t>> FindResource(HMODULE module, std::string_view name);
// "" when the module registered none.
QOR_PLATFORM_API std::string GetFileVersion(HMODULE module);

} // namespace platform
