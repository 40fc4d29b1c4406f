#include "sim/SimController.h"

#include "sim/EncapsSession.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <system_error>

namespace sim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::system_category(), what);
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

} // namespace

struct SimController::Connection {
    int Fd = -1;
    std::uint64_t SessionId = 0;
    std::thread Thread;
    bool Done = false; // guarded by the controller's mutex
};

SimController::SimController(SimConfig config)
    : config_(std::move(config)),
      device_(std::make_unique<CipDevice>(config_.Device, tags_, files_, faults_)) {}

SimController::~SimController() {
    Stop();
}

bool SimController::Running() const {
    std::scoped_lock lock(mutex_);
    return running_;
}

void SimController::Start() {
    std::scoped_lock lock(mutex_);
    if (running_ || acceptThread_.joinable()) {
        throw std::logic_error("simulated controller already started");
    }
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        ThrowErrno("pipe");
    }
    stopRead_ = pipeFds[0];
    stopWrite_ = pipeFds[1];
    SetNonBlocking(stopRead_);
    ::fcntl(stopWrite_, F_SETFD, FD_CLOEXEC);
    try {
        if (::pipe(pipeFds) != 0) {
            ThrowErrno("pipe");
        }
        restartRead_ = pipeFds[0];
        restartWrite_ = pipeFds[1];
        SetNonBlocking(restartRead_);
        SetNonBlocking(restartWrite_);
        Listen(config_.Port);
    } catch (...) {
        CloseFd(listenFd_);
        CloseFd(stopRead_);
        CloseFd(stopWrite_);
        CloseFd(restartRead_);
        CloseFd(restartWrite_);
        throw;
    }
    accepted_ = 0;
    packets_ = 0;
    restarts_ = 0;
    running_ = true;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void SimController::Listen(std::uint16_t port) {
    in_addr addr{};
    if (::inet_pton(AF_INET, config_.Address.c_str(), &addr) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + config_.Address);
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    try {
        if (listenFd_ < 0) {
            ThrowErrno("socket");
        }
        SetNonBlocking(listenFd_);
        const int on = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr = addr;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ThrowErrno("bind " + config_.Address + ":" + std::to_string(port));
        }
        if (::listen(listenFd_, 16) != 0) {
            ThrowErrno("listen");
        }
        socklen_t len = sizeof sa;
        if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            ThrowErrno("getsockname");
        }
        port_ = ntohs(sa.sin_port);
        address_ = ntohl(sa.sin_addr.s_addr);
    } catch (...) {
        CloseFd(listenFd_);
        throw;
    }
}

