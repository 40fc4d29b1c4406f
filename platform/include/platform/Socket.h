// TCP client connections whose readiness joins a thread's message wait.
//
// A socket is non-blocking. AsyncSelect asks for one notification: when the
// socket is ready for one of the asked kinds, the message is posted to the
// window once (wParam: the caller's cookie; lParam: the kind in the low word,
// an error number in the high word) and nothing more is posted for the socket
// until AsyncSelect is called again. The owner thread thus sleeps in
// GetMessage or MsgWaitForMultipleObjects until its devices have something,
// and a socket that keeps delivering cannot flood the queue.
//
//   FD_CONNECT  a connection started by ConnectTcp has been made (error 0) or
//               has failed (the error, e.g. connection refused)
//   FD_READ     bytes, the peer's close, or an error are waiting for Receive
//
// A notification already posted may still arrive after CloseSocket; the cookie
// tells the owner which connection it was for.
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace platform {

#if defined(_WIN32)
using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
#else
using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
#endif

constexpr UINT FD_READ = 0x01, FD_CONNECT = 0x10;

constexpr UINT SelectEvent(LPARAM lParam) {
    return static_cast<UINT>(lParam & 0xFFFF);
}
constexpr int SelectError(LPARAM lParam) {
    return static_cast<int>((lParam >> 16) & 0xFFFF);
}

// Starts connecting to host:port (a numeric address or a name; names are
// resolved before this returns). INVALID_SOCKET when it cannot even start,
// with the reason in error.
QOR_PLATFORM_API SOCKET ConnectTcp(std::string_view host, std::uint16_t port, int& error);

// Sends every byte, waiting at most timeoutMs of real time for room. The byte
// count, or -1 with the reason in error.
QOR_PLATFORM_API int SendAll(SOCKET s, std::span<const std::uint8_t> bytes, DWORD timeoutMs, int& error);

constexpr int RECEIVE_CLOSED = 0, RECEIVE_FAILED = -1, RECEIVE_NOTHING = -2;
// What is waiting, without blocking: a byte count, RECEIVE_CLOSED when the
// peer closed, RECEIVE_NOTHING when nothing is there yet, or RECEIVE_FAILED
// with the reason in error.
QOR_PLATFORM_API int Receive(SOCKET s, std::span<std::uint8_t> buffer, int& error);

// Asks for one notification of the kinds in events (see above); replaces an
// earlier request for the socket. False when the socket or window is invalid.
QOR_PLATFORM_API bool AsyncSelect(SOCKET s, HWND hwnd, UINT msg, WPARAM cookie, UINT events);

// Withdraws the socket's notification request and closes it.
QOR_PLATFORM_API bool CloseSocket(SOCKET s);

// A blocking client, for a program that gives a connection a thread of its
// own (tools, tests): connects within timeoutMs of real time and gives the
// socket back blocking, or INVALID_SOCKET with the reason in error.
QOR_PLATFORM_API SOCKET ConnectTcpWait(std::string_view host, std::uint16_t port, DWORD timeoutMs, int& error);
// Waits for bytes on a blocking socket: a byte count, RECEIVE_CLOSED, or
// RECEIVE_FAILED with the reason in error.
QOR_PLATFORM_API int ReceiveWait(SOCKET s, std::span<std::uint8_t> buffer, int& error);
// Ends both directions; a thread blocked in ReceiveWait returns.
QOR_PLATFORM_API bool ShutdownSocket(SOCKET s);

// The operating system's text for an error number.
QOR_PLATFORM_API std::string SocketErrorText(int error);

} // namespace platform
