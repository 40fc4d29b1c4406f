#include "eip/EIP_TcpChannel.h"

namespace eip {

namespace {

std::string ErrorText(const std::string& what, int error) {
    return what + ": " + platform::SocketErrorText(error);
}

} // namespace

TTcpChannel::~TTcpChannel() {
    Close();
    if (reader_.joinable())
        reader_.join();
    if (fd_ != platform::INVALID_SOCKET)
        platform::CloseSocket(fd_);
}

bool TTcpChannel::Open(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs) {
    std::string error;
    if (fd_ != platform::INVALID_SOCKET) {
        error = "channel already opened";
    } else {
        int why = 0;
        fd_ = platform::ConnectTcpWait(host, port, timeoutMs, why);
        if (fd_ == platform::INVALID_SOCKET)
            // The host named as given: a name that does not resolve says so.
            error = ErrorText("connect to " + host + ":" + std::to_string(port), why);
    }
    std::scoped_lock hold(lock_);
    if (fd_ == platform::INVALID_SOCKET || open_) {
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
    if (fd_ != platform::INVALID_SOCKET)
        platform::ShutdownSocket(fd_);
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
    int error = 0;
    const int sent = platform::SendAll(fd_, bytes, platform::INFINITE, error);
    return sent < 0 ? -2 : sent;
}

void TTcpChannel::ReadLoop() {
    std::uint8_t buffer[8192];
    for (;;) {
        int error = 0;
        const int n = platform::ReceiveWait(fd_, buffer, error);
        std::scoped_lock hold(lock_);
        if (n <= 0) {
            open_ = false;
            lastError_ = n == 0 ? "connection closed by the device" : ErrorText("recv", error);
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
