// Error codes reported through GetLastError(). The values are the Windows ones
// the framework (and any host written against it) already knows.
#pragma once

#include "platform/Types.h"

namespace platform {

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_ACCESS_DENIED = 5;          // a window used from a thread that does not own it
constexpr DWORD ERROR_INVALID_HANDLE = 6;         // not an event or thread handle (or the wrong kind)
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;      // the operating system refused a thread or an allocation
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_WINDOW_OF_OTHER_THREAD = 1408;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450; // the process-wide timer limit is reached
constexpr DWORD ERROR_TIMEOUT = 1460;             // SendMessageTimeout gave up (time-out or hung owner)
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812; // the module registered no resources
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;    // a thread's queue holds the maximum of posted messages
constexpr DWORD ERROR_NOT_SUPPORTED = 50;

// The calling thread's last error (each thread has its own).
QOR_PLATFORM_API DWORD GetLastError();
QOR_PLATFORM_API void SetLastError(DWORD error);

} // namespace platform
