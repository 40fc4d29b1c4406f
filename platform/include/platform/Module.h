// Modules: the executable and the shared libraries loaded in the process.
//
// A module handle is the address at which the module's file is mapped (its ELF
// header), so it is stable while the module stays loaded and ModuleOfAddress of
// any code or data inside it gives the same handle.
#pragma once

#include "platform/Errors.h"
#include "platform/Types.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// How the file name of a loadable library ends.
#if defined(_WIN32)
inline constexpr std::string_view kLibrarySuffix = ".dll";
#else
inline constexpr std::string_view kLibrarySuffix = ".so";
#endif

// nullptr: the executable. Otherwise the file name (e.g. "libfoo.so") or the
// path of a loaded module. 0 when not loaded (ERROR_MOD_NOT_FOUND).
QOR_PLATFORM_API HMODULE GetModuleHandle(const char* name);
// Loads a shared library (its symbols kept local to it, resolved at once).
// 0 on failure (ERROR_MOD_NOT_FOUND, the loader's text to the debugger output).
QOR_PLATFORM_API HMODULE LoadLibrary(std::string_view path);
// Undoes one LoadLibrary of the module; false for a module not loaded by it.
QOR_PLATFORM_API bool FreeLibrary(HMODULE module);
// A symbol exported by that very module (not by one it depends on); module 0
// is the executable. For the executable these are the symbols it exports dynamically (link it with
// -rdynamic). nullptr when missing (ERROR_PROC_NOT_FOUND).
QOR_PLATFORM_API void* GetProcAddress(HMODULE module, const char* name);
// The module containing code or data at address; 0 when none.
QOR_PLATFORM_API HMODULE ModuleOfAddress(const void* address);
// Full path of the module's file; 0 = the executable. "" on failure.
QOR_PLATFORM_API std::string GetModuleFileName(HMODULE module);
// Whether the code a module runs while it is unloaded (its static
// destructors) may wait for other threads. Linux: yes. Windows: no; they run
// under the loader lock, which every thread takes on its way out, so such a
// wait never ends.
QOR_PLATFORM_API bool UnloadMayWaitForThreads();

// The process's arguments, argv[0] first.
QOR_PLATFORM_API std::vector<std::string> GetCommandLineArgs();

} // namespace platform
