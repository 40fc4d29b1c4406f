// What the exchange benchmarks share: a bare socket to the simulated
// controller, the baseline every figure is divided by, and the median of
// timed calls.
#pragma once

#include "eip/EIP_Conversion.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace benchsupport {

using eip::TPacketDataArray;

// One TCP connection with no session layer: sends a pre-encoded request and
// reads one whole encapsulation packet back.
class BareSocket {
public:
    explicit BareSocket(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            throw std::runtime_error("cannot connect");
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~BareSocket() { ::close(fd_); }

        TPacketDataArray Exchange(const TPacketDataArray& request) {
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            throw std::runtime_error("send");
        TPacketDataArray reply(24);
        ReadExactly(reply.data(), 24);
        const std::size_t length = reply[2] | (reply[3] << 8);
        reply.resize(24 + length);
        ReadExactly(reply.data() + 24, length);
        return reply;
    }

private:
    void ReadExactly(std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            const ssize_t got = ::recv(fd_, p, n, 0);
            if (got <= 0)
                throw std::runtime_error("recv");
            p += got;
            n -= static_cast<std::size_t>(got);
        }
    }
    int fd_ = -1;
};

// A count from the environment, or fallback when the variable is unset or
// not a plain decimal number.
inline std::uint64_t EnvCount(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return *end == '\0' ? value : fallback;
}

inline double Median(std::vector<double> seconds) {
    std::nth_element(seconds.begin(), seconds.begin() + static_cast<std::ptrdiff_t>(seconds.size() / 2),
                     seconds.end());
    return seconds[seconds.size() / 2];
}

} // namespace benchsupport