void SimController::RestartListener(std::chrono::milliseconds pause) {
    {
        std::scoped_lock lock(mutex_);
        if (!running_) {
            return;
        }
        restartPause_ = pause;
    }
    const char byte = 1;
    // A full pipe already holds a restart request that has not been served.
    while (::write(restartWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
}

bool SimController::Restart() {
    char drain[64];
    while (::read(restartRead_, drain, sizeof drain) > 0) {
    }
    CloseFd(listenFd_);
    std::chrono::milliseconds pause{0};
    {
        // Shut down rather than close: each connection's thread still owns
        // its descriptor and closes it when it sees the end.
        std::scoped_lock lock(mutex_);
        for (auto& c : connections_) {
            if (!c->Done && c->Fd >= 0) {
                ::shutdown(c->Fd, SHUT_RDWR);
            }
        }
        pause = restartPause_;
    }
    pollfd stop{stopRead_, POLLIN, 0};
    const auto wait = [&](std::chrono::milliseconds ms) {
        int rc = 0;
        do {
            rc = ::poll(&stop, 1, static_cast<int>(ms.count()));
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    };
    if (!wait(pause)) {
        return false;
    }
    // The port may still be held for a moment by connections closing.
    for (;;) {
        try {
            Listen(port_);
            break;
        } catch (const std::system_error&) {
            if (!wait(std::chrono::milliseconds(50))) {
                return false;
            }
        }
    }
    {
        std::scoped_lock lock(mutex_);
        ++restarts_;
    }
    changed_.notify_all();
    return true;
}
void SimController::Stop() {
    {
        std::scoped_lock lock(mutex_);
        if (!running_) {
            return;
        }
        running_ = false;
    }
    // Every thread polls the read end of this pipe; one byte wakes them all
    // and keeps them awake, since nobody reads it.
    const char byte = 1;
    while (::write(stopWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::scoped_lock lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& c : connections) {
        if (c->Thread.joinable()) {
            c->Thread.join();
        }
    }
    CloseFd(listenFd_);
    CloseFd(stopRead_);
    CloseFd(stopWrite_);
    CloseFd(restartRead_);
    CloseFd(restartWrite_);
}

void SimController::ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::scoped_lock lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if ((*it)->Done) {
                finished.splice(finished.end(), connections_, it);
            }
            it = next;
        }
    }
    for (auto& c : finished) {
        c->Thread.join();
    }
}

void SimController::AcceptLoop() {
    for (;;) {
        std::array<pollfd, 3> fds{
            {{listenFd_, POLLIN, 0}, {stopRead_, POLLIN, 0}, {restartRead_, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[2].revents != 0) {
            if (!Restart()) {
                return;
            }
            continue;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
                continue;
            }
            // Out of descriptors or similar: wait a little (or for Stop)
            // instead of spinning on a listen socket that stays readable.
            pollfd stop{stopRead_, POLLIN, 0};
            if (::poll(&stop, 1, 100) > 0) {
                return;
            }
            continue;
        }
        SetNonBlocking(fd);
        const int on = 1;
        // Every send is its own segment, so a split reply really arrives in parts.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ReapFinished();
        {
            std::scoped_lock lock(mutex_);
            if (live_ >= config_.MaxTcpConnections) {
                ::close(fd);
                continue;
            }
        }
        try {
            std::scoped_lock lock(mutex_);
            auto connection = std::make_unique<Connection>();
            connection->Fd = fd;
            connection->SessionId = nextSessionId_++;
            Connection& c = *connection;
            connections_.push_back(std::move(connection));
            ++accepted_;
            ++live_;
            c.Thread = std::thread([this, &c] { Serve(c); });
        } catch (const std::exception&) {
            // No thread for it: the peer sees the connection close.
            std::scoped_lock lock(mutex_);
            auto it = std::find_if(connections_.begin(), connections_.end(),
                                   [fd](const auto& c) { return c->Fd == fd && !c->Thread.joinable(); });
            if (it != connections_.end()) {
                connections_.erase(it);
                --live_;
            }
            ::close(fd);
        }
    }
}

namespace {

// Waits for `pause` unless the server is stopped first; false when stopped.
bool PauseUnlessStopped(int stopFd, std::chrono::milliseconds pause) {
    pollfd stop{stopFd, POLLIN, 0};
    const int ms = static_cast<int>(std::min<std::chrono::milliseconds::rep>(pause.count(), 600000));
    int rc = 0;
    do {
        rc = ::poll(&stop, 1, ms);
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

// Sends all bytes; false when the peer is gone or the server stops.
bool SendAll(int fd, int stopFd, ByteView bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            std::array<pollfd, 2> fds{{{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}}};
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
                return false;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

// Noise for the Garbage fault: a fixed xorshift sequence, so runs repeat.
Bytes Garbage(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed | 1u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

// Applies a reply fault; false when the connection is to be closed.
bool DeliverFaulty(int fd, int stopFd, Bytes reply, const FaultRule& rule) {
    switch (rule.Kind) {
    case FaultKind::Silent:
        return true;
    case FaultKind::Delay:
        return PauseUnlessStopped(stopFd, rule.Pause) && SendAll(fd, stopFd, reply);
    case FaultKind::Split: {
        const std::size_t parts = std::max<std::size_t>(1, std::min(rule.Parts, reply.size()));
        const std::size_t step = reply.size() / parts;
        std::size_t sent = 0;
        for (std::size_t i = 0; i < parts; ++i) {
            const std::size_t n = i + 1 == parts ? reply.size() - sent : step;
            if (!SendAll(fd, stopFd, ByteView(reply).subspan(sent, n))) {
                return false;
            }
            sent += n;
            if (i + 1 == parts) {
                break;
            }
            if (rule.BetweenParts) {
                try {
                    rule.BetweenParts(sent);
                } catch (...) {
                }
            } else if (!PauseUnlessStopped(stopFd, rule.Pause)) {
                return false;
            }
        }
        return true;
    }
    case FaultKind::Truncate: {
        const std::size_t keep =
            rule.KeepBytes == 0 ? reply.size() / 2 : std::min(rule.KeepBytes, reply.size());
        return SendAll(fd, stopFd, ByteView(reply).first(keep));
    }
    case FaultKind::Garbage:
        return SendAll(fd, stopFd,
                       Garbage(reply.size(), static_cast<std::uint32_t>(reply.size() * 2654435761u)));
    case FaultKind::WrongLength: {
        const int length = reply[2] | (reply[3] << 8);
        const int wrong = std::clamp(length + rule.LengthDelta, 0, 0xFFFF);
        SetU16At(reply, 2, static_cast<std::uint16_t>(wrong));
        return SendAll(fd, stopFd, reply);
    }
    case FaultKind::CloseAfterError:
        SendAll(fd, stopFd, reply);
        return false;
    case FaultKind::Close:
    case FaultKind::Restart:
        return false;
    case FaultKind::RefuseForwardOpen:
        break;
    }
    return SendAll(fd, stopFd, reply);
}

} // namespace

void SimController::Serve(Connection& connection) {
    const int fd = connection.Fd;
    try {
        EncapsSession session(*device_, connection.SessionId, address_, port_);
        Bytes buffer;
        std::array<std::uint8_t, 16384> chunk{};
        bool open = true;
        while (open) {
            std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stopRead_, POLLIN, 0}}};
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[1].revents != 0) {
                break;
            }
            const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
            if (n == 0) {
                break;
            }
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    continue;
                }
                break;
            }
            buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + n);
            // Every complete packet in the buffer is answered in order; a
            // partial one waits for the rest of its bytes.
            while (open && buffer.size() >= EncapsSession::HeaderSize) {
                const std::size_t total = EncapsSession::HeaderSize + (buffer[2] | (buffer[3] << 8));
                if (buffer.size() < total) {
                    break;
                }
                EncapsOutcome outcome = session.Handle(ByteView(buffer).first(total));
                buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(total));
                if (outcome.Close) {
                    open = false;
                } else if (outcome.Reply) {
                    std::optional<FaultRule> rule =
                        faults_.TakeReplyFault(outcome.Command, outcome.Service, outcome.ErrorStatus);
                    open = rule ? DeliverFaulty(fd, stopRead_, std::move(*outcome.Reply), *rule)
                                : SendAll(fd, stopRead_, *outcome.Reply);
                    if (rule && rule->Kind == FaultKind::Restart) {
                        RestartListener(rule->Pause);
                    }
                }
                {
                    std::scoped_lock lock(mutex_);
                    ++packets_;
                }
                changed_.notify_all();
            }
        }
    } catch (...) {
        // Nothing leaves the thread: whatever went wrong ends this connection only.
    }
    {
        // Closed under the lock, so that a restart never shuts down a
        // descriptor number that has been handed out again.
        std::scoped_lock lock(mutex_);
        ::close(fd);
        connection.Fd = -1;
        connection.Done = true;
        --live_;
    }
    changed_.notify_all();
}

SimCounters SimController::CountersLocked() const {
    SimCounters c;
    c.Connections = accepted_;
    c.Packets = packets_;
    c.LiveConnections = live_;
    c.Restarts = restarts_;
    const DeviceStats& s = device_->Stats();
    c.CipRequests = s.Requests.load();
    c.ForwardOpens = s.ForwardOpens.load();
    c.ForwardCloses = s.ForwardCloses.load();
    c.PcccRequests = s.PcccRequests.load();
    c.OpenConnections = device_->OpenConnections();
    return c;
}

SimCounters SimController::Counters() const {
    std::scoped_lock lock(mutex_);
    return CountersLocked();
}

bool SimController::WaitUntil(const std::function<bool(const SimCounters&)>& predicate,
                              std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(CountersLocked()); });
}

bool SimController::WaitForPackets(std::uint64_t n, std::chrono::milliseconds timeout) {
    return WaitUntil([n](const SimCounters& c) { return c.Packets >= n; }, timeout);
}

bool SimController::WaitForNoConnections(std::chrono::milliseconds timeout) {
    return WaitUntil([](const SimCounters& c) { return c.LiveConnections == 0; }, timeout);
}

} // namespace sim
