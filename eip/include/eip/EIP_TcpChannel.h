// A ready-made owner of a device channel for the programs that have no host to
// do it: tools, tests and benchmarks. It opens the TCP connection itself,
// hands the session's bytes to the socket, and a reader thread delivers what
// the device sends, as the host does through ProcessData:
//
//     eip::TTcpChannel tcp;
//     if (!tcp.Open("192.168.1.10", 44818)) ... tcp.LastError() ...
//     auto session = eip::TSessionManager::RegisterSession(&tcp, host, 5000, context, 44818);
//     ...
//     tcp.Detach(); // before the session goes
//
// Received bytes go to the attached session, or to the receiver set with
// SetReceiver (a Logix processor, which routes them to whichever session it
// holds at the time).
#pragma once

#include "eip/EIP_Session.h"
#include "platform/Socket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

namespace eip {

class TTcpChannel : public ISessionOwner {
public:
    using TReceiver = std::function<void(std::span<const std::uint8_t> bytes)>;
    using TClosedHandler = std::function<void()>;
    // '>' for bytes sent, '<' for bytes received, as they pass the socket.
    using TTrafficTap = std::function<void(char direction, std::span<const std::uint8_t> bytes)>;

    TTcpChannel() = default;
    ~TTcpChannel() override;
    TTcpChannel(const TTcpChannel&) = delete;
    TTcpChannel& operator=(const TTcpChannel&) = delete;

    // Resolves host (a name or a dotted address) and connects within timeoutMs.
    // False with LastError() set when it cannot; a channel opens once.
    bool Open(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs = 5000);
    bool IsOpen() const { return open_; }
    std::string LastError() const;

    TSessionInfo* AttachedSession() override;
    void AttachSession(TSessionInfo& session) override;
    // Bytes taken; -2 once the connection is gone (or was never open).
    int SendToHost(std::span<const std::uint8_t> bytes) override;

    // Stops delivering to the attached session; call it before the session is
    // destroyed. Returns once no delivery is in progress.
    void Detach();
    // Received bytes go to receiver instead of the attached session, and the end
    // of the connection to closed (either may be empty). Takes effect for the
    // next block; returns once no delivery is in progress.
    void SetReceiver(TReceiver receiver, TClosedHandler closed);
    void SetTrafficTap(TTrafficTap tap);
    // Shuts the connection down as a dropped host channel would: the reader
    // reports the end to the session (or the closed handler).
    void Close();
    // Blocks until the end of the connection has been reported, or the time
    // passes; true when it has.
    bool WaitForClose(std::chrono::milliseconds timeout);

private:
    void ReadLoop();

    platform::SOCKET fd_ = platform::INVALID_SOCKET;
    std::atomic<bool> open_{false};
    std::thread reader_;
    // Held while a block is delivered, so Detach/SetReceiver can promise that
    // no delivery reaches what they unhook.
    mutable std::mutex lock_;
    TSessionInfo* session_ = nullptr;
    TReceiver receiver_;
    TClosedHandler closed_;
    TTrafficTap tap_;
    std::string lastError_;
    bool ended_ = false;
    std::condition_variable endedChanged_;
};

} // namespace eip
