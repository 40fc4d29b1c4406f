// A bare loopback client for the simulated controller's tests: it sends the
// bytes a test writes out by hand and hands back whole encapsulation packets.
// It knows the 24-byte header and nothing else of the protocol.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

// Concatenation, so literal vectors can be written in pieces.
Bytes Cat(std::initializer_list<Bytes> parts);
// The ASCII bytes of a text.
Bytes Text(const std::string& s);
// The 4 little-endian bytes of a value.
Bytes Le32(std::uint32_t v);
std::uint32_t ReadLe32(const Bytes& b, std::size_t at);
std::uint16_t ReadLe16(const Bytes& b, std::size_t at);

// An encapsulation packet: command, length of data, session handle, status 0,
// sender context 01..08, options 0, data.
Bytes Encaps(std::uint16_t command, std::uint32_t handle, const Bytes& data);
// SendRRData data around a message router request: interface handle 0,
// time-out 0x1388, two items (null address, unconnected data).
Bytes RRData(const Bytes& request);
// SendUnitData data: connected address item with the id, connected data item
// with the sequence count and the request.
Bytes UnitData(std::uint32_t connectionId, std::uint16_t sequence, const Bytes& request);

// The reply header a test expects: command, length, handle, status, the
// sender context 01..08 of Encaps, options 0.
Bytes ReplyHeader(std::uint16_t command, std::uint16_t length, std::uint32_t handle, std::uint32_t status);

class TestConnection {
public:
    explicit TestConnection(std::uint16_t port);
    ~TestConnection();
    TestConnection(const TestConnection&) = delete;
    TestConnection& operator=(const TestConnection&) = delete;

    void Send(const Bytes& bytes);
    // One whole packet (header and Length data bytes); empty when the peer
    // closed first. A generous safety limit keeps a broken server from
    // hanging the test; it is not a timing assertion.
    Bytes Receive();
    // Exactly n bytes, or fewer when the peer closed.
    Bytes ReceiveBytes(std::size_t n);
    Bytes Exchange(const Bytes& bytes) {
        Send(bytes);
        return Receive();
    }
    // True when bytes are waiting right now (no waiting).
    bool HasPendingBytes();
    // True when the server closed the connection (waits for the close).
    bool PeerClosed();

    // RegisterSession; returns the handle from the reply.
    std::uint32_t Register();
    // SendRRData of a request; returns the message router reply (data item).
    Bytes Request(std::uint32_t handle, const Bytes& request);

private:
    int fd_ = -1;
};

} // namespace simtest
