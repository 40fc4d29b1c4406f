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

// Symbols of the shared platform library seen by the plug-in and the host.
#define QOR_PLATFORM_API __attribute__((visibility("default")))
