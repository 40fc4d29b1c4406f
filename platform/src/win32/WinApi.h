// The one place that includes <windows.h>.
//
// The Windows headers define as macros many names that platform/ declares as
// its own functions and constants (PostMessage, ERROR_SUCCESS, WAIT_OBJECT_0,
// HKEY_LOCAL_MACHINE, ...). The Win32 implementation includes this header
// first and the platform headers after it: the macros are undone here, so the
// platform names mean what the platform headers say, and the code below calls
// the system through its explicit names (::PostMessageW, ::CreateEventW).
// The handful of system values that are needed under a name that is undone
// here are kept first under a name of our own (kHkeyLocalMachine, ...).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <process.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string>
#include <string_view>
#include <system_error>

namespace platform::win32 {

inline const ::HKEY kHkeyClassesRoot = HKEY_CLASSES_ROOT;
inline const ::HKEY kHkeyCurrentUser = HKEY_CURRENT_USER;
inline const ::HKEY kHkeyLocalMachine = HKEY_LOCAL_MACHINE;
inline const ::HKEY kHkeyUsers = HKEY_USERS;
inline const ::HKEY kHkeyCurrentConfig = HKEY_CURRENT_CONFIG;
inline constexpr ::SOCKET kInvalidSocket = INVALID_SOCKET;
inline constexpr ::DWORD kInfinite = INFINITE;
// Macros that cast to a system type: inside namespace platform that type's
// name would be the platform's own.
inline const ::HANDLE kInvalidHandle = INVALID_HANDLE_VALUE;
inline const ::HWND kHwndMessage = HWND_MESSAGE;

// UTF-8 (the text of the whole code base) to and from UTF-16 (the wide API).
// Invalid sequences become U+FFFD, as the system's conversion makes them.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);
// The system's text for an error code, in UTF-8, without the line break.
std::string ErrorText(::DWORD error);
// Windows error codes as std::error_code: message() is ErrorText (UTF-8,
// where the standard library's system category gives the ANSI code page's).
const std::error_category& ErrorCategory();
inline std::error_code ErrorCode(::DWORD error) { return {static_cast<int>(error), ErrorCategory()}; }
inline std::error_code LastErrorCode() { return ErrorCode(::GetLastError()); }

} // namespace platform::win32

#undef CreateEvent
#undef DefWindowProc
#undef DispatchMessage
#undef ERROR_ACCESS_DENIED
#undef ERROR_CANNOT_FIND_WND_CLASS
#undef ERROR_CLASS_ALREADY_EXISTS
#undef ERROR_CLASS_DOES_NOT_EXIST
#undef ERROR_CLASS_HAS_WINDOWS
#undef ERROR_INVALID_HANDLE
#undef ERROR_INVALID_INDEX
#undef ERROR_INVALID_PARAMETER
#undef ERROR_INVALID_THREAD_ID
#undef ERROR_INVALID_WINDOW_HANDLE
#undef ERROR_MOD_NOT_FOUND
#undef ERROR_NOT_ENOUGH_MEMORY
#undef ERROR_NOT_ENOUGH_QUOTA
#undef ERROR_NOT_SUPPORTED
#undef ERROR_NO_SYSTEM_RESOURCES
#undef ERROR_PROC_NOT_FOUND
#undef ERROR_RESOURCE_DATA_NOT_FOUND
#undef ERROR_RESOURCE_NAME_NOT_FOUND
#undef ERROR_SUCCESS
#undef ERROR_TIMEOUT
#undef ERROR_WINDOW_OF_OTHER_THREAD
#undef FD_CONNECT
#undef FD_READ
#undef FindResource
#undef GetClassInfo
#undef GetMessage
#undef GetModuleFileName
#undef GetModuleHandle
#undef GetWindowLongPtr
#undef HKEY_CLASSES_ROOT
#undef HKEY_CURRENT_CONFIG
#undef HKEY_CURRENT_USER
#undef HKEY_LOCAL_MACHINE
#undef HKEY_USERS
#undef INFINITE
#undef INVALID_SOCKET
#undef LoadLibrary
#undef MAXIMUM_WAIT_OBJECTS
#undef OutputDebugString
#undef PM_NOREMOVE
#undef PM_REMOVE
#undef PeekMessage
#undef PostMessage
#undef PostThreadMessage
#undef QS_ALLINPUT
#undef QS_ALLPOSTMESSAGE
#undef QS_HOTKEY
#undef QS_KEY
#undef QS_MOUSEBUTTON
#undef QS_MOUSEMOVE
#undef QS_PAINT
#undef QS_POSTMESSAGE
#undef QS_SENDMESSAGE
#undef QS_TIMER
#undef REG_BINARY
#undef REG_DWORD
#undef REG_NONE
#undef REG_SZ
#undef RegDeleteTree
#undef RegisterClass
#undef SMTO_ABORTIFHUNG
#undef SMTO_BLOCK
#undef SMTO_NORMAL
#undef STILL_ACTIVE
#undef SendMessage
#undef SendMessageTimeout
#undef SetWindowLongPtr
#undef THREAD_PRIORITY_ABOVE_NORMAL
#undef THREAD_PRIORITY_BELOW_NORMAL
#undef THREAD_PRIORITY_ERROR_RETURN
#undef THREAD_PRIORITY_HIGHEST
#undef THREAD_PRIORITY_IDLE
#undef THREAD_PRIORITY_LOWEST
#undef THREAD_PRIORITY_NORMAL
#undef THREAD_PRIORITY_TIME_CRITICAL
#undef UnregisterClass
#undef WAIT_ABANDONED_0
#undef WAIT_FAILED
#undef WAIT_OBJECT_0
#undef WAIT_TIMEOUT
#undef WM_APP
#undef WM_CLOSE
#undef WM_CREATE
#undef WM_DESTROY
#undef WM_NULL
#undef WM_QUIT
#undef WM_TIMER
#undef WM_USER
