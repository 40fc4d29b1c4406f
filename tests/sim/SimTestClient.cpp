#include "SimTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace simtest {

static constexpr int SafetyLimitMs = 20000;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

std::uint32_t ReadLe32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16)) |
           (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}

std::uint16_t ReadLe16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

static Bytes Le16(std::size_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

Bytes ReplyHeader(std::uint16_t command, std::uint16_t length, std::uint32_t handle, std::uint32_t status) {
    return Cat(
        {Le16(command), Le16(length), Le32(handle), Le32(status), {1, 2, 3, 4, 5, 6, 7, 8}, {0, 0, 0, 0}});
}

Bytes Encaps(std::uint16_t command, std::uint32_t handle, const Bytes& data) {
    return Cat({ReplyHeader(command, static_cast<std::uint16_t>(data.size()), handle, 0), data});
}

Bytes RRData(const Bytes& request) {
    return Cat({{0, 0, 0, 0, 0x88, 0x13, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00},
                Le16(request.size()),
                request});
}

Bytes UnitData(std::uint32_t connectionId, std::uint16_t sequence, const Bytes& request) {
    return Cat({{0, 0, 0, 0, 0, 0, 0x02, 0x00, 0xA1, 0x00, 0x04, 0x00},
                Le32(connectionId),
                {0xB1, 0x00},
                Le16(request.size() + 2),
                Le16(sequence),
                request});
}

TestConnection::TestConnection(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        throw std::runtime_error("cannot connect to the simulated controller");
}

TestConnection::~TestConnection() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TestConnection::Send(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send failed");
        sent += static_cast<std::size_t>(n);
    }
}

Bytes TestConnection::ReceiveBytes(std::size_t n) {
    Bytes out;
    out.reserve(n);
    while (out.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, SafetyLimitMs) <= 0)
            throw std::runtime_error("no bytes from the simulated controller");
        std::uint8_t buf[4096];
        const ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes TestConnection::Receive() {
    Bytes packet = ReceiveBytes(24);
    if (packet.size() < 24)
        return {};
    Bytes data = ReceiveBytes(ReadLe16(packet, 2));
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

bool TestConnection::HasPendingBytes() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

bool TestConnection::PeerClosed() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, SafetyLimitMs) <= 0)
        return false;
    std::uint8_t b = 0;
    return ::recv(fd_, &b, 1, MSG_PEEK) <= 0;
}

std::uint32_t TestConnection::Register() {
    Bytes reply = Exchange(Encaps(0x0065, 0, {0x01, 0x00, 0x00, 0x00}));
    if (reply.size() != 28 || ReadLe32(reply, 8) != 0)
        throw std::runtime_error("RegisterSession failed");
    return ReadLe32(reply, 4);
}

Bytes TestConnection::Request(std::uint32_t handle, const Bytes& request) {
    Bytes reply = Exchange(Encaps(0x006F, handle, RRData(request)));
    // Header (24), interface handle and time-out (6), count (2), null
    // address item (4), data item type and length (4).
    if (reply.size() < 40 || ReadLe32(reply, 8) != 0 || reply[36] != 0xB2)
        throw std::runtime_error("not a SendRRData reply with an unconnected data item");
    return Bytes(reply.begin() + 40, reply.end());
}

} // namespace simtest
