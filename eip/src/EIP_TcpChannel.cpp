#include "eip/EIP_TcpChannel.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace eip {

namespace {

std::string ErrnoText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

// One connect attempt within the time left; the socket is blocking again when
// it returns a connected descriptor.
int ConnectOne(const addrinfo& ai, int timeoutMs, std::string& error) {
    const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai.ai_protocol);
    if (fd < 0) {
        error = ErrnoText("socket", errno);
        return -1;
    }
    int rc = ::connect(fd, ai.ai_addr, ai.ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        do {
            rc = ::poll(&p, 1, timeoutMs);
        } while (rc < 0 && errno == EINTR);
        if (rc == 0) {
            error = "connect: timed out";
            ::close(fd);
            return -1;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        rc = soError == 0 ? 0 : -1;
        errno = soError;
    }
    if (rc != 0) {
        error = ErrnoText("connect", errno);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Requests are small and each waits for its reply: send them at once.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

} // namespace

TTcpChannel::~TTcpChannel() {
    Close();
    if (reader_.joinable())
        reader_.join();
    if (fd_ >= 0)
        ::close(fd_);
}

bool TTcpChannel::Open(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs) {
    std::string error;
    if (fd_ >= 0) {
        error = "channel already opened";
    } else {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(port);
        const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        if (rc != 0) {
            error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(rc);
        } else {
            for (const addrinfo* ai = found; ai != nullptr && fd_ < 0; ai = ai->ai_next)
                fd_ = ConnectOne(*ai, static_cast<int>(timeoutMs), error);
            ::freeaddrinfo(found);
        }
    }
    std::scoped_lock hold(lock_);
    if (fd_ < 0 || open_) {
        lastError_ = error;
        return false;
    }
    lastError_.clear();
    open_ = true;
    reader_ = std::thread([this] { ReadLoop(); });
    return true;
}

std::string TTcpChannel::LastError() const {
    std::scoped_lock hold(lock_);
    return lastError_;
}

TSessionInfo* TTcpChannel::AttachedSession() {
    std::scoped_lock hold(lock_);
    return session_;
}

void TTcpChannel::AttachSession(TSessionInfo& session) {
    std::scoped_lock hold(lock_);
    session_ = &session;
}

void TTcpChannel::Detach() {
    std::scoped_lock hold(lock_);
    session_ = nullptr;
}

void TTcpChannel::SetReceiver(TReceiver receiver, TClosedHandler closed) {
    std::scoped_lock hold(lock_);
    receiver_ = std::move(receiver);
    closed_ = std::move(closed);
}

void TTcpChannel::SetTrafficTap(TTrafficTap tap) {
    std::scoped_lock hold(lock_);
    tap_ = std::move(tap);
}

void TTcpChannel::Close() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

bool TTcpChannel::WaitForClose(std::chrono::milliseconds timeout) {
    std::unique_lock hold(lock_);
    return endedChanged_.wait_for(hold, timeout, [this] { return ended_; });
}

int TTcpChannel::SendToHost(std::span<const std::uint8_t> bytes) {
    if (!open_)
        return -2;
    {
        std::scoped_lock hold(lock_);
        if (tap_)
            tap_('>', bytes);
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -2;
        sent += static_cast<std::size_t>(n);
    }
    return static_cast<int>(sent);
}

void TTcpChannel::ReadLoop() {
    std::uint8_t buffer[8192];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        std::scoped_lock hold(lock_);
        if (n <= 0) {
            open_ = false;
            lastError_ = n == 0 ? "connection closed by the device" : ErrnoText("recv", errno);
            // The host reports a dropped channel to the session; so do we.
            if (closed_)
                closed_();
            else if (session_ != nullptr)
                session_->StateChanged(false);
            ended_ = true;
            endedChanged_.notify_all();
            return;
        }
        const std::span<const std::uint8_t> block(buffer, static_cast<std::size_t>(n));
        if (tap_)
            tap_('<', block);
        if (receiver_)
            receiver_(block);
        else if (session_ != nullptr)
            session_->FeedData(block);
    }
}

} // namespace eip
