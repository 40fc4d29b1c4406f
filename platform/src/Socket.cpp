// Sockets on POSIX. A socket that asked for a notification is watched by the
// thread that owns its window: that thread's message waits block in
// epoll_wait on its sockets as well as on its queue (Kernel.h, ThreadData),
// and a ready socket becomes a posted message there and then, without a
// thread of its own in between.
//
// Each request is one-shot: nothing more is posted for the socket until the
// owner asks again. The socket stays in the epoll, edge-triggered, from its
// first request to its close, so that asking again (once per reply) is no
// system call: readiness that comes while no request is out is remembered,
// and the next request is answered with it at once. Only a change of the
// kinds asked for, or of the thread asking, changes the epoll.
#include "platform/Socket.h"

#include "Kernel.h"
#include "platform/Messages.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace platform {

namespace detail {
namespace {

constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};

struct Watch {
    HWND hwnd = 0;
    UINT msg = 0;
    WPARAM cookie = 0;
    UINT events = 0;
    std::uint32_t generation = 0;
    std::weak_ptr<ThreadData> owner; // whose epoll holds the socket
    std::uint32_t registered = 0;    // the owner's epoll's mask for it (0: not in it)
    bool armed = false;              // a request is out: the next readiness is posted
    bool missed = false;             // readiness came while no request was out
    bool drained = false;            // Receive found it empty since the last notification
};

// Under the kernel mutex.
std::unordered_map<SOCKET, Watch>& Watches() {
    static std::unordered_map<SOCKET, Watch> watches;
    return watches;
}
std::uint32_t nextGeneration = 0;

// The thread's epoll and its wake-up, made on first use (kernel lock held).
bool EnsurePoll(ThreadData& t) {
    if (t.pollFd >= 0)
        return true;
    const int poll = ::epoll_create1(EPOLL_CLOEXEC);
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (poll < 0 || wake < 0 || ::epoll_ctl(poll, EPOLL_CTL_ADD, wake, &ev) != 0) {
        if (poll >= 0)
            ::close(poll);
        if (wake >= 0)
            ::close(wake);
        return false;
    }
    t.pollFd = poll;
    t.wakeFd = wake;
    return true;
}

void Unwatch(SOCKET s, Watch& w) {
    if (auto owner = w.owner.lock(); owner && owner->pollFd >= 0)
        ::epoll_ctl(owner->pollFd, EPOLL_CTL_DEL, s, nullptr);
}

// Posts the notification of one ready socket (kernel lock held).
void NotifyLocked(const epoll_event& ev) {
    const SOCKET s = static_cast<SOCKET>(ev.data.u64 & 0xFFFFFFFF);
    const auto generation = static_cast<std::uint32_t>(ev.data.u64 >> 32);
    // A socket closed (and its number reused) after epoll_wait returned is
    // not the one this readiness was for.
    auto it = Watches().find(s);
    if (it == Watches().end() || it->second.generation != generation)
        return;
    Watch& w = it->second;
    if (!w.armed) {
        w.missed = true;
        return;
    }
    UINT kind = 0;
    int error = 0;
    if ((w.events & FD_CONNECT) && (ev.events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        kind = FD_CONNECT;
        socklen_t length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0 && (ev.events & (EPOLLERR | EPOLLHUP)))
            error = ECONNREFUSED;
    } else if ((w.events & FD_READ) && (ev.events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
        kind = FD_READ;
    } else {
        return;
    }
    w.armed = false;
    w.drained = false;
    auto window = FindWindowLocked(w.hwnd);
    if (!window || !window->owner->alive)
        return;
    const LPARAM lParam = static_cast<LPARAM>(kind | (static_cast<UINT>(error & 0xFFFF) << 16));
    if (PostLocked(*window->owner, MSG{w.hwnd, w.msg, w.cookie, lParam, 0}))
        Wake(*window->owner);
}

} // namespace

void PollSockets(std::unique_lock<std::mutex>& lock, ThreadData& self, int timeoutMs) {
    std::array<epoll_event, 32> events{};
    int n = 0;
    if (timeoutMs == 0) {
        n = ::epoll_wait(self.pollFd, events.data(), static_cast<int>(events.size()), 0);
    } else {
        self.pollWaiting = true;
        lock.unlock();
        n = ::epoll_wait(self.pollFd, events.data(), static_cast<int>(events.size()), timeoutMs);
        lock.lock();
        self.pollWaiting = false;
    }
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeKey) {
            // One read takes the whole count and resets it.
            std::uint64_t count = 0;
            [[maybe_unused]] const auto n = ::read(self.wakeFd, &count, sizeof count);
            continue;
        }
        NotifyLocked(events[i]);
    }
}

} // namespace detail

