// Sockets on Win32 (Winsock 2): one watcher thread per process waits on an
// event per socket (WSAEventSelect) and posts the owner's message when a
// socket it was asked about becomes ready; each request is one-shot, as on
// Linux, so the watcher leaves a socket alone until the owner asks again.
//
// Waiting for readiness on a thread of our own, rather than having the system
// post to the window (WSAAsyncSelect), keeps the platform's message (the
// owner's message number, cookie in wParam) and its one-shot rule, and does
// not depend on how a window's thread is pumped.
#include "WinApi.h"

#include "platform/Messages.h"
#include "platform/Socket.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

::SOCKET S(SOCKET s) { return static_cast<::SOCKET>(s); }

bool StartWinsock() {
    static const bool started = [] {
        ::WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

struct Watch {
    HWND hwnd = 0;
    UINT msg = 0;
    WPARAM cookie = 0;
    UINT events = 0;
    bool armed = false;
    ::WSAEVENT event = WSA_INVALID_EVENT;
};

// Readiness now, without waiting: the kind to report (0: none) and its error.
UINT ReadyNow(SOCKET s, UINT events, int& error) {
    error = 0;
    ::fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(S(s), &readable);
    FD_SET(S(s), &writable);
    FD_SET(S(s), &failed);
    ::timeval none{0, 0};
    if (::select(0, &readable, &writable, &failed, &none) <= 0)
        return 0;
    if ((events & FD_CONNECT) && (FD_ISSET(S(s), &writable) || FD_ISSET(S(s), &failed))) {
        int length = sizeof error;
        ::getsockopt(S(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        if (error == 0 && FD_ISSET(S(s), &failed))
            error = WSAECONNREFUSED;
        return FD_CONNECT;
    }
    if ((events & FD_READ) && (FD_ISSET(S(s), &readable) || FD_ISSET(S(s), &failed)))
        return FD_READ;
    return 0;
}

void Post(const Watch& w, UINT kind, int error) {
    const LPARAM lParam = static_cast<LPARAM>(kind | (static_cast<UINT>(error & 0xFFFF) << 16));
    PostMessage(w.hwnd, w.msg, w.cookie, lParam);
}

class Watcher {
public:
    Watcher() : wake_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) { thread_ = std::thread([this] { Run(); }); }
    // The process is ending (or the module is unloaded, when the loader lock
    // forbids waiting for a thread): the watcher is told to end, not waited for.
    ~Watcher() {
        stop_ = true;
        ::SetEvent(wake_);
        thread_.detach();
    }

    bool Arm(SOCKET s, HWND hwnd, UINT msg, WPARAM cookie, UINT events) {
        std::scoped_lock hold(lock_);
        auto [it, added] = watches_.try_emplace(s);
        Watch& w = it->second;
        if (added) {
            w.event = ::WSACreateEvent();
            if (w.event == WSA_INVALID_EVENT ||
                ::WSAEventSelect(S(s), w.event, FD_READ | FD_CLOSE | FD_CONNECT) != 0) {
                if (w.event != WSA_INVALID_EVENT)
                    ::WSACloseEvent(w.event);
                watches_.erase(it);
                return false;
            }
        }
        w.hwnd = hwnd;
        w.msg = msg;
        w.cookie = cookie;
        w.events = events;
        // What is there already (bytes left unread, a connection made while
        // nobody asked) is reported at once.
        int error = 0;
        if (const UINT kind = ReadyNow(s, events, error)) {
            w.armed = false;
            Post(w, kind, error);
            return true;
        }
        w.armed = true;
        ::SetEvent(wake_);
        return true;
    }

    void Forget(SOCKET s) {
        std::scoped_lock hold(lock_);
        auto it = watches_.find(s);
        if (it == watches_.end())
            return;
        ::WSAEventSelect(S(s), nullptr, 0);
        ::WSACloseEvent(it->second.event);
        watches_.erase(it);
        ::SetEvent(wake_);
    }

private:
    void Run() {
        std::vector<::HANDLE> events;
        std::vector<SOCKET> sockets;
        while (!stop_) {
            events.assign(1, wake_);
            sockets.assign(1, INVALID_SOCKET);
            {
                std::scoped_lock hold(lock_);
                for (const auto& [s, w] : watches_) {
                    if (!w.armed || events.size() == WSA_MAXIMUM_WAIT_EVENTS)
                        continue;
                    events.push_back(w.event);
                    sockets.push_back(s);
                }
            }
            const ::DWORD r = ::WSAWaitForMultipleEvents(static_cast<::DWORD>(events.size()), events.data(), FALSE,
                                                         WSA_INFINITE, FALSE);
            if (r == WSA_WAIT_FAILED)
                return;
            const ::DWORD index = r - WSA_WAIT_EVENT_0;
            if (index == 0 || index >= sockets.size())
                continue;
            Notify(sockets[index]);
        }
    }

    void Notify(SOCKET s) {
        std::scoped_lock hold(lock_);
        auto it = watches_.find(s);
        if (it == watches_.end() || !it->second.armed)
            return;
        Watch& w = it->second;
        ::WSANETWORKEVENTS happened{};
        if (::WSAEnumNetworkEvents(S(s), w.event, &happened) != 0)
            return;
        UINT kind = 0;
        int error = 0;
        if ((w.events & FD_CONNECT) && (happened.lNetworkEvents & FD_CONNECT)) {
            kind = FD_CONNECT;
            error = happened.iErrorCode[FD_CONNECT_BIT];
        } else if ((w.events & FD_READ) && (happened.lNetworkEvents & (FD_READ | FD_CLOSE))) {
            kind = FD_READ;
        } else {
            // Readiness of a kind not asked for now (the record is taken):
            // look again for what was asked.
            kind = ReadyNow(s, w.events, error);
        }
        if (kind == 0)
            return;
        w.armed = false;
        Post(w, kind, error);
    }

    ::HANDLE wake_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::unordered_map<SOCKET, Watch> watches_;
    std::thread thread_;
};

Watcher& TheWatcher() {
    static Watcher watcher;
    return watcher;
}

::SOCKET StartConnect(std::string_view host, std::uint16_t port, int& error) {
    if (!StartWinsock()) {
        error = WSASYSNOTREADY;
        return win32::kInvalidSocket;
    }
    ::addrinfoW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    ::addrinfoW* found = nullptr;
    const std::wstring name = win32::Widen(host);
    const std::wstring service = std::to_wstring(port);
    if (const int rc = ::GetAddrInfoW(name.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = rc;
        return win32::kInvalidSocket;
    }
    error = 0;
    ::SOCKET s = win32::kInvalidSocket;
    for (::addrinfoW* a = found; a != nullptr; a = a->ai_next) {
        s = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == win32::kInvalidSocket) {
            error = ::WSAGetLastError();
            continue;
        }
        ::u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        const ::BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 ||
            ::WSAGetLastError() == WSAEWOULDBLOCK) {
            error = 0;
            break;
        }
        error = ::WSAGetLastError();
        ::closesocket(s);
        s = win32::kInvalidSocket;
    }
    ::FreeAddrInfoW(found);
    return s;
}

} // namespace

SOCKET ConnectTcp(std::string_view host, std::uint16_t port, int& error) {
    return static_cast<SOCKET>(StartConnect(host, port, error));
}

SOCKET ConnectTcpWait(std::string_view host, std::uint16_t port, DWORD timeoutMs, int& error) {
    const ::SOCKET s = StartConnect(host, port, error);
    if (s == win32::kInvalidSocket)
        return INVALID_SOCKET;
    ::fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    ::timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int rc = ::select(0, nullptr, &writable, &failed, timeoutMs == INFINITE ? nullptr : &limit);
    if (rc == 0) {
        error = WSAETIMEDOUT;
    } else if (rc < 0) {
        error = ::WSAGetLastError();
    } else {
        int length = sizeof error;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        if (error == 0 && FD_ISSET(s, &failed))
            error = WSAECONNREFUSED;
    }
    if (error != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    ::u_long blocking = 0;
    ::ioctlsocket(s, FIONBIO, &blocking);
    return static_cast<SOCKET>(s);
}

int SendAll(SOCKET s, std::span<const std::uint8_t> bytes, DWORD timeoutMs, int& error) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 30));
        const int n = ::send(S(s), reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
            // The peer is slow to take bytes: wait for room, not for ever.
            ::fd_set room;
            FD_ZERO(&room);
            FD_SET(S(s), &room);
            ::timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
            const int r = ::select(0, nullptr, &room, nullptr, &limit);
            if (r > 0)
                continue;
            error = r == 0 ? WSAETIMEDOUT : ::WSAGetLastError();
            return -1;
        }
        error = n < 0 ? ::WSAGetLastError() : WSAECONNRESET;
        return -1;
    }
    error = 0;
    return static_cast<int>(sent);
}

