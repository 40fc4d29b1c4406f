// Basic types of the platform layer.
//
// The plug-in was designed against a Windows-style host: windows, messages,
// events and modules are named by integer handles that any thread of the
// process may hold. These aliases keep the Windows names so the code reads as
// the design does; all handles are plain integers, 0 meaning "none".
#pragma once

#include <cstdint>

namespace platform {

using HWND = std::uintptr_t;    // hidden message window
using HANDLE = std::uintptr_t;  // event or thread
using HMODULE = std::uintptr_t; // loaded module (executable or shared library)
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using UINT_PTR = std::uintptr_t;

} // namespace platform

// The boundary with the host uses the standard-call convention where the target
// has one (32-bit x86); elsewhere the platform's one calling convention is used.
#if defined(__i386__)
#define QOR_STDCALL __attribute__((stdcall))
#else
#define QOR_STDCALL
#endif

// Symbols of the shared platform library seen by the plug-in and the host. On
// Windows the system itself is what the modules share (windows, queues,
// timers are the system's): each module links its own static copy.
#if defined(_WIN32)
#define QOR_PLATFORM_API
#else
#define QOR_PLATFORM_API __attribute__((visibility("default")))
#endif

// A function a module exports by name to the other modules of the process:
// the plug-in's exports (the library's export list names them) and the host's
// callbacks, found with GetProcAddress.
#if defined(_WIN32)
#define QOR_MODULE_EXPORT __declspec(dllexport)
#else
#define QOR_MODULE_EXPORT __attribute__((visibility("default")))
#endif
// A function a library exports through its export list (a version script on
// Linux, a module definition file on Windows, which keeps the 32-bit
// standard-call names undecorated).
#if defined(_WIN32)
#define QOR_LIBRARY_EXPORT
#else
#define QOR_LIBRARY_EXPORT QOR_MODULE_EXPORT
#endif