namespace {

bool Arm(SOCKET s, HWND hwnd, UINT msg, WPARAM cookie, UINT events) {
    using namespace detail;
    std::lock_guard hold(K().mutex);
    auto window = FindWindowLocked(hwnd);
    if (!window || !window->owner->alive || !EnsurePoll(*window->owner))
        return false;
    ThreadData& owner = *window->owner;
    auto [it, added] = Watches().try_emplace(s);
    Watch& w = it->second;
    // A socket whose notifications go to another thread's window now moves
    // to that thread's epoll.
    const auto previous = w.owner.lock();
    const bool moved = !added && previous.get() != &owner;
    if (moved) {
        Unwatch(s, w);
        w.registered = 0;
    }
    w.hwnd = hwnd;
    w.msg = msg;
    w.cookie = cookie;
    w.events = events;
    w.owner = window->owner;
    if (added)
        w.generation = ++nextGeneration;
    std::uint32_t mask = EPOLLET;
    if (events & FD_CONNECT)
        mask |= EPOLLOUT;
    if (events & FD_READ)
        mask |= EPOLLIN | EPOLLRDHUP;
    w.armed = true;
    epoll_event ev{};
    ev.data.u64 = (static_cast<std::uint64_t>(w.generation) << 32) | static_cast<std::uint32_t>(s);
    if (mask != w.registered || !w.drained) {
        // Not in this epoll yet, a new mask, or bytes perhaps left unread:
        // the epoll reports what is ready now by itself.
        ev.events = mask;
        if (::epoll_ctl(owner.pollFd, w.registered == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, s, &ev) != 0) {
            Watches().erase(it);
            return false;
        }
        w.registered = mask;
        w.missed = false;
    } else if (std::exchange(w.missed, false)) {
        // Ready since the last notification, which an edge-triggered epoll
        // does not report again: answer the request now (it may be stale,
        // and then Receive finds nothing, as a Windows socket's may).
        ev.events = mask & ~EPOLLET;
        NotifyLocked(ev);
    }
    return true;
}

// Receive took everything the socket held: asking again needs no look at
// the socket (edges after this are reported, or remembered as missed).
void Drained(SOCKET s) {
    using namespace detail;
    std::lock_guard hold(K().mutex);
    if (auto it = Watches().find(s); it != Watches().end())
        it->second.drained = true;
}

void Forget(SOCKET s) {
    using namespace detail;
    std::lock_guard hold(K().mutex);
    auto it = Watches().find(s);
    if (it == Watches().end())
        return;
    Unwatch(s, it->second);
    Watches().erase(it);
}

} // namespace

SOCKET ConnectTcp(std::string_view host, std::uint16_t port, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string name(host);
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
        return INVALID_SOCKET;
    }
    error = 0;
    SOCKET s = INVALID_SOCKET;
    // The first address that accepts a connection attempt; its outcome comes
    // later (FD_CONNECT).
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        s = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS) {
            error = 0;
            break;
        }
        error = errno;
        ::close(s);
        s = INVALID_SOCKET;
    }
    ::freeaddrinfo(found);
    return s;
}

int SendAll(SOCKET s, std::span<const std::uint8_t> bytes, DWORD timeoutMs, int& error) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The peer is slow to take bytes: wait for room, not for ever.
            pollfd room{s, POLLOUT, 0};
            const int r = ::poll(&room, 1, static_cast<int>(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
            if (r > 0 || (r < 0 && errno == EINTR))
                continue;
            error = r == 0 ? ETIMEDOUT : errno;
            return -1;
        }
        error = n < 0 ? errno : EPIPE;
        return -1;
    }
    error = 0;
    return static_cast<int>(sent);
}

int Receive(SOCKET s, std::span<std::uint8_t> buffer, int& error) {
    for (;;) {
        const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
        if (n >= 0) {
            if (n > 0 && static_cast<std::size_t>(n) < buffer.size())
                Drained(s);
            error = 0;
            return static_cast<int>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            Drained(s);
            error = 0;
            return RECEIVE_NOTHING;
        }
        error = errno;
        return RECEIVE_FAILED;
    }
}

bool AsyncSelect(SOCKET s, HWND hwnd, UINT msg, WPARAM cookie, UINT events) {
    if (s < 0 || !IsWindow(hwnd) || (events & ~(FD_READ | FD_CONNECT)) != 0)
        return false;
    return Arm(s, hwnd, msg, cookie, events);
}

bool CloseSocket(SOCKET s) {
    if (s < 0)
        return false;
    Forget(s);
    return ::close(s) == 0;
}

SOCKET ConnectTcpWait(std::string_view host, std::uint16_t port, DWORD timeoutMs, int& error) {
    const SOCKET s = ConnectTcp(host, port, error);
    if (s == INVALID_SOCKET)
        return s;
    pollfd p{s, POLLOUT, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, static_cast<int>(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        error = ETIMEDOUT;
    } else {
        socklen_t length = sizeof error;
        if (rc < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
    }
    if (error != 0) {
        ::close(s);
        return INVALID_SOCKET;
    }
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
    return s;
}

int ReceiveWait(SOCKET s, std::span<std::uint8_t> buffer, int& error) {
    for (;;) {
        const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
        if (n >= 0) {
            error = 0;
            return static_cast<int>(n);
        }
        if (errno == EINTR)
            continue;
        error = errno;
        return RECEIVE_FAILED;
    }
}

bool ShutdownSocket(SOCKET s) { return s >= 0 && ::shutdown(s, SHUT_RDWR) == 0; }

std::string SocketErrorText(int error) {
    return std::system_category().message(error);
}

} // namespace platform
