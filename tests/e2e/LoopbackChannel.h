// The host's side of a device channel, as the tests and benchmarks play it: a
// real TCP connection to the simulated controller on loopback. Bytes the
// session sends go straight to the socket; a reader thread feeds what arrives
// to the attached session, as the host does through ProcessData.
#pragma once

#include "eip/EIP_Session.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace eiptest {

class LoopbackChannel : public eip::ISessionOwner {
public:
    // Connects; throws std::system_error when it cannot.
    LoopbackChannel(const std::string& address, std::uint16_t port);
    ~LoopbackChannel() override;
    LoopbackChannel(const LoopbackChannel&) = delete;
    LoopbackChannel& operator=(const LoopbackChannel&) = delete;

    eip::TSessionInfo* AttachedSession() override;
    void AttachSession(eip::TSessionInfo& session) override;
    // Bytes taken; -2 once the connection is gone.
    int SendToHost(std::span<const std::uint8_t> bytes) override;

    // Stops delivering to the session (before the session is destroyed).
    void Detach();
    // Closes the connection as the host would when its channel drops.
    void Close();

    // Every whole encapsulation packet that went out ('>') and came in ('<'),
    // in order, while recording.
    void Record(bool on);
    std::vector<std::pair<char, eip::TPacketDataArray>> Transcript();

private:
    void ReadLoop();
    void RecordIncomingLocked(std::span<const std::uint8_t> bytes);

    int fd_ = -1;
    std::thread reader_;
    // Held while bytes are delivered; the flag below lets the send path skip
    // it when there is nothing to record.
    std::mutex lock_;
    std::atomic<eip::TSessionInfo*> session_{nullptr};
    std::atomic<bool> recording_{false};
    eip::TPacketDataArray incoming_; // bytes of a packet not yet whole
    std::vector<std::pair<char, eip::TPacketDataArray>> transcript_;
};

// A session over its own loopback channel, torn down in the safe order: the
// channel stops delivering before the session goes.
struct LoopbackSession {
    std::unique_ptr<LoopbackChannel> Channel;
    std::unique_ptr<eip::TSessionInfo> Session;

    LoopbackSession() = default;
    LoopbackSession(LoopbackSession&&) = default;
    LoopbackSession& operator=(LoopbackSession&&) = default;
    ~LoopbackSession() {
        if (Channel)
            Channel->Detach();
        Session.reset();
        Channel.reset();
    }
};

// Connects a channel and registers a session over it with TDataLoggerSession
// as the transport and the sender context the plug-in uses; with `record` the
// channel records from the first packet on.
LoopbackSession RegisterOverLoopback(std::uint16_t port, std::uint32_t timeoutMs = 5000, bool record = false);

} // namespace eiptest
