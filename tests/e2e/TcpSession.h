// A session over its own TCP channel to the simulated controller, as the tests
// and benchmarks use it, a recorder of the whole packets that pass, and the
// requests the tests send.
#pragma once

#include "cip/CIP_IOI.h"
#include "cip/CIP_MR_Request.h"
#include "eip/EIP_Session.h"
#include "eip/EIP_TcpChannel.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace eiptest {

// The route to the controller: backplane port 1, slot 0.
inline const eip::TPacketDataArray Slot0{0x01, 0x00};

// Read Tag of count elements of name.
inline cip::TMR_Request ReadTagRequest(std::string_view name, std::uint16_t count = 1) {
    return cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::ReadTag), cip::TIOI::BuildPath(name),
                                             {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)});
}

// Torn down in the safe order: the channel stops delivering before the session
// goes.
struct TcpSession {
    std::unique_ptr<eip::TTcpChannel> Channel;
    std::unique_ptr<eip::TSessionInfo> Session;

    TcpSession() = default;
    TcpSession(TcpSession&&) = default;
    TcpSession& operator=(TcpSession&&) = default;
    ~TcpSession() {
        if (Channel)
            Channel->Detach();
        Session.reset();
        Channel.reset();
    }
};

// Every whole encapsulation packet that went out ('>') and came in ('<'), in
// order.
class PacketRecorder {
public:
    void Attach(eip::TTcpChannel& channel) {
        channel.SetTrafficTap([this](char direction, std::span<const std::uint8_t> bytes) { Add(direction, bytes); });
    }
    std::vector<std::pair<char, eip::TPacketDataArray>> Transcript() {
        std::scoped_lock hold(lock_);
        return transcript_;
    }

private:
    void Add(char direction, std::span<const std::uint8_t> bytes) {
        std::scoped_lock hold(lock_);
        if (direction == '>') {
            transcript_.emplace_back('>', eip::TPacketDataArray(bytes.begin(), bytes.end()));
            return;
        }
        incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
        while (incoming_.size() >= 24) {
            const std::size_t whole = 24u + (incoming_[2] | (incoming_[3] << 8));
            if (incoming_.size() < whole)
                break;
            transcript_.emplace_back('<', eip::TPacketDataArray(incoming_.begin(), incoming_.begin() + whole));
            incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(whole));
        }
    }

    std::mutex lock_;
    eip::TPacketDataArray incoming_;
    std::vector<std::pair<char, eip::TPacketDataArray>> transcript_;
};

// Opens a channel to the simulator on loopback and registers a session over it
// with TDataLoggerSession as the transport and the plug-in's sender context;
// a recorder given sees every packet from the first on.
inline TcpSession RegisterOverTcp(std::uint16_t port, std::uint32_t timeoutMs = 5000,
                                  PacketRecorder* recorder = nullptr) {
    eip::TSessionManager::InstallTransport<eip::TDataLoggerSession>();
    TcpSession s;
    s.Channel = std::make_unique<eip::TTcpChannel>();
    if (!s.Channel->Open("127.0.0.1", port))
        return s;
    if (recorder != nullptr)
        recorder->Attach(*s.Channel);
    const eip::TSenderContext context{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
    s.Session = eip::TSessionManager::RegisterSession(s.Channel.get(), "127.0.0.1", timeoutMs, context, port);
    return s;
}

} // namespace eiptest