int Receive(SOCKET s, std::span<std::uint8_t> buffer, int& error) {
    const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), 1 << 30));
    const int n = ::recv(S(s), reinterpret_cast<char*>(buffer.data()), size, 0);
    if (n >= 0) {
        error = 0;
        return n;
    }
    const int why = ::WSAGetLastError();
    if (why == WSAEWOULDBLOCK) {
        error = 0;
        return RECEIVE_NOTHING;
    }
    error = why;
    return RECEIVE_FAILED;
}

int ReceiveWait(SOCKET s, std::span<std::uint8_t> buffer, int& error) {
    const int size = static_cast<int>(std::min<std::size_t>(buffer.size(), 1 << 30));
    const int n = ::recv(S(s), reinterpret_cast<char*>(buffer.data()), size, 0);
    if (n >= 0) {
        error = 0;
        return n;
    }
    error = ::WSAGetLastError();
    return RECEIVE_FAILED;
}

bool ShutdownSocket(SOCKET s) { return s != INVALID_SOCKET && ::shutdown(S(s), SD_BOTH) == 0; }

bool AsyncSelect(SOCKET s, HWND hwnd, UINT msg, WPARAM cookie, UINT events) {
    if (s == INVALID_SOCKET || !IsWindow(hwnd) || (events & ~(FD_READ | FD_CONNECT)) != 0)
        return false;
    return TheWatcher().Arm(s, hwnd, msg, cookie, events);
}

bool CloseSocket(SOCKET s) {
    if (s == INVALID_SOCKET)
        return false;
    TheWatcher().Forget(s);
    return ::closesocket(S(s)) == 0;
}

std::string SocketErrorText(int error) { return win32::ErrorText(static_cast<::DWORD>(error)); }

} // namespace platform
