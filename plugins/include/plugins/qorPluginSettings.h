// The plug-in module's settings operations: load or save the properties of an
// object tree through a settings map, in the store the host gave the module at
// LOAD (its INI file, else its registry key).
//
// The module owns the settings-busy flag and sets it around these calls.
#pragma once

#include "common/qorPersistent.h"
#include "common/qorStringList.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qor {

// Where the module's settings live (the module's fields of the same meaning).
struct TPluginSettingsLocation {
    std::uint8_t RegistryRoot1 = 2; // ModuleRegistryRoot1: HKEY_LOCAL_MACHINE
    std::uint8_t RegistryRoot2 = 1; // ModuleRegistryRoot2: HKEY_CURRENT_USER
    std::string RegistryPath;       // ModuleRegistryPath
    std::string INISectionPrefix;   // INISectionPrefix
    std::string INIFile;            // INIFile: used when the call gives no file
};

// map: lines "<property path>,<setting>" (see common/TWregistry.h); iniFile:
// the file to use instead of the module's own, empty for the module's.
// Load: true when at least one mapped value was found; Save: true when at
// least one mapped property was written. False when the store cannot be
// opened or (Save) written; a failed save keeps nothing of itself. Never throw.
bool LoadSettings(const TPluginSettingsLocation& location, const TStringList& map, TPersistent& root,
                  std::string_view iniFile = {});
bool SaveSettings(const TPluginSettingsLocation& location, const TStringList& map, TPersistent& root,
                  std::string_view iniFile = {});

} // namespace qor
