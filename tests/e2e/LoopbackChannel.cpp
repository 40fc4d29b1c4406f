#include "LoopbackChannel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace eiptest {

LoopbackChannel::LoopbackChannel(const std::string& address, std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::generic_category(), "connect");
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    reader_ = std::thread([this] { ReadLoop(); });
}

LoopbackChannel::~LoopbackChannel() {
    Close();
    if (reader_.joinable())
        reader_.join();
    ::close(fd_);
}

eip::TSessionInfo* LoopbackChannel::AttachedSession() { return session_; }

void LoopbackChannel::AttachSession(eip::TSessionInfo& session) {
    std::scoped_lock hold(lock_);
    session_ = &session;
}

void LoopbackChannel::Detach() {
    std::scoped_lock hold(lock_);
    session_ = nullptr;
}

void LoopbackChannel::Close() { ::shutdown(fd_, SHUT_RDWR); }

int LoopbackChannel::SendToHost(std::span<const std::uint8_t> bytes) {
    if (recording_) {
        std::scoped_lock hold(lock_);
        transcript_.emplace_back('>', eip::TPacketDataArray(bytes.begin(), bytes.end()));
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

void LoopbackChannel::Record(bool on) {
    std::scoped_lock hold(lock_);
    recording_ = on;
    incoming_.clear();
}

std::vector<std::pair<char, eip::TPacketDataArray>> LoopbackChannel::Transcript() {
    std::scoped_lock hold(lock_);
    return transcript_;
}

void LoopbackChannel::RecordIncomingLocked(std::span<const std::uint8_t> bytes) {
    incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
    while (incoming_.size() >= 24) {
        const std::size_t whole = 24u + (incoming_[2] | (incoming_[3] << 8));
        if (incoming_.size() < whole)
            break;
        transcript_.emplace_back('<', eip::TPacketDataArray(incoming_.begin(), incoming_.begin() + whole));
        incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(whole));
    }
}

void LoopbackChannel::ReadLoop() {
    std::uint8_t buffer[8192];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        std::scoped_lock hold(lock_);
        if (n <= 0) {
            // The host reports the closed channel to the session.
            if (session_ != nullptr)
                session_.load()->StateChanged(false);
            return;
        }
        const std::span<const std::uint8_t> block(buffer, static_cast<std::size_t>(n));
        if (recording_)
            RecordIncomingLocked(block);
        if (session_ != nullptr)
            session_.load()->FeedData(block);
    }
}

LoopbackSession RegisterOverLoopback(std::uint16_t port, std::uint32_t timeoutMs, bool record) {
    eip::TSessionManager::InstallTransport<eip::TDataLoggerSession>();
    LoopbackSession s;
    s.Channel = std::make_unique<LoopbackChannel>("127.0.0.1", port);
    s.Channel->Record(record);
    const eip::TSenderContext context{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
    s.Session = eip::TSessionManager::RegisterSession(s.Channel.get(), "127.0.0.1", timeoutMs, context, port);
    return s;
}

} // namespace eiptest
